#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include "tolvanex/json.hpp"
#include "json_value.hpp"
#include "tolvanex/parsers/hfss.hpp"
#include "tolvanex/summary/summary.hpp"
#include "tolvanex/text/text.hpp"

using namespace tolvanex;
namespace hfss = tolvanex::parsers::hfss;
using std::nullopt;

namespace {

// A block of project text with its lines and child blocks, indented as the tools write it.
std::string B(const std::string& name, std::initializer_list<std::string> body) {
  std::string out = "$begin '" + name + "'\n";
  for (const std::string& part : body) {
    std::istringstream lines(part);
    for (std::string line; std::getline(lines, line);) out += "\t" + line + "\n";
  }
  return out + "$end '" + name + "'\n";
}

// The record without the caller's fields and without null and empty values: what a case's
// lines set, and nothing else.
std::string shown(std::string_view text) {
  std::string j = json::write(hfss::parse_aedt_text(text, nullopt, false, false, false));
  j = std::regex_replace(j, std::regex(R"(,?"sidecars":\{[^}]*\},"truncated":false)"), "");
  j = std::regex_replace(j, std::regex(R"("\w+":(null|\[\]),?)"), "");
  return std::regex_replace(j, std::regex(",\\}"), "}");
}

// A compact list whose sample is the whole list, given as its items' JSON.
std::string whole(const std::string& items) {
  const std::size_t total = json::Json::parse("[" + items + "]").size();
  return "{\"total\":" + std::to_string(total) + ",\"sample\":[" + items + "],\"truncated\":false}";
}

const std::string kHfssProject =
    B("AnsoftProject",
      {"Created='Tue Mar 12 09:15:00 2024'", "Product='HFSS'", "ProjectName='Antenna'",
       B("Desktop", {"Version(2024, 1, 0)", "InfrastructureVersion(1, 0)"}),
       B("HFSSEnvironment", {"Version(10, 0)"}),
       B("Definitions", {B("Materials", {B("vacuum", {"permittivity='1'"}), B("copper", {})})}),
       B("HFSSModel",
         {"Name='Patch'", "SolutionType='DrivenModal'",
          B("ModelSetup",
            {B("Properties", {"VariableProp('width', 'UD', '', '10mm')",
                              "VariableProp('Height', 'UD', '', '1.6mm')"}),
             B("Operation", {"Name='Box1'"}),
             B("Boundaries", {B("Port1", {"ID=1", "BoundType='Wave Port'"}),
                              B("BoundariesData", {B("PerfE1", {"BoundType='Perfect E'"})})}),
             B("MeshOperations", {B("Length1", {"RefineInside=false"})}),
             B("SolveSetups", {B("Setup1", {B("Sweeps", {B("Sweep", {})})})}),
             "PostProcessingVariableProp('gain_db', 'PO', '', 'dB(GainTotal)')"})})}) +
    B("ProjectPreview",
      {B("DesignInfo", {"DesignName='Patch'", "Factory='HFSS'", "IsSolved=true"}),
       B("DesignInfo", {"DesignName='Feed'", "Factory='HFSS 3D Layout Design'"})});

const std::string kIcepakProject = B(
    "AnsoftProject",
    {"Product='ElectronicsDesktop'", B("Desktop", {"Version(2023, 2)"}),
     B("IcepakModel",
       {"Name='Board'", "SolutionType='SteadyState'",
        B("Settings",
          {"SolutionTypeOption:='Transient'", "ProblemOption:='Temperature and Flow'",
           "AmbientTemperature:='20cel'", "AmbientPressure:='0n_per_meter_sq'",
           "AmbientRadiationTemperature:='22cel'", "'Default Fluid Material':='air'",
           "'Default Solid Material'='Al-Extruded'",
           "'Default Surface Material':='Steel-oxidised-surface'"}),
        B("Boundaries", {B("CPU", {"BoundType='Block'", "'Thermal Condition':='Total Power'",
                                   "'Total Power':='10W'"}),
                         B("Wall", {"BoundType='Stationary Wall'", "Temperature:='45cel'"})}),
        B("IcepakMonitors", {B("Point1", {})}),
        B("MeshRegions", {B("MeshRegionsIDMap", {}), B("CPU_region", {})})}),
     B("IcepakModel", {"Name='Enclosure'", "SolutionTypeOption:='Flow Only'"})});

// Items, written alike in the full and the compact record.
const std::string kHfssDesigns =
    R"({"name":"Feed","design_type":"HFSS 3D Layout Design","solution_type":null,"is_solved":null},)"
    R"({"name":"Patch","design_type":"HFSS","solution_type":"DrivenModal","is_solved":true})";
const std::string kIcepakDesigns =
    R"({"name":"Board","design_type":"Icepak","solution_type":"SteadyState","is_solved":null},)"
    R"({"name":"Enclosure","design_type":"Icepak","solution_type":"Flow Only","is_solved":null})";
const std::string kIcepakSettings =
    R"({"name":"Board","solution_type":"SteadyState","problem_option":"Temperature and Flow",)"
    R"("ambient_temperature":"20cel","ambient_pressure":"0n_per_meter_sq",)"
    R"("ambient_radiation_temperature":"22cel","default_fluid_material":"air",)"
    R"("default_solid_material":"Al-Extruded","default_surface_material":"Steel-oxidised-surface"},)"
    R"({"name":"Enclosure","solution_type":"Flow Only","problem_option":null,)"
    R"("ambient_temperature":null,"ambient_pressure":null,"ambient_radiation_temperature":null,)"
    R"("default_fluid_material":null,"default_solid_material":null,"default_surface_material":null})";
const std::string kThermalBoundaries =
    R"({"name":"CPU","boundary_type":"Block","thermal_condition":"Total Power",)"
    R"("total_power":"10W","temperature":null},{"name":"Wall","boundary_type":"Stationary Wall",)"
    R"("thermal_condition":null,"total_power":null,"temperature":"45cel"})";

// The line loop against the plain reading of the rule: each line cut at its line feed,
// decoded, trimmed, tested, and kept while the kept text with it fits the budget.
hfss::KeptText reference_kept(std::string_view in, std::uint64_t budget) {
  hfss::KeptText kept;
  for (std::size_t begin = 0; begin < in.size();) {
    const std::size_t end = std::min(in.find('\n', begin), in.size());
    const std::string line(text::trim_unicode(text::decode_lossy(in.substr(begin, end - begin))));
    begin = end + 1;
    if (!hfss::is_relevant_aedt_line(line)) continue;
    if (kept.text.size() + line.size() + 1 > budget) kept.truncated = true;
    else kept.text += line + "\n";
  }
  return kept;
}

}  // namespace

TEST(AedtBlockParser, WholeProjects) {
  const std::string tail = R"("source_member":"p/P.aedt","sidecars":{"lock_file_present":true,)"
                           R"("results_dir_present":false},"truncated":true})";
  const std::string full_hfss =
      R"({"project_name":"Antenna","product":"HFSS","version_hint":"2024.1","designs":[)" +
      kHfssDesigns + R"(],"variables":["Height","gain_db","width"],"setups":["Setup1"],)"
      R"("sweeps":["Sweep"],"ports":["Port1"],"boundaries":["PerfE1"],)"
      R"("materials":["copper","vacuum"],"mesh_operations":["Length1"],)" + tail;
  const std::string full_icepak =
      R"({"project_name":null,"product":"ElectronicsDesktop","version_hint":"2023.2","designs":[)" +
      kIcepakDesigns + R"(],"variables":[],"setups":[],"sweeps":[],"ports":[],)"
      R"("boundaries":["CPU","Wall"],"materials":[],"mesh_operations":[],"icepak":{"designs":[)" +
      kIcepakSettings + R"(],"thermal_boundaries":[)" + kThermalBoundaries +
      R"(],"monitors":["Point1"],"mesh_regions":["CPU_region"]},)" + tail;
  // The compact form: sampled lists, the sidecars flat, "icepak" null when absent.
  const std::string ctail = R"("source_member":"p/P.aedt","lock_file_present":true,)"
                            R"("results_dir_present":false,"source_truncated":true}})";
  const std::string compact_hfss =
      R"({"kind":"hfss-aedt","data":{"project_name":"Antenna","product":"HFSS",)"
      R"("version_hint":"2024.1","designs":)" + whole(kHfssDesigns) + R"(,"variables":)" +
      whole(R"("Height","gain_db","width")") + R"(,"setups":)" + whole(R"("Setup1")") +
      R"(,"sweeps":)" + whole(R"("Sweep")") + R"(,"ports":)" + whole(R"("Port1")") +
      R"(,"boundaries":)" + whole(R"("PerfE1")") + R"(,"materials":)" +
      whole(R"("copper","vacuum")") + R"(,"mesh_operations":)" + whole(R"("Length1")") +
      R"(,"icepak":null,)" + ctail;
  const std::string no = whole("");
  const std::string compact_icepak =
      R"({"kind":"hfss-aedt","data":{"project_name":null,"product":"ElectronicsDesktop",)"
      R"("version_hint":"2023.2","designs":)" + whole(kIcepakDesigns) + R"(,"variables":)" + no +
      R"(,"setups":)" + no + R"(,"sweeps":)" + no + R"(,"ports":)" + no + R"(,"boundaries":)" +
      whole(R"("CPU","Wall")") + R"(,"materials":)" + no + R"(,"mesh_operations":)" + no +
      R"(,"icepak":{"designs":)" + whole(kIcepakSettings) + R"(,"thermal_boundaries":)" +
      whole(kThermalBoundaries) + R"(,"monitors":)" + whole(R"("Point1")") +
      R"(,"mesh_regions":)" + whole(R"("CPU_region")") + "}," + ctail;
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {kHfssProject, full_hfss, compact_hfss}, {kIcepakProject, full_icepak, compact_icepak}};
  for (const auto& [project, full, compact] : cases) {
    const HfssAedtSummary s = hfss::parse_aedt_text(project, "p/P.aedt", true, true, false);
    EXPECT_EQ(json::write(s), full);
    MemorySource source(project);  // the line filter drops no line that the parser uses
    const Result<hfss::KeptText> kept = hfss::keep_relevant_lines(source, UINT64_MAX);
    ASSERT_TRUE(kept);
    EXPECT_EQ(json::write(hfss::parse_aedt_text(kept.value().text, "p/P.aedt", true, true, false)), full);
    const TolvanexResult result{nullopt, "p.aedtz", SimFormat::HfssAedt, true, {}, s};
    EXPECT_EQ(json::write(summary::summarize_result(result).summary), compact);
  }
}

TEST(AedtBlockParser, EdgeCases) {
  const std::string P = "$begin 'AnsoftProject'\n", D = P + "$begin 'Desktop'\n";
  const auto info = [](const std::string& name, const std::string& line) {
    return B("ProjectPreview", {B("DesignInfo", {"DesignName='" + name + "'", line})});
  };
  std::string unclosed = P;  // every model's end is misnamed: all stay pending
  for (int i = 0; i < 50000; ++i)
    unclosed += "$begin 'AModel'\nName='n" + std::to_string(i) + "'\n$end 'x'\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", "{}"},
      {D + "Version( 2023 , 02 )", R"({"version_hint":"2023.2"})"},
      {D + "Version(2024)\nVersion(-1, 2)\nVersion(2024, x)\nVersion(4294967296, 1)\n"
           "Version(+, 1)\nVersion()\nVersion(1, 2\nVersion(+4294967295,+0)",
       R"({"version_hint":"4294967295.0"})"},
      {info("a", "IsSolved=TRUE") + info("b", "IsSolved=1") + info("c", "IsSolved=yes\nIsSolved=0") +
           info("d", "IsSolved=yes"),
       R"({"designs":[{"name":"a","is_solved":true},{"name":"b","is_solved":true},)"
       R"({"name":"c","is_solved":false},{"name":"d"}]})"},
      {info("D", "Factory='icePAK'") + B("AnsoftProject", {B("IcepakMonitors", {B("M", {})})}),
       R"({"designs":[{"name":"D","design_type":"icePAK"}],"icepak":{"monitors":["M"]}})"},
      // A nameless Icepak model: no Icepak part, its thermal boundary and mesh region dropped.
      {B("AnsoftProject", {B("IcepakModel", {B("Boundaries", {B("B", {"BoundType='Block'"})}),
                                             B("MeshRegions", {B("R", {})})})}),
       R"({"boundaries":["B"]})"},
      {P + B("Sweeps", {B("S", {})}) + B("Materials", {B("M", {})}) + B("SubModel", {"Name='s'"}) +
           B("OperandUserDefinedModel", {"Name='o'"}) + B("Model", {"Name='m'"}) +
           "$begin 'Q3DModel'\nName='q'",
       R"({"designs":[{"name":"m","design_type":"Model"}]})"},
      {P + B("HFSSModel", {"Name='A'", "SolutionType='X'"}) + B("Q3DModel", {"Name='A'"}) +
           B("Q3DModel", {"Name='A'", "SolutionType='Y'"}),
       R"({"designs":[{"name":"A","design_type":"Q3D","solution_type":"Y"}]})"},
      // A misnamed end pops the model's block; a later end at its depth still closes it.
      {P + "$begin 'HFSSModel'\nName='A'\n$end 'Wrong'\n$begin 'X'\n$end 'HFSSModel'",
       R"({"designs":[{"name":"A","design_type":"HFSS"}]})"},
      {unclosed + "$begin 'y'\n$end 'AModel'",
       R"({"designs":[{"name":"n49999","design_type":"A"}]})"},
      {"ProjectName='no'\n" + P + "ProjectName='Demo'\nProjectName='x'\n$end 'AnsoftProject'\n"
           "VariableProp('after')\n" + B("Other", {"VariableProp('other')"}) +
           "$begin 'ProjectPreview'\nVariableProp(,pv)\nVariableProp('pv')\n$end 'X'\n"
           "$begin 'x'\nVariableProp(B)",
       R"({"project_name":"Demo","variables":["B","pv"]})"},
      {P + "ProjectName='\xFF\xFE'\r\nProduct = \t'\xC2\xA0' \r",
       "{\"project_name\":\"\xEF\xBF\xBD\xEF\xBF\xBD\",\"product\":\"\xC2\xA0\"}"},
  };
  for (const auto& [text, record] : cases) EXPECT_EQ(shown(text), record) << text.substr(0, 200);
}

TEST(AedtBlockParser, Helpers) {
  const std::pair<std::string, std::optional<std::string>> words[] = {
      {"'width', 'UD', '', '10mm')", "width"}, {"(,  'a b' )", "a b"}, {"true)", "true"},
      {"''", ""}, {"'open", "'open"}, {"x \"d q\" 'y", "d q"}, {"((,(x", "(x"},
      {"\t,, \xE2\x80\x83)y", "y"}, {" ,) ", nullopt}, {"", nullopt}};
  for (const auto& [text, word] : words)
    EXPECT_EQ(hfss::extract_quoted_or_word(text), word) << text;
  const std::tuple<std::string, std::string, std::optional<std::string>> assignments[] = {
      {"Name='x'", "Name", "x"}, {"Name:='x'", "Name", "x"}, {" Name = 'x y'", "Name", "x y"},
      {"'Total Power'='1W'", "Total Power", "1W"}, {"''Total Power':='1W'", "Total Power", "1W"},
      {"NameX='x'", "Name", nullopt}, {"name='x'", "Name", nullopt}, {"Name", "Name", nullopt},
      {"Name::='x'", "Name", nullopt}, {"Name=", "Name", nullopt}, {"Name=a=b c", "Name", "a=b"}};
  for (const auto& [line, key, value] : assignments)
    EXPECT_EQ(hfss::extract_assignment(line, key), value) << line;
  const std::pair<std::string, bool> relevant_lines[] = {
      {"$begin 'x'", true}, {"$end 'x'", true}, {"$begin'x'", false}, {"$ending 'x'", false},
      {"Version(2024, 1)", true}, {"VariableProp(", true}, {"PostProcessingVariableProp(", true},
      {"Name='x'", true}, {"Name:='x'", true}, {"Name = 'x'", false}, {"NameX='x'", false},
      {"Name:'x'", false}, {"name='x'", false}, {"SolutionTypeOption:='x'", true},
      {"SolutionTypeOptions='x'", false}, {"'Total Power'='1W'", true},
      {"'Total Power':='1W'", true}, {"Total Power='1W'", false}, {"Temperature=1", true},
      {"AmbientRadiationTemperature:='20cel'", true}, {"", false}};
  for (const auto& [line, relevant] : relevant_lines) {
    EXPECT_EQ(hfss::is_relevant_aedt_line(line), relevant) << line;
    const std::string head = line.substr(0, hfss::AEDT_RELEVANCE_PREFIX_BYTES);
    EXPECT_EQ(hfss::is_relevant_aedt_line(head), relevant) << line;
  }
  std::vector<HfssDesign> designs;
  hfss::merge_design(designs, {"b", "HFSS", "DrivenModal", nullopt});
  hfss::merge_design(designs, {"a", nullopt, nullopt, false});
  hfss::merge_design(designs, {"b", nullopt, "Eigenmode", true});
  designs.insert(designs.end(), {{"B", "1st", nullopt, nullopt}, {"a", "2nd", nullopt, nullopt}});
  hfss::sort_dedup_designs(designs);
  EXPECT_EQ(json::write(designs),
            R"([{"name":"B","design_type":"1st","solution_type":null,"is_solved":null},)"
            R"({"name":"a","design_type":null,"solution_type":null,"is_solved":false},)"
            R"({"name":"b","design_type":"HFSS","solution_type":"Eigenmode","is_solved":true}])");
}

TEST(AedtReader, KeepsRelevantLinesWithinTheBudget) {
  const std::string spaces(1 << 20, ' ');
  const std::tuple<std::string, std::uint64_t, std::string, bool> cases[] = {
      {"Name='ab'\nName='abc'\nName='a'", 10, "Name='ab'\n", true},  // exactly full, then one byte more
      {"Name='abc'\nName='a'\nName='b'", 9, "Name='a'\n", true},     // a later, shorter line fits
      {"x\nName='a'", 0, "", true},
      {"\x85Name='a'\n\xA0$begin 'b'\n\xC2\xA0Name='c'", 99, "Name='c'\n", false},  // lone 0x85, 0xA0: no space
      {"Name='x'" + spaces + "\nName='y'\t" + spaces, 20, "Name='x'\nName='y'\n", false}};
  for (const auto& [in, budget, text, truncated] : cases) {
    MemorySource source(in);
    const Result<hfss::KeptText> kept = hfss::keep_relevant_lines(source, budget);
    EXPECT_TRUE(kept && kept.value().text == text && kept.value().truncated == truncated) << in.substr(0, 40);
  }
  struct FailingAfter final : ByteSource {  // when no line fits any more, the rest is still read
    Result<std::size_t> read(char* buffer, std::size_t) override {
      if (calls++ > 0) return TolvanexError::io("disk on fire");
      return ("Name='abc'\n" + std::string(300, 'x')).copy(buffer, 311);  // more than a head
    }
    int calls = 0;
  } failing;
  const Result<hfss::KeptText> failed = hfss::keep_relevant_lines(failing, 5);
  EXPECT_EQ(failed ? failed.value().text : failed.error().display(), "io error: disk on fire");
  const std::string pieces[] = {"\n", "\r\n", " ", "\t", "\r", "\v", "\f", "\xC2\xA0", "\xC2\x85", "\xE2\x80\x83",
                                "\xE3\x80\x80", "\xFF", "\xC2", "$x", "Nq", "'x", "$begin 'a'", "$end ", "Name=",
                                "Name:='v'", "'Total Power'=", "NameX=", "Version(1, 2)", "x", std::string(300, 'v'),
                                std::string(70, ' ')};
  std::mt19937 random(7);
  for (int n = 0; n < 200; ++n) {
    std::string in;
    for (int i = random() % 200; i > 0; --i) in += pieces[random() % std::size(pieces)];
    const std::uint64_t budget = random() % (n % 2 ? 600 : 12);
    const hfss::KeptText expected = reference_kept(in, budget);
    for (const std::size_t chunk : {1, 7, 64, 4096})
      for (const auto kernel : {text::Kernel::Avx2, text::Kernel::Sse2, text::Kernel::Portable}) {
        MemorySource source(in);
        const Result<hfss::KeptText> kept = hfss::keep_relevant_lines(source, budget, {chunk, kernel});
        ASSERT_TRUE(kept && kept.value().text == expected.text && kept.value().truncated == expected.truncated)
            << "budget " << budget << " chunk " << chunk << "\n" << in;
      }
  }
}
