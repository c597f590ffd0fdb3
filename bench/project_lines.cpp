// The AEDT project reader on a generated project (usage in line_bench.hpp): the whole reader
// with the kernel it picks itself, or its line loop and block parser with a kernel pinned.
//
// The generated project looks like one that a solver wrote: nested $begin/$end blocks of
// geometry parts with their attributes and operations, where most lines are settings no one
// asks for, and long runs of mesh and field data (rows of numbers, base64 text). About one line
// in twelve is relevant; the 2 MiB budget runs out early, as it does on real projects.
#include <string>
#include <string_view>

#include "line_bench.hpp"
#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/hfss.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/text/lines.hpp"

namespace {

using namespace tolvanex;

void generate(line_bench::Sample& project) {
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  project.text =
      "$begin 'AnsoftProject'\n\tCreated='Mon Jan  1 00:00:00 2024'\n\tProduct='ElectronicsDesktop'\n"
      "\t$begin 'Desktop'\n\t\tVersion(2024, 1)\n\t\tInfrastructureVersion(1, 0)\n\t$end 'Desktop'\n"
      "\t$begin 'HFSSModel'\n\t\tName='HFSSDesign1'\n\t\tSolutionType='DrivenModal'\n";
  for (unsigned long long part = 0; project.below(); ++part) {
    project.format("\t\t\t$begin 'GeometryPart'\n\t\t\t\t$begin 'Attributes'\n\t\t\t\t\tName='Part%llu'\n", part);
    project.text +=
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
    project.text += "\t\t\t$begin 'MeshData'\n";
    for (int r = 0; r < 60; ++r) {
      const unsigned long long node = project.random() % 1000000;
      const double x = static_cast<double>(project.random()) / 1e9;
      const double y = static_cast<double>(project.random()) / 1e9;
      const double z = static_cast<double>(project.random()) / 1e9;
      project.format("%llu, %.6e, %.6e, %.6e\n", node, x, y, z);
    }
    project.text += "\t\t\t$end 'MeshData'\n\t\t\tFieldData64=\n";
    for (int r = 0; r < 40; ++r) {
      for (int c = 0; c < 76; ++c) project.text += kBase64[project.random() % 64];
      project.text += '\n';
    }
  }
  project.text += "\t$end 'HFSSModel'\n$end 'AnsoftProject'\n";
}

constexpr std::uint64_t kBudget = 2 * 1024 * 1024;

std::string describe(const HfssAedtSummary& s) {
  return "designs " + std::to_string(s.designs.size()) + " truncated " + (s.truncated ? "true" : "false");
}

Result<std::string> scan(const char* path, text::Kernel kernel) {
  if (kernel == text::Kernel::Auto) {
    TVX_TRY_ASSIGN(const HfssAedtSummary s, parsers::hfss::inspect_hfss_aedt(path, kBudget));
    return describe(s);
  }
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path));
  FileSource source(file);
  TVX_TRY_ASSIGN(const parsers::hfss::KeptText kept, parsers::hfss::keep_relevant_lines(source, kBudget, {text::LineSplitter::kDefaultChunkSize, kernel}));
  return describe(parsers::hfss::parse_aedt_text(kept.text, std::nullopt, kept.truncated, false, false));
}

}  // namespace

int main(int argc, char** argv) { return line_bench::run(argc, argv, generate, scan); }
