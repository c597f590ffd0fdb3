// Abaqus deck scanner throughput.
//
//   abaqus_scan generate FILE MEGABYTES   write a deck of about that size
//   abaqus_scan scan FILE [RUNS [KERNEL]] scan it RUNS times (default 3), print the best;
//                                         KERNEL: auto (default), avx2, sse2, portable
//
// The generated deck looks like one written by a pre-processor: a heading, materials and
// sections, one large *NODE block of right-aligned ids with three coordinates, one large
// *ELEMENT block of 8-node bricks, then a step with boundary conditions, loads and output
// requests. Both blocks are split by an occasional comment line.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tolvanex/parsers/abaqus.hpp"

namespace {

int generate(const char* path, std::uint64_t megabytes) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) {
    std::perror(path);
    return 1;
  }
  const std::uint64_t target = megabytes * 1000 * 1000;
  std::string buf;
  std::uint64_t written = 0;
  auto flush = [&](bool force) {
    if (buf.size() < (1u << 20) && !force) return;
    std::fwrite(buf.data(), 1, buf.size(), f);
    written += buf.size();
    buf.clear();
  };
  buf +=
      "*Heading\n"
      "** Job name: bracket Model name: bracket-1\n"
      "Bracket assembly, generated for throughput tests\n"
      "*Preprint, echo=NO, model=NO, history=NO, contact=NO\n"
      "*Material, name=Steel\n*Elastic\n210000., 0.3\n*Density\n7.85e-09,\n"
      "*Solid Section, elset=ALL, material=Steel\n,\n"
      "*Node, nset=ALL_NODES\n";
  // Two thirds nodes, one third elements.
  std::uint64_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return seed >> 33;
  };
  char line[256];
  std::uint64_t id = 1;
  while (written + buf.size() < target * 2 / 3) {
    const double x = static_cast<double>(next() % 1000000) / 1000.0;
    const double y = static_cast<double>(next() % 1000000) / 1000.0;
    const double z = static_cast<double>(next() % 1000000) / 1000.0;
    const int n = std::snprintf(line, sizeof line, "%7llu, %12.7f, %12.7f, %12.7f\n",
                                static_cast<unsigned long long>(id), x, y, z);
    buf.append(line, static_cast<std::size_t>(n));
    if (id % 100000 == 0) buf += "** node block continues\n";
    ++id;
    flush(false);
  }
  const std::uint64_t nodes = id - 1;
  buf += "*Element, type=C3D8R, elset=ALL\n";
  id = 1;
  while (written + buf.size() < target) {
    unsigned long long v[8];
    for (auto& k : v) k = next() % nodes + 1;
    const int n = std::snprintf(line, sizeof line, "%llu, %llu, %llu, %llu, %llu, %llu, %llu, %llu, %llu\n",
                                static_cast<unsigned long long>(id), v[0], v[1], v[2], v[3], v[4],
                                v[5], v[6], v[7]);
    buf.append(line, static_cast<std::size_t>(n));
    if (id % 100000 == 0) buf += "** element block continues\n";
    ++id;
    flush(false);
  }
  buf +=
      "*Step, name=Load, nlgeom=NO\n*Static\n1., 1., 1e-05, 1.\n"
      "*Boundary\nALL_NODES, 1, 3\n*Cload\nALL_NODES, 2, -100.\n"
      "*Output, field, variable=PRESELECT\n*Node Output\nU, RF\n*El Print\nS\n*End Step\n";
  flush(true);
  std::fclose(f);
  return 0;
}

int scan(const char* path, int runs, const char* kernel_name) {
  using tolvanex::text::Kernel;
  tolvanex::parsers::abaqus::DeckReadOptions options;
  const std::string k = kernel_name;
  options.kernel = k == "avx2"     ? Kernel::Avx2
                 : k == "sse2"     ? Kernel::Sse2
                 : k == "portable" ? Kernel::Portable
                                   : Kernel::Auto;
  double best = 1e300;
  tolvanex::AbaqusInpSummary last;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    auto result = tolvanex::parsers::abaqus::inspect_abaqus_inp(path, options);
    const auto t1 = std::chrono::steady_clock::now();
    if (!result) {
      std::fprintf(stderr, "%s\n", result.error().display().c_str());
      return 1;
    }
    last = std::move(result).value();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  std::printf("seconds %.4f nodes %llu elements %llu\n", best,
              static_cast<unsigned long long>(last.node_count),
              static_cast<unsigned long long>(last.element_count));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "generate") == 0)
    return generate(argv[2], std::strtoull(argv[3], nullptr, 10));
  if (argc >= 3 && std::strcmp(argv[1], "scan") == 0)
    return scan(argv[2], argc >= 4 ? std::atoi(argv[3]) : 3, argc >= 5 ? argv[4] : "auto");
  std::fprintf(stderr, "usage: %s generate FILE MEGABYTES | scan FILE [RUNS [KERNEL]]\n", argv[0]);
  return 2;
}
