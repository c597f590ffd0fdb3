#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tolvanex/json.hpp"
#include "tolvanex/summary/summary.hpp"

using namespace tolvanex;
using namespace tolvanex::summary;

namespace {

const std::string kEll = "\xE2\x80\xA6";
const std::string E = R"({"total":0,"sample":[],"truncated":false})";

std::string rep(char c, std::size_t n) { return std::string(n, c); }

// "0", "1", ... "n-1".
std::vector<std::string> numbers(std::size_t n) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(std::to_string(i));
  return out;
}

// A golden JSON text in which "@" stands for an empty bounded list.
std::string golden(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '@' ? E : std::string(1, c);
  return out;
}

}  // namespace

TEST(BoundedText, CutsAtTheLastCharacterBoundaryAtOrBeforeByte256) {
  const std::string e2 = "\xC3\xA9", e3 = "\xE2\x82\xAC", e4 = "\xF0\x9F\x98\x80";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {rep('a', 256), rep('a', 256)},
      {rep('a', 257), rep('a', 256) + kEll},
      {rep('a', 255) + e2, rep('a', 255) + kEll},
      {rep('a', 254) + e3 + "xyz", rep('a', 254) + kEll},
      {rep('a', 253) + e4, rep('a', 253) + kEll},
      {rep('a', 255) + e4, rep('a', 255) + kEll},
      {rep('a', 256) + e2, rep('a', 256) + kEll},
      {rep('a', 253) + e3, rep('a', 253) + e3},
      {"a" + rep('\x80', 300), kEll},  // not UTF-8: no character starts at 1..256
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(bounded_text(in), out) << in.size();
  EXPECT_EQ(bounded_text(std::optional<std::string>()), std::nullopt);
  EXPECT_EQ(bounded_text(std::optional<std::string>(rep('b', 300))), rep('b', 256) + kEll);
}

TEST(BoundedList, SamplesTheFirstEightAndConvertsNothingElse) {
  for (std::size_t size : {0, 8, 9, 1000}) {
    std::size_t converted = 0;
    const auto list = bounded_list<std::string>(numbers(size), [&](const std::string& s) {
      ++converted;
      return s;
    });
    const std::size_t kept = std::min<std::size_t>(size, 8);
    EXPECT_EQ(converted, kept);
    EXPECT_EQ(list.sample.capacity(), kept);  // reserved once, exactly
    EXPECT_EQ(list.total, size);
    EXPECT_EQ(list.truncated, size > 8);
  }
  EXPECT_EQ(json::write(bounded_texts(numbers(9))),
            R"({"total":9,"sample":["0","1","2","3","4","5","6","7"],"truncated":true})");
  const auto cut = bounded_texts(std::vector<std::string>(9, rep('x', 300)));
  EXPECT_EQ(cut.sample, std::vector<std::string>(8, rep('x', 256) + kEll));
}

// One record per format: key order, nested lists bounded level by level, texts bounded in
// items, and the departures (flattened sidecars and hints, "source_truncated", "icepak").
TEST(CompactRecord, OneGoldenPerFormat) {
  const std::pair<FormatSummary, std::string> cases[] = {
      {ComsolMphSummary{.schema = "COMSOL",
                        .is_runnable = true,
                        .parameters = {{"L", "9[cm]", std::nullopt}, {"T0", std::nullopt, "ref"}},
                        .physics_tags = numbers(9),
                        .size_breakdown = {{"mesh", 18446744073709551615ull}}},
       R"({"kind":"comsol-mph","data":{"schema":"COMSOL","saved_in":null,"title":null,)"
       R"("description":null,"comsol_version":null,"node_type":null,"is_runnable":true,)"
       R"("parameters":{"total":2,"sample":[{"name":"L","value":"9[cm]","reference":null},)"
       R"({"name":"T0","value":null,"reference":"ref"}],"truncated":false},)"
       R"("physics_tags":{"total":9,"sample":["0","1","2","3","4","5","6","7"],"truncated":true},)"
       R"("study_tags":@,"material_tags":@,"used_licenses":@,"size_breakdown":{"total":1,)"
       R"("sample":[{"bucket":"mesh","bytes":18446744073709551615}],"truncated":false},)"
       R"("entries":@}})"},
      {AbaqusInpSummary{.title = "Bracket \"v2\"",
                        .includes = {"bad\xFFname.inp", rep('i', 300)},
                        .node_count = 12,
                        .load_keywords = {"CLOAD"}},
       R"({"kind":"abaqus-inp","data":{"title":"Bracket \"v2\"","includes":{"total":2,)"
       R"("sample":["bad)" "\xEF\xBF\xBD" R"(name.inp",")" + rep('i', 256) + kEll +
       R"("],"truncated":false},"node_count":12,"element_count":0,"materials":@,"sections":@,)"
       R"("steps":@,"boundary_keywords":@,"load_keywords":{"total":1,"sample":["CLOAD"],)"
       R"("truncated":false},"output_keywords":@,"unknown_keywords":@}})"},
      {FluentHdf5Summary{.root_attributes = {{"version", "I64(23)"}},
                         .groups = {{"/settings", {{"a", "x"}}}},
                         .datasets = {{"/nodes", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "F64", {}}},
                         .hints = {.zone_paths = {"/mesh"}}},
       R"({"kind":"fluent-hdf5","data":{"root_attributes":{"total":1,"sample":[{"name":"version",)"
       R"j("value":"I64(23)"}],"truncated":false},"groups":{"total":1,)j"
       R"("sample":[{"path":"/settings","attributes":{"total":1,"sample":[{"name":"a",)"
       R"("value":"x"}],"truncated":false}}],"truncated":false},"datasets":{"total":1,)"
       R"("sample":[{"path":"/nodes","shape":{"total":10,"sample":[1,2,3,4,5,6,7,8],)"
       R"("truncated":true},"dtype":"F64","attributes":@}],"truncated":false},)"
       R"("zone_paths":{"total":1,"sample":["/mesh"],"truncated":false},"boundary_paths":@,)"
       R"("settings_paths":@}})"},
      {HfssAedtSummary{.project_name = "Antenna",
                       .designs = {{"HFSSDesign1", "HFSS", std::nullopt, true}},
                       .icepak = IcepakAedtSummary{.designs = {{.name = "Ice"}},
                                                   .monitors = {"Point1"}},
                       .sidecars = {true, false},
                       .truncated = true},
       R"({"kind":"hfss-aedt","data":{"project_name":"Antenna","product":null,)"
       R"("version_hint":null,"designs":{"total":1,"sample":[{"name":"HFSSDesign1",)"
       R"("design_type":"HFSS","solution_type":null,"is_solved":true}],"truncated":false},)"
       R"("variables":@,"setups":@,"sweeps":@,"ports":@,"boundaries":@,"materials":@,)"
       R"("mesh_operations":@,"icepak":{"designs":{"total":1,"sample":[{"name":"Ice",)"
       R"("solution_type":null,"problem_option":null,"ambient_temperature":null,)"
       R"("ambient_pressure":null,"ambient_radiation_temperature":null,)"
       R"("default_fluid_material":null,"default_solid_material":null,)"
       R"("default_surface_material":null}],"truncated":false},"thermal_boundaries":@,)"
       R"("monitors":{"total":1,"sample":["Point1"],"truncated":false},"mesh_regions":@},)"
       R"("source_member":null,"lock_file_present":true,"results_dir_present":false,)"
       R"("source_truncated":true}})"},
      {MechanicalMechdbSummary{.release_kind = "Release",
                               .object_count = 42,
                               .object_type_counts = {{4294967295u, 41}},
                               .streams = {{"/DS/Part", 1024}},
                               .sidecars = {false, true},
                               .content_truncated = true},
       R"({"kind":"ansys-mechanical","data":{"mechanical_version":null,)"
       R"("database_format_version":null,"release_kind":"Release","object_count":42,)"
       R"("object_type_counts":{"total":1,"sample":[{"type_id":4294967295,"count":41}],)"
       R"("truncated":false},"analyses":@,"bodies":@,"materials":@,"contacts":@,)"
       R"("loads_and_conditions":@,"results":@,"geometry_sources":@,"streams":{"total":1,)"
       R"("sample":[{"name":"/DS/Part","used_bytes":1024}],"truncated":false},)"
       R"("lock_file_present":false,"project_files_dir_present":true,"content_truncated":true}})"},
      {IcepakTzrSummary{.gzip_compressed = true,
                        .entry_count = 500,  // the reader's count, whatever the sample
                        .entries = {{"fan/" + rep('n', 300), "file", 7}},
                        .truncated = true},
       R"({"kind":"icepak-tzr","data":{"project_name":null,"gzip_compressed":true,)"
       R"("entry_count":500,"file_count":0,"directory_count":0,"uncompressed_bytes":0,)"
       R"("job_file_present":false,"model_file_present":false,"entries":{"total":1,)"
       R"("sample":[{"name":"fan/)" + rep('n', 252) + kEll +
       R"(","entry_type":"file","bytes":7}],"truncated":false},"source_truncated":true}})"},
      {FlothermFloxmlSummary{
           .root = "xml_case",
           .transient = false,
           .grid = {{"x_grid", "uniform", "0.001", std::nullopt}},
           .attribute_type_counts = {{"source_att", 12}},
           .geometry = {{"cuboid", ""}},
           .sources = {{"Heat", numbers(12)}},
           .solution_domain = FlothermSolutionDomain{std::nullopt, {{"x_low", "ambient", "A"}}}},
       R"({"kind":"flotherm-floxml","data":{"root":"xml_case","name":null,"solution":null,)"
       R"("dimensionality":null,"transient":false,"radiation":null,"turbulence_type":null,)"
       R"("gravity_direction":null,"ambient_temperature":null,"datum_pressure":null,)"
       R"("outer_iterations":null,"grid":{"total":1,"sample":[{"axis":"x_grid",)"
       R"("grid_type":"uniform","min_size":"0.001","max_size":null}],"truncated":false},)"
       R"("attribute_type_counts":{"total":1,"sample":[{"name":"source_att","count":12}],)"
       R"("truncated":false},"attributes":@,"geometry_type_counts":@,"geometry":{"total":1,)"
       R"("sample":[{"kind":"cuboid","name":""}],"truncated":false},"sources":{"total":1,)"
       R"("sample":[{"name":"Heat","powers":{"total":12,"sample":["0","1","2","3","4","5","6",)"
       R"("7"],"truncated":true}}],"truncated":false},"solution_domain":{"fluid":null,)"
       R"("boundaries":{"total":1,"sample":[{"face":"x_low","kind":"ambient","value":"A"}],)"
       R"("truncated":false}},"source_truncated":false}})"},
      {FlothermPackSummary{.project_directory = "Proj.1",
                           .entry_count = 1,
                           .entries = {{"Proj.1/", true, 0, 2}}},
       R"({"kind":"flotherm-pack","data":{"project_name":null,"project_directory":"Proj.1",)"
       R"("entry_count":1,"file_count":0,"directory_count":0,"compressed_bytes":0,)"
       R"("uncompressed_bytes":0,"project_data_present":false,"base_solution_present":false,)"
       R"("entries":{"total":1,"sample":[{"name":"Proj.1/","directory":true,"compressed_bytes":0,)"
       R"("uncompressed_bytes":2}],"truncated":false},"source_truncated":false}})"},
  };
  for (const auto& [full, compact] : cases)
    EXPECT_EQ(json::write(compact_summary(full)), golden(compact));

  // Absent optional records are null in the compact form; the full AEDT record leaves
  // "icepak" out instead.
  const std::string empty_hfss = json::write(compact_summary(HfssAedtSummary{}));
  EXPECT_NE(empty_hfss.find(R"(,"icepak":null,"source_member":null,)"), std::string::npos);
  const std::string empty_floxml = json::write(compact_summary(FlothermFloxmlSummary{}));
  EXPECT_NE(empty_floxml.find(R"(,"solution_domain":null,"source_truncated":false}})"),
            std::string::npos);
}

TEST(SummaryResult, EmptyDeckWithAndWithoutPathLeavesTheFullRecordUnchanged) {
  const std::string tail = golden(
      R"("file_name":"a.inp","format":"abaqus-inp","ok":true,"warnings":@,"limitations":[)"
      R"("Keyword inventory only; generated entities and solver semantics are not evaluated."],)"
      R"("summary":{"kind":"abaqus-inp","data":{"title":null,"includes":@,"node_count":0,)"
      R"("element_count":0,"materials":@,"sections":@,"steps":@,"boundary_keywords":@,)"
      R"("load_keywords":@,"output_keywords":@,"unknown_keywords":@}}})");
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, R"({"schema_version":1,"view":"summary",)" + tail},
      {"dir/a.inp", R"({"schema_version":1,"view":"summary","path":"dir/a.inp",)" + tail},
  };
  for (const auto& [path, text] : cases) {
    TolvanexResult full{.path = path, .file_name = "a.inp", .format = SimFormat::AbaqusInp,
                        .summary = AbaqusInpSummary{}};
    const TolvanexResult before = full;
    EXPECT_EQ(json::write(summarize_result(full)), text);
    EXPECT_EQ(full, before);
  }
}

TEST(SummaryResult, PathNameAndWarningsAreBounded) {
  TolvanexResult full{.path = rep('p', 300), .file_name = rep('n', 257),
                      .warnings = std::vector<std::string>(9, rep('w', 300))};
  const auto compact = summarize_result(full);
  EXPECT_EQ(compact.path, rep('p', 256) + kEll);
  EXPECT_EQ(compact.file_name, rep('n', 256) + kEll);
  EXPECT_EQ(compact.warnings.total, 9u);
  EXPECT_EQ(compact.warnings.sample, std::vector<std::string>(8, rep('w', 256) + kEll));
}

// The sentences follow the kind; their byte lengths, in list order.
TEST(SummaryResult, LimitationSentencesFollowTheKind) {
  const std::pair<FormatSummary, std::vector<std::size_t>> cases[] = {
      {ComsolMphSummary{}, {100}},          {AbaqusInpSummary{}, {82}},
      {FluentHdf5Summary{}, {99}},          {HfssAedtSummary{}, {143}},
      {MechanicalMechdbSummary{}, {130, 125}}, {IcepakTzrSummary{}, {107}},
      {FlothermFloxmlSummary{}, {133, 59}}, {FlothermPackSummary{}, {112}},
  };
  for (const auto& [summary, lengths] : cases) {
    TolvanexResult full{.format = static_cast<SimFormat>(summary.index()), .summary = summary};
    const auto compact = summarize_result(full);
    std::vector<std::size_t> got;
    for (const std::string& sentence : compact.limitations) got.push_back(sentence.size());
    EXPECT_EQ(got, lengths) << summary.index();
    EXPECT_EQ(compact.summary.index(), summary.index());
  }
}
