// Line loop throughput on AEDT-like project text: the splitter, the relevance test and the
// budgeted text, as the project reader drives them.
//
//   project_lines generate FILE MEGABYTES   write a project of about that size
//   project_lines scan FILE [RUNS [KERNEL]] read it RUNS times (default 3), print the best;
//                                           KERNEL: auto (default), avx2, sse2, portable
//
// The generated project looks like one that a solver wrote: nested $begin/$end blocks of
// geometry parts with their attributes and operations, where most lines are settings no one
// asks for, and long runs of mesh and field data (rows of numbers, base64 text). A few lines
// in a hundred are kept; the 2 MiB budget runs out early, as it does on real projects.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/hfss.hpp"
#include "tolvanex/text/budgeted_text.hpp"
#include "tolvanex/text/lines.hpp"

namespace {

using namespace tolvanex;

int generate(const char* path, std::uint64_t megabytes) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) {
    std::perror(path);
    return 1;
  }
  const std::uint64_t target = megabytes * 1000 * 1000;
  std::uint64_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return seed >> 33;
  };
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string buf =
      "$begin 'AnsoftProject'\n\tCreated='Mon Jan  1 00:00:00 2024'\n\tProduct='ElectronicsDesktop'\n"
      "\t$begin 'Desktop'\n\t\tVersion(2024, 1)\n\t\tInfrastructureVersion(1, 0)\n\t$end 'Desktop'\n"
      "\t$begin 'HFSSModel'\n\t\tName='HFSSDesign1'\n\t\tSolutionType='DrivenModal'\n";
  std::uint64_t written = 0;
  char line[256];
  for (std::uint64_t part = 0; written + buf.size() < target; ++part) {
    const int n = std::snprintf(
        line, sizeof line,
        "\t\t\t$begin 'GeometryPart'\n\t\t\t\t$begin 'Attributes'\n\t\t\t\t\tName='Part%llu'\n",
        static_cast<unsigned long long>(part));
    buf.append(line, static_cast<std::size_t>(n));
    buf +=
        "\t\t\t\t\tFlags=''\n\t\t\t\t\tColor='(143 175 143)'\n\t\t\t\t\tTransparency=0\n"
        "\t\t\t\t\tPartCoordinateSystem=1\n\t\t\t\t\tUDMId=-1\n\t\t\t\t\tGroupId=-1\n"
        "\t\t\t\t\tMaterialValue='\"copper\"'\n\t\t\t\t\tSurfaceMaterialValue='\"\"'\n"
        "\t\t\t\t\tSolveInside=false\n\t\t\t\t\tShellElement=false\n\t\t\t\t\tIsMaterialEditable=true\n"
        "\t\t\t\t\tUseMaterialAppearance=false\n\t\t\t\t\tIsLightweight=false\n"
        "\t\t\t\t$end 'Attributes'\n\t\t\t\t$begin 'Operations'\n\t\t\t\t\t$begin 'Operation'\n"
        "\t\t\t\t\t\tOperationType='Box'\n\t\t\t\t\t\tID=5\n\t\t\t\t\t\tReferenceCoordSystemID=1\n"
        "\t\t\t\t\t\tParentPartID=6\n\t\t\t\t\t\tOrigin='0mm', '0mm', '0mm'\n"
        "\t\t\t\t\t\tXSize='1mm'\n\t\t\t\t\t\tYSize='2mm'\n\t\t\t\t\t\tZSize='3mm'\n"
        "\t\t\t\t\t$end 'Operation'\n\t\t\t\t$end 'Operations'\n\t\t\t$end 'GeometryPart'\n";
    // Mesh data: rows of numbers; then field data as base64 lines.
    buf += "\t\t\t$begin 'MeshData'\n";
    for (int r = 0; r < 60; ++r) {
      const int m = std::snprintf(line, sizeof line, "%llu, %.6e, %.6e, %.6e\n",
                                  static_cast<unsigned long long>(next() % 1000000),
                                  static_cast<double>(next()) / 1e9, static_cast<double>(next()) / 1e9,
                                  static_cast<double>(next()) / 1e9);
      buf.append(line, static_cast<std::size_t>(m));
    }
    buf += "\t\t\t$end 'MeshData'\n\t\t\tFieldData64=\n";
    for (int r = 0; r < 40; ++r) {
      for (int c = 0; c < 76; ++c) buf += kBase64[next() % 64];
      buf += '\n';
    }
    if (buf.size() > (1u << 20)) {
      std::fwrite(buf.data(), 1, buf.size(), f);
      written += buf.size();
      buf.clear();
    }
  }
  buf += "\t$end 'HFSSModel'\n$end 'AnsoftProject'\n";
  std::fwrite(buf.data(), 1, buf.size(), f);
  std::fclose(f);
  return 0;
}

// The bytes that may start a relevant line: the first bytes of its prefixes and keys.
constexpr text::LineStarts kRelevantStarts("$VPNSDFIBAT'");
constexpr std::size_t kHead = parsers::hfss::AEDT_RELEVANCE_PREFIX_BYTES;

struct Outcome {
  std::uint64_t kept = 0;
  bool truncated = false;
};

// The loop of the AEDT reader: relevant lines, trimmed, within a 2 MiB budget, each charged
// its size and a line feed.
Result<Outcome> read_project(const char* path, text::Kernel kernel) {
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path));
  FileSource source(file);
  text::LineSplitter lines(source, kRelevantStarts, {text::LineSplitter::kDefaultChunkSize, kernel});
  text::BudgetedText line;
  std::string kept;
  std::uint64_t remaining = 2 * 1024 * 1024;
  bool truncated = false;
  for (;;) {
    TVX_TRY_ASSIGN(const bool more, lines.next());
    if (!more) break;
    const std::string_view head = lines.head(kHead);
    if (!parsers::hfss::is_relevant_aedt_line(head)) {
      lines.skip();
      continue;
    }
    char copy[kHead];  // read() moves the buffer that the head points into
    const std::string_view held_head(copy, head.copy(copy, kHead));
    line.begin(remaining, kHead);
    TVX_TRY(lines.read(line));
    const bool held = line.finish();
    if (!parsers::hfss::is_relevant_aedt_line(held_head.substr(0, line.size()))) continue;
    if (!held || line.size() + 1 > remaining) {
      truncated = true;
      continue;
    }
    kept.append(line.kept()).push_back('\n');
    remaining -= line.size() + 1;
  }
  return Outcome{kept.size(), truncated};
}

int scan(const char* path, int runs, const char* kernel_name) {
  using tolvanex::text::Kernel;
  const std::string k = kernel_name;
  const Kernel kernel = k == "avx2"     ? Kernel::Avx2
                      : k == "sse2"     ? Kernel::Sse2
                      : k == "portable" ? Kernel::Portable
                                        : Kernel::Auto;
  double best = 1e300;
  Outcome last;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    auto result = read_project(path, kernel);
    const auto t1 = std::chrono::steady_clock::now();
    if (!result) {
      std::fprintf(stderr, "%s\n", result.error().display().c_str());
      return 1;
    }
    last = result.value();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  std::printf("seconds %.4f kept %llu truncated %d\n", best, static_cast<unsigned long long>(last.kept),
              last.truncated ? 1 : 0);
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
