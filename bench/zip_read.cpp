// Reads every entry of the ZIP archives given and prints, per entry, its method's name (the
// entry name), its size and the best time of a few full reads through the entry reader.
//
//   zip_read REPEATS ARCHIVE...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tolvanex/container/zip.hpp"

using namespace tolvanex;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: zip_read REPEATS ARCHIVE...\n");
    return 2;
  }
  const int repeats = std::atoi(argv[1]);
  std::vector<char> buf(64 * 1024);
  for (int a = 2; a < argc; ++a) {
    auto file = fsio::File::open_read(argv[a]);
    if (!file) return std::fprintf(stderr, "%s\n", file.error().display().c_str()), 1;
    auto zip = container::ZipArchive::open(std::move(file).value());
    if (!zip) return std::fprintf(stderr, "%s\n", zip.error().display().c_str()), 1;
    for (std::size_t i = 0; i < zip.value().entry_count(); ++i) {
      double best = 1e9;
      std::uint64_t total = 0;
      for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        auto entry = zip.value().open_entry(i);
        if (!entry) return std::fprintf(stderr, "%s\n", entry.error().display().c_str()), 1;
        total = 0;
        for (;;) {
          auto n = entry.value().read(buf.data(), buf.size());
          if (!n) return std::fprintf(stderr, "%s\n", n.error().display().c_str()), 1;
          if (n.value() == 0) break;
          total += n.value();
        }
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      }
      std::printf("%s %llu %.4f\n", zip.value().entry(i).name.c_str(),
                  static_cast<unsigned long long>(total), best);
    }
  }
  return 0;
}
