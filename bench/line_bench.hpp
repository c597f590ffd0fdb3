// The frame of the line-scanning benchmarks, which bench/vs_wc.sh runs next to `wc -l`:
//
//   NAME generate FILE MEGABYTES   write a sample of about that size
//   NAME scan FILE [RUNS [KERNEL]] read it RUNS times (default 3), print the best time and
//                                  what was found; KERNEL: auto (default), avx2, sse2, portable
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tolvanex/error.hpp"
#include "tolvanex/text/lines.hpp"

namespace line_bench {

// A sample being written: text is appended to `text`, which goes to the file a mebibyte at a
// time, and `random()` gives the same numbers in every run.
class Sample {
 public:
  Sample(const char* path, std::uint64_t target) : file_(std::fopen(path, "wb")), target_(target) {
    if (!file_) std::perror(path);
  }
  ~Sample() {
    if (!file_) return;
    flush();
    std::fclose(file_);
  }
  bool ok() const { return file_ != nullptr; }
  // True while the sample is shorter than `fraction` of its size; writes out what is held
  // when that is much.
  bool below(double fraction = 1.0) {
    if (text.size() >= (1u << 20)) flush();
    return static_cast<double>(written_ + text.size()) < fraction * static_cast<double>(target_);
  }
  std::uint64_t random() {
    seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return seed_ >> 33;
  }
  // Appends printf-formatted text.
  template <typename... Args>
  void format(const char* pattern, Args... args) {
    char line[256];
    const int n = std::snprintf(line, sizeof line, pattern, args...);
    text.append(line, static_cast<std::size_t>(std::min<int>(n, sizeof line - 1)));
  }

  std::string text;

 private:
  void flush() {
    std::fwrite(text.data(), 1, text.size(), file_);
    written_ += text.size();
    text.clear();
  }

  std::FILE* file_;
  std::uint64_t target_;
  std::uint64_t written_ = 0;
  std::uint64_t seed_ = 12345;
};

// `generate(sample)` writes the sample; `scan(path, kernel)` returns what it found, as text.
template <typename Generate, typename Scan>
int run(int argc, char** argv, Generate generate, Scan scan) {
  using tolvanex::text::Kernel;
  if (argc >= 4 && std::strcmp(argv[1], "generate") == 0) {
    Sample sample(argv[2], std::strtoull(argv[3], nullptr, 10) * 1000 * 1000);
    if (!sample.ok()) return 1;
    generate(sample);
    return 0;
  }
  if (argc < 3 || std::strcmp(argv[1], "scan") != 0) {
    std::fprintf(stderr, "usage: %s generate FILE MEGABYTES | scan FILE [RUNS [KERNEL]]\n", argv[0]);
    return 2;
  }
  const int runs = argc >= 4 ? std::atoi(argv[3]) : 3;
  const std::string k = argc >= 5 ? argv[4] : "auto";
  const Kernel kernel = k == "avx2"       ? Kernel::Avx2
                        : k == "sse2"     ? Kernel::Sse2
                        : k == "portable" ? Kernel::Portable
                                          : Kernel::Auto;
  double best = 1e300;
  std::string found;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    tolvanex::Result<std::string> result = scan(argv[2], kernel);
    const auto t1 = std::chrono::steady_clock::now();
    if (!result) {
      std::fprintf(stderr, "%s\n", result.error().display().c_str());
      return 1;
    }
    found = std::move(result).value();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  std::printf("seconds %.4f %s\n", best, found.c_str());
  return 0;
}

}  // namespace line_bench
