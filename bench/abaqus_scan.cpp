// Abaqus deck scanner throughput.
//
//   abaqus_scan generate FILE MEGABYTES [INCLUDE]
//                                         write a deck of about that size; with INCLUDE, the
//                                         deck names that small file (written beside it)
//   abaqus_scan scan FILE [RUNS [KERNEL]] scan it RUNS times (default 3), print the best;
//                                         KERNEL: auto (default), avx2, sse2, none
//
// The benchmark table (bench/table.py) generates its deck with this program and times
// fresh processes; `scan` times the block kernels against each other inside one process.
//
// The generated deck looks like one written by a pre-processor: a heading, materials and
// sections, one large *NODE block of right-aligned ids with three coordinates, one large
// *ELEMENT block of 8-node bricks, then a step with boundary conditions, loads and output
// requests. Both blocks are split by an occasional comment line.
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tolvanex/parsers/abaqus.hpp"

namespace {

// Writes the include file that the deck names: a second material, as a library deck would.
bool write_include(const std::string& deck_path, const std::string& name) {
  const auto slash = deck_path.rfind('/');
  const std::string path = (slash == std::string::npos ? "" : deck_path.substr(0, slash + 1)) + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    return false;
  }
  std::fputs("** Material library\n*Material, name=Aluminium\n*Elastic\n70000., 0.33\n"
             "*Density\n2.7e-09,\n", f);
  return std::fclose(f) == 0;
}

int generate(const char* path, std::uint64_t megabytes, const char* include) {
  if (include && !write_include(path, include)) return 1;
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
      "*Solid Section, elset=ALL, material=Steel\n,\n";
  if (include) buf += std::string("*Include, input=") + include + "\n";
  buf += "*Node, nset=ALL_NODES\n";
  // Two thirds nodes, one third elements.
  std::uint64_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return seed >> 33;
  };
  // Integers by to_chars, right-aligned to `width`: printf is most of the generation time.
  auto put = [&buf](std::uint64_t v, int width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    if (end - digits < width) buf.append(static_cast<std::size_t>(width - (end - digits)), ' ');
    buf.append(digits, end);
  };
  std::uint64_t id = 1;
  while (written + buf.size() < target * 2 / 3) {
    // Coordinates k / 1000 for k below 10^6, written as printf's "%12.7f" would write them.
    put(id, 7);
    for (int axis = 0; axis < 3; ++axis) {
      const std::uint64_t k = next() % 1000000;
      buf += ", ";
      put(k / 1000, 4);
      const auto frac = static_cast<unsigned>(k % 1000);
      buf += '.';
      buf += static_cast<char>('0' + frac / 100);
      buf += static_cast<char>('0' + frac / 10 % 10);
      buf += static_cast<char>('0' + frac % 10);
      buf += "0000";
    }
    buf += '\n';
    if (id % 100000 == 0) buf += "** node block continues\n";
    ++id;
    flush(false);
  }
  const std::uint64_t nodes = id - 1;
  buf += "*Element, type=C3D8R, elset=ALL\n";
  id = 1;
  while (written + buf.size() < target) {
    put(id, 0);
    for (int corner = 0; corner < 8; ++corner) {
      buf += ", ";
      put(next() % nodes + 1, 0);
    }
    buf += '\n';
    if (id % 100000 == 0) buf += "** element block continues\n";
    ++id;
    flush(false);
  }
  buf +=
      "*Step, name=Load, nlgeom=NO\n*Static\n1., 1., 1e-05, 1.\n"
      "*Boundary\nALL_NODES, 1, 3\n*Cload\nALL_NODES, 2, -100.\n"
      "*Output, field, variable=PRESELECT\n*Node Output\nU, RF\n*El Print\nS\n*End Step\n";
  flush(true);
  return std::fclose(f) == 0 ? 0 : 1;
}

int scan(const char* path, int runs, const char* kernel_name) {
  using tolvanex::parsers::abaqus::BlockKernel;
  tolvanex::parsers::abaqus::DeckReadOptions options;
  const std::string k = kernel_name;
  options.block_kernel = k == "avx2" ? BlockKernel::Avx2
                         : k == "sse2" ? BlockKernel::Sse2
                         : k == "none" ? BlockKernel::None
                                       : BlockKernel::Auto;
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
    return generate(argv[2], std::strtoull(argv[3], nullptr, 10), argc >= 5 ? argv[4] : nullptr);
  if (argc >= 3 && std::strcmp(argv[1], "scan") == 0)
    return scan(argv[2], argc >= 4 ? std::atoi(argv[3]) : 3, argc >= 5 ? argv[4] : "auto");
  std::fprintf(stderr, "usage: %s generate FILE MEGABYTES [INCLUDE] | scan FILE [RUNS [KERNEL]]\n", argv[0]);
  return 2;
}
