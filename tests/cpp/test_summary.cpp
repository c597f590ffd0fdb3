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

std::string times(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

std::vector<std::string> numbered(const std::string& prefix, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

std::string compact_json(const FormatSummary& full) { return json::write(compact_summary(full)); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Bounded texts and lists

TEST(BoundedText, CutsAtTheLastCharacterBoundaryAtOrBeforeByte256) {
  struct Case {
    const char* what;
    std::string in, out;
  };
  const std::string e2 = "\xC3\xA9";              // 2 bytes
  const std::string e3 = "\xE2\x82\xAC";          // 3 bytes
  const std::string e4 = "\xF0\x9F\x98\x80";      // 4 bytes
  const Case cases[] = {
      {"empty", "", ""},
      {"255 ascii", rep('a', 255), rep('a', 255)},
      {"256 ascii, exactly the limit", rep('a', 256), rep('a', 256)},
      {"257 ascii", rep('a', 257), rep('a', 256) + kEll},
      {"2-byte char at 255..256", rep('a', 255) + e2, rep('a', 255) + kEll},
      {"3-byte char at 254..256", rep('a', 254) + e3, rep('a', 254) + kEll},
      {"3-byte char at 254..256, more after", rep('a', 254) + e3 + "xyz", rep('a', 254) + kEll},
      {"4-byte char at 253..256", rep('a', 253) + e4, rep('a', 253) + kEll},
      {"4-byte char at 255..258", rep('a', 255) + e4, rep('a', 255) + kEll},
      {"char starting at 256", rep('a', 256) + e2, rep('a', 256) + kEll},
      {"multi-byte text ending within the limit", rep('a', 253) + e3, rep('a', 253) + e3},
      {"200 two-byte chars", times(e2, 200), times(e2, 128) + kEll},
      // Not valid UTF-8: nothing from index 256 down to 1 starts a character.
      {"only continuation bytes past the first", "a" + rep('\x80', 300), kEll},
  };
  for (const Case& c : cases) EXPECT_EQ(bounded_text(c.in), c.out) << c.what;
}

TEST(BoundedText, OptionalStaysAbsentOrIsBounded) {
  EXPECT_EQ(bounded_text(std::optional<std::string>()), std::nullopt);
  EXPECT_EQ(bounded_text(std::optional<std::string>(rep('b', 300))), rep('b', 256) + kEll);
  EXPECT_EQ(bounded_text(std::optional<std::string>("")), std::string());
}

TEST(BoundedList, SamplesTheFirstEightAndConvertsNothingElse) {
  struct Case {
    int size;
    std::string json;
  };
  const Case cases[] = {
      {0, E},
      {1, R"({"total":1,"sample":["t0"],"truncated":false})"},
      {8, R"({"total":8,"sample":["t0","t1","t2","t3","t4","t5","t6","t7"],"truncated":false})"},
      {9, R"({"total":9,"sample":["t0","t1","t2","t3","t4","t5","t6","t7"],"truncated":true})"},
      {1000, R"({"total":1000,"sample":["t0","t1","t2","t3","t4","t5","t6","t7"],"truncated":true})"},
  };
  for (const Case& c : cases) {
    const auto source = numbered("t", c.size);
    EXPECT_EQ(json::write(bounded_texts(source)), c.json) << c.size;

    std::size_t converted = 0;
    const auto list = bounded_list<std::string>(source, [&](const std::string& s) {
      ++converted;
      return s;
    });
    const std::size_t kept = std::min<std::size_t>(c.size, 8);
    EXPECT_EQ(converted, kept) << c.size;
    EXPECT_EQ(list.sample.capacity(), kept) << c.size;  // reserved once, exactly
  }
}

TEST(BoundedList, SampledTextsAreCutEachOnItsOwn) {
  const std::vector<std::string> source(9, rep('x', 300));
  const auto list = bounded_texts(source);
  EXPECT_EQ(list.total, 9u);
  EXPECT_TRUE(list.truncated);
  ASSERT_EQ(list.sample.size(), 8u);
  for (const std::string& s : list.sample) EXPECT_EQ(s, rep('x', 256) + kEll);
}

TEST(BoundedList, NestedListsAreBoundedLevelByLevel) {
  Hdf5GroupInfo group{"/g", {}};
  for (int i = 0; i < 20; ++i) group.attributes.push_back({"a" + std::to_string(i), "U64(1)"});
  FluentHdf5Summary full;
  full.groups = {group, group, group};
  const auto compact = std::get<CompactFluentHdf5Summary>(compact_summary(full));
  EXPECT_EQ(compact.groups.total, 3u);
  EXPECT_FALSE(compact.groups.truncated);
  ASSERT_EQ(compact.groups.sample.size(), 3u);
  for (const CompactHdf5Group& g : compact.groups.sample) {
    EXPECT_EQ(g.attributes.total, 20u);
    EXPECT_TRUE(g.attributes.truncated);
    ASSERT_EQ(g.attributes.sample.size(), 8u);
    EXPECT_EQ(g.attributes.sample[7].name, "a7");
  }
}

// ---------------------------------------------------------------------------------------
// Compact format records, one populated record per format

TEST(CompactRecord, ComsolMirrorsEveryField) {
  ComsolMphSummary s;
  s.schema = "COMSOL";
  s.saved_in = "6.1.0.252";
  s.title = "Busbar";
  s.comsol_version = "COMSOL Multiphysics 6.1";
  s.node_type = "model";
  s.is_runnable = true;
  s.parameters = {{"L", "9[cm]", std::nullopt}, {"T0", std::nullopt, "ref"}};
  s.physics_tags = numbered("p", 9);
  s.material_tags = {"mat1"};
  s.used_licenses = {"COMSOL", "HEATTRANSFER"};
  s.size_breakdown = {{"geometry", 100}, {"mesh", 18446744073709551615ull}};
  s.entries = {"dmodel.xml", "fileversion"};
  EXPECT_EQ(compact_json(s),
            R"({"kind":"comsol-mph","data":{"schema":"COMSOL","saved_in":"6.1.0.252","title":"Busbar",)"
            R"("description":null,"comsol_version":"COMSOL Multiphysics 6.1","node_type":"model",)"
            R"("is_runnable":true,"parameters":{"total":2,"sample":[{"name":"L","value":"9[cm]",)"
            R"("reference":null},{"name":"T0","value":null,"reference":"ref"}],"truncated":false},)"
            R"("physics_tags":{"total":9,"sample":["p0","p1","p2","p3","p4","p5","p6","p7"],)"
            R"("truncated":true},"study_tags":)" + E +
            R"(,"material_tags":{"total":1,"sample":["mat1"],"truncated":false},)"
            R"("used_licenses":{"total":2,"sample":["COMSOL","HEATTRANSFER"],"truncated":false},)"
            R"("size_breakdown":{"total":2,"sample":[{"bucket":"geometry","bytes":100},)"
            R"({"bucket":"mesh","bytes":18446744073709551615}],"truncated":false},)"
            R"("entries":{"total":2,"sample":["dmodel.xml","fileversion"],"truncated":false}}})");
}

TEST(CompactRecord, AbaqusIncludesBecomeBoundedTexts) {
  AbaqusInpSummary s;
  s.title = "Bracket \"v2\"";
  s.includes = {"mesh.inp", "bad\xFFname.inp", rep('i', 300)};
  s.node_count = 12;
  s.element_count = 3;
  s.materials = {"STEEL"};
  s.sections = {"SOLID SECTION (STEEL)"};
  s.steps = {"STATIC"};
  s.boundary_keywords = {"BOUNDARY"};
  s.load_keywords = {"CLOAD", "DLOAD"};
  s.unknown_keywords = {"FOO"};
  EXPECT_EQ(compact_json(s),
            R"({"kind":"abaqus-inp","data":{"title":"Bracket \"v2\"","includes":{"total":3,)"
            R"("sample":["mesh.inp","bad)" "\xEF\xBF\xBD" R"(name.inp",")" + rep('i', 256) + kEll +
            R"("],"truncated":false},"node_count":12,"element_count":3,)"
            R"("materials":{"total":1,"sample":["STEEL"],"truncated":false},)"
            R"j("sections":{"total":1,"sample":["SOLID SECTION (STEEL)"],"truncated":false},)j"
            R"("steps":{"total":1,"sample":["STATIC"],"truncated":false},)"
            R"("boundary_keywords":{"total":1,"sample":["BOUNDARY"],"truncated":false},)"
            R"("load_keywords":{"total":2,"sample":["CLOAD","DLOAD"],"truncated":false},)"
            R"("output_keywords":)" + E +
            R"(,"unknown_keywords":{"total":1,"sample":["FOO"],"truncated":false}}})");
  EXPECT_EQ(s.includes[2].size(), 300u);  // the full record keeps it whole
}

TEST(CompactRecord, FluentFlattensTheHints) {
  FluentHdf5Summary s;
  s.root_attributes = {{"version", "I64(23)"}};
  Hdf5GroupInfo settings{"/settings", {}};
  for (const std::string& name : numbered("a", 9)) settings.attributes.push_back({name, "x"});
  s.groups = {settings};
  s.datasets = {{"/mesh/nodes", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "F64", {}},
                {"/scalar", {}, "I32", {{"units", "Str(m)"}}}};
  s.hints.zone_paths = {"/mesh"};
  s.hints.settings_paths = {"/settings", "/settings/solver"};
  EXPECT_EQ(compact_json(s),
            R"({"kind":"fluent-hdf5","data":{"root_attributes":{"total":1,"sample":[{"name":"version",)"
            R"j("value":"I64(23)"}],"truncated":false},"groups":{"total":1,"sample":[{"path":"/settings",)j"
            R"("attributes":{"total":9,"sample":[{"name":"a0","value":"x"},{"name":"a1","value":"x"},)"
            R"({"name":"a2","value":"x"},{"name":"a3","value":"x"},{"name":"a4","value":"x"},)"
            R"({"name":"a5","value":"x"},{"name":"a6","value":"x"},{"name":"a7","value":"x"}],)"
            R"("truncated":true}}],"truncated":false},"datasets":{"total":2,"sample":[)"
            R"({"path":"/mesh/nodes","shape":{"total":10,"sample":[1,2,3,4,5,6,7,8],"truncated":true},)"
            R"("dtype":"F64","attributes":)" + E +
            R"(},{"path":"/scalar","shape":)" + E +
            R"j(,"dtype":"I32","attributes":{"total":1,"sample":[{"name":"units","value":"Str(m)"}],)j"
            R"("truncated":false}}],"truncated":false},)"
            R"("zone_paths":{"total":1,"sample":["/mesh"],"truncated":false},"boundary_paths":)" + E +
            R"(,"settings_paths":{"total":2,"sample":["/settings","/settings/solver"],"truncated":false}}})");
}

TEST(CompactRecord, HfssWithIcepakFlattensSidecarsAndRenamesTruncated) {
  HfssAedtSummary s;
  s.project_name = "Antenna";
  s.product = "HFSS";
  s.version_hint = "2023.1";
  s.designs = {{"HFSSDesign1", "HFSS", "DrivenModal", true},
               {"D2", std::nullopt, std::nullopt, std::nullopt}};
  s.variables = {"$freq", "w"};
  s.setups = {"Setup1"};
  s.sweeps = {"Sweep1"};
  s.ports = {"1"};
  s.boundaries = {"Rad1"};
  s.materials = {"copper"};
  IcepakAedtSummary ice;
  IcepakDesign d;
  d.name = "IcepakDesign1";
  d.solution_type = "SteadyState";
  d.problem_option = "TemperatureAndFlow";
  d.ambient_temperature = "20cel";
  ice.designs = {d};
  ice.thermal_boundaries = {{"Source1", "Block", "Total Power", "1W", std::nullopt}};
  ice.monitors = {"Point1"};
  s.icepak = ice;
  s.source_member = "Antenna.aedt";
  s.sidecars = {true, false};
  s.truncated = true;
  EXPECT_EQ(compact_json(s),
            R"({"kind":"hfss-aedt","data":{"project_name":"Antenna","product":"HFSS","version_hint":"2023.1",)"
            R"("designs":{"total":2,"sample":[{"name":"HFSSDesign1","design_type":"HFSS",)"
            R"("solution_type":"DrivenModal","is_solved":true},{"name":"D2","design_type":null,)"
            R"("solution_type":null,"is_solved":null}],"truncated":false},)"
            R"("variables":{"total":2,"sample":["$freq","w"],"truncated":false},)"
            R"("setups":{"total":1,"sample":["Setup1"],"truncated":false},)"
            R"("sweeps":{"total":1,"sample":["Sweep1"],"truncated":false},)"
            R"("ports":{"total":1,"sample":["1"],"truncated":false},)"
            R"("boundaries":{"total":1,"sample":["Rad1"],"truncated":false},)"
            R"("materials":{"total":1,"sample":["copper"],"truncated":false},"mesh_operations":)" + E +
            R"(,"icepak":{"designs":{"total":1,"sample":[{"name":"IcepakDesign1","solution_type":"SteadyState",)"
            R"("problem_option":"TemperatureAndFlow","ambient_temperature":"20cel","ambient_pressure":null,)"
            R"("ambient_radiation_temperature":null,"default_fluid_material":null,)"
            R"("default_solid_material":null,"default_surface_material":null}],"truncated":false},)"
            R"("thermal_boundaries":{"total":1,"sample":[{"name":"Source1","boundary_type":"Block",)"
            R"("thermal_condition":"Total Power","total_power":"1W","temperature":null}],"truncated":false},)"
            R"("monitors":{"total":1,"sample":["Point1"],"truncated":false},"mesh_regions":)" + E +
            R"(},"source_member":"Antenna.aedt","lock_file_present":true,"results_dir_present":false,)"
            R"("source_truncated":true}})");
}

TEST(CompactRecord, MechanicalFlattensSidecars) {
  MechanicalMechdbSummary s;
  s.mechanical_version = "2023 R1";
  s.release_kind = "Release";
  s.object_count = 42;
  s.object_type_counts = {{7, 41}, {4294967295u, 1}};
  s.analyses = {"Static Structural"};
  s.bodies = {"Solid"};
  s.materials = {"Structural Steel"};
  s.loads_and_conditions = {"Fixed Support", "Force"};
  s.results = {"Total Deformation"};
  s.geometry_sources = {"part.x_t"};
  s.streams = {{"/DS/Streams/Part", 1024}};
  s.sidecars = {false, true};
  s.content_truncated = true;
  EXPECT_EQ(compact_json(s),
            R"({"kind":"ansys-mechanical","data":{"mechanical_version":"2023 R1",)"
            R"("database_format_version":null,"release_kind":"Release","object_count":42,)"
            R"("object_type_counts":{"total":2,"sample":[{"type_id":7,"count":41},)"
            R"({"type_id":4294967295,"count":1}],"truncated":false},)"
            R"("analyses":{"total":1,"sample":["Static Structural"],"truncated":false},)"
            R"("bodies":{"total":1,"sample":["Solid"],"truncated":false},)"
            R"("materials":{"total":1,"sample":["Structural Steel"],"truncated":false},"contacts":)" + E +
            R"(,"loads_and_conditions":{"total":2,"sample":["Fixed Support","Force"],"truncated":false},)"
            R"("results":{"total":1,"sample":["Total Deformation"],"truncated":false},)"
            R"("geometry_sources":{"total":1,"sample":["part.x_t"],"truncated":false},)"
            R"("streams":{"total":1,"sample":[{"name":"/DS/Streams/Part","used_bytes":1024}],)"
            R"("truncated":false},"lock_file_present":false,"project_files_dir_present":true,)"
            R"("content_truncated":true}})");
}

TEST(CompactRecord, IcepakArchiveKeepsReaderCountsBesideTheSample) {
  IcepakTzrSummary s;
  s.project_name = "fan";
  s.gzip_compressed = true;
  s.entry_count = 500;
  s.file_count = 450;
  s.directory_count = 50;
  s.uncompressed_bytes = 123456;
  s.job_file_present = true;
  for (int i = 0; i < 9; ++i)
    s.entries.push_back({"fan/" + std::to_string(i), "file", static_cast<std::uint64_t>(i)});
  s.truncated = true;
  std::string sample;
  for (int i = 0; i < 8; ++i)
    sample += (i ? "," : "") + std::string(R"({"name":"fan/)") + std::to_string(i) +
              R"(","entry_type":"file","bytes":)" + std::to_string(i) + "}";
  EXPECT_EQ(compact_json(s),
            R"({"kind":"icepak-tzr","data":{"project_name":"fan","gzip_compressed":true,)"
            R"("entry_count":500,"file_count":450,"directory_count":50,"uncompressed_bytes":123456,)"
            R"("job_file_present":true,"model_file_present":false,"entries":{"total":9,"sample":[)" +
                sample + R"(],"truncated":true},"source_truncated":true}})");
}

TEST(CompactRecord, FloxmlBoundsSourcesAndSolutionDomain) {
  FlothermFloxmlSummary s;
  s.root = "xml_case";
  s.name = "Box";
  s.solution = "flow_heat";
  s.dimensionality = "3d";
  s.transient = false;
  s.radiation = "on";
  s.gravity_direction = "neg_y";
  s.ambient_temperature = "300";
  s.outer_iterations = "500";
  s.grid = {{"x_grid", "uniform", "0.001", std::nullopt}};
  s.attribute_type_counts = {{"source_att", 12}};
  s.attributes = {{"source_att", "Heat"}};
  s.geometry_type_counts = {{"cuboid", 2}};
  s.geometry = {{"cuboid", "Block1"}, {"cuboid", ""}};
  s.sources = {{"Heat", numbered("", 12)}};
  s.solution_domain = FlothermSolutionDomain{std::nullopt, {{"x_low", "ambient", "Ambient1"}}};
  EXPECT_EQ(compact_json(s),
            R"({"kind":"flotherm-floxml","data":{"root":"xml_case","name":"Box","solution":"flow_heat",)"
            R"("dimensionality":"3d","transient":false,"radiation":"on","turbulence_type":null,)"
            R"("gravity_direction":"neg_y","ambient_temperature":"300","datum_pressure":null,)"
            R"("outer_iterations":"500","grid":{"total":1,"sample":[{"axis":"x_grid","grid_type":"uniform",)"
            R"("min_size":"0.001","max_size":null}],"truncated":false},)"
            R"("attribute_type_counts":{"total":1,"sample":[{"name":"source_att","count":12}],"truncated":false},)"
            R"("attributes":{"total":1,"sample":[{"kind":"source_att","name":"Heat"}],"truncated":false},)"
            R"("geometry_type_counts":{"total":1,"sample":[{"name":"cuboid","count":2}],"truncated":false},)"
            R"("geometry":{"total":2,"sample":[{"kind":"cuboid","name":"Block1"},{"kind":"cuboid","name":""}],)"
            R"("truncated":false},"sources":{"total":1,"sample":[{"name":"Heat","powers":{"total":12,)"
            R"("sample":["0","1","2","3","4","5","6","7"],"truncated":true}}],"truncated":false},)"
            R"("solution_domain":{"fluid":null,"boundaries":{"total":1,"sample":[{"face":"x_low",)"
            R"("kind":"ambient","value":"Ambient1"}],"truncated":false}},"source_truncated":false}})");
}

TEST(CompactRecord, PackMirrorsEntries) {
  FlothermPackSummary s;
  s.project_name = "Proj";
  s.project_directory = "Proj.1";
  s.entry_count = 2;
  s.file_count = 1;
  s.directory_count = 1;
  s.compressed_bytes = 10;
  s.uncompressed_bytes = 20;
  s.project_data_present = true;
  s.entries = {{"Proj.1/", true, 0, 0}, {"Proj.1/PDProject/group", false, 10, 20}};
  EXPECT_EQ(compact_json(s),
            R"({"kind":"flotherm-pack","data":{"project_name":"Proj","project_directory":"Proj.1",)"
            R"("entry_count":2,"file_count":1,"directory_count":1,"compressed_bytes":10,)"
            R"("uncompressed_bytes":20,"project_data_present":true,"base_solution_present":false,)"
            R"("entries":{"total":2,"sample":[{"name":"Proj.1/","directory":true,"compressed_bytes":0,)"
            R"("uncompressed_bytes":0},{"name":"Proj.1/PDProject/group","directory":false,)"
            R"("compressed_bytes":10,"uncompressed_bytes":20}],"truncated":false},"source_truncated":false}})");
}

TEST(CompactRecord, AbsentOptionalRecordsAreWrittenNull) {
  // The full AEDT record leaves "icepak" out; the compact one writes null.
  EXPECT_EQ(compact_json(HfssAedtSummary{}),
            R"({"kind":"hfss-aedt","data":{"project_name":null,"product":null,"version_hint":null,)"
            R"("designs":)" + E + R"(,"variables":)" + E + R"(,"setups":)" + E + R"(,"sweeps":)" + E +
            R"(,"ports":)" + E + R"(,"boundaries":)" + E + R"(,"materials":)" + E +
            R"(,"mesh_operations":)" + E +
            R"(,"icepak":null,"source_member":null,"lock_file_present":false,)"
            R"("results_dir_present":false,"source_truncated":false}})");
  FlothermFloxmlSummary floxml;
  floxml.root = "sm_xml_case";
  const std::string text = compact_json(floxml);
  EXPECT_NE(text.find(R"(,"solution_domain":null,"source_truncated":false}})"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// The compact result

namespace {

TolvanexResult abaqus_result(std::optional<std::string> path) {
  TolvanexResult r;
  r.path = std::move(path);
  r.file_name = "a.inp";
  r.format = SimFormat::AbaqusInp;
  r.summary = AbaqusInpSummary{};
  return r;
}

const std::string kEmptyAbaqusTail =
    R"("file_name":"a.inp","format":"abaqus-inp","ok":true,"warnings":{"total":0,"sample":[],"truncated":false},)"
    R"("limitations":["Keyword inventory only; generated entities and solver semantics are not evaluated."],)"
    R"("summary":{"kind":"abaqus-inp","data":{"title":null,"includes":{"total":0,"sample":[],"truncated":false},)"
    R"("node_count":0,"element_count":0,"materials":{"total":0,"sample":[],"truncated":false},)"
    R"("sections":{"total":0,"sample":[],"truncated":false},"steps":{"total":0,"sample":[],"truncated":false},)"
    R"("boundary_keywords":{"total":0,"sample":[],"truncated":false},)"
    R"("load_keywords":{"total":0,"sample":[],"truncated":false},)"
    R"("output_keywords":{"total":0,"sample":[],"truncated":false},)"
    R"("unknown_keywords":{"total":0,"sample":[],"truncated":false}}}})";

}  // namespace

TEST(SummaryResult, EmptyAbaqusDeckWithAndWithoutPath) {
  struct Case {
    std::optional<std::string> path;
    std::string json;
  };
  const Case cases[] = {
      {std::nullopt, R"({"schema_version":1,"view":"summary",)" + kEmptyAbaqusTail},
      {"dir/a.inp", R"({"schema_version":1,"view":"summary","path":"dir/a.inp",)" + kEmptyAbaqusTail},
      {"", R"({"schema_version":1,"view":"summary","path":"",)" + kEmptyAbaqusTail},
  };
  for (const Case& c : cases) {
    const TolvanexResult full = abaqus_result(c.path);
    const TolvanexResult before = full;
    EXPECT_EQ(json::write(summarize_result(full)), c.json);
    EXPECT_EQ(full, before);
  }
}

TEST(SummaryResult, LongPathAndFileNameAreCutWhileTheFullRecordKeepsThem) {
  TolvanexResult full = abaqus_result("d/" + rep('p', 300) + ".inp");
  full.file_name = rep('n', 257);
  const auto compact = summarize_result(full);
  EXPECT_EQ(compact.path, "d/" + rep('p', 254) + kEll);
  EXPECT_EQ(compact.file_name, rep('n', 256) + kEll);
  EXPECT_EQ(full.file_name.size(), 257u);
}

TEST(SummaryResult, WarningsAreSampledAndBounded) {
  TolvanexResult full = abaqus_result(std::nullopt);
  full.warnings.assign(10, rep('w', 300));
  const auto compact = summarize_result(full);
  EXPECT_EQ(compact.warnings.total, 10u);
  EXPECT_TRUE(compact.warnings.truncated);
  ASSERT_EQ(compact.warnings.sample.size(), 8u);
  EXPECT_EQ(compact.warnings.sample[0], rep('w', 256) + kEll);
}

TEST(SummaryResult, LimitationSentencesFollowTheKind) {
  struct Case {
    FormatSummary summary;
    std::vector<std::size_t> lengths;
  };
  HfssAedtSummary icepak_project;
  icepak_project.icepak = IcepakAedtSummary{};
  const Case cases[] = {
      {ComsolMphSummary{}, {100}},
      {AbaqusInpSummary{}, {82}},
      {FluentHdf5Summary{}, {99}},
      {HfssAedtSummary{}, {143}},
      {icepak_project, {143}},
      {MechanicalMechdbSummary{}, {130, 125}},
      {IcepakTzrSummary{}, {107}},
      {FlothermFloxmlSummary{}, {133, 59}},
      {FlothermPackSummary{}, {112}},
  };
  for (const Case& c : cases) {
    TolvanexResult full;
    full.file_name = "f";
    full.format = static_cast<SimFormat>(c.summary.index());
    full.summary = c.summary;
    const auto compact = summarize_result(full);
    const std::string kind(format_name(full.format));
    ASSERT_EQ(compact.limitations.size(), c.lengths.size()) << kind;
    for (std::size_t i = 0; i < c.lengths.size(); ++i)
      EXPECT_EQ(compact.limitations[i].size(), c.lengths[i]) << kind << " " << i;
    EXPECT_EQ(compact.summary.index(), c.summary.index()) << kind;
    EXPECT_EQ(compact.schema_version, 1u);
    EXPECT_EQ(compact.view, "summary");
    const std::string text = json::write(compact);
    EXPECT_NE(text.find(R"("format":")" + kind + R"(")"), std::string::npos) << kind;
    EXPECT_NE(text.find(R"("summary":{"kind":")" + kind + R"(")"), std::string::npos) << kind;
  }
  // The two-sentence kinds keep their order.
  TolvanexResult mech;
  mech.format = SimFormat::AnsysMechanical;
  mech.summary = MechanicalMechdbSummary{};
  EXPECT_EQ(summarize_result(mech).limitations[1].substr(0, 18), "Object categories ");
  TolvanexResult floxml;
  floxml.format = SimFormat::FlothermFloxml;
  floxml.summary = FlothermFloxmlSummary{};
  EXPECT_EQ(summarize_result(floxml).limitations[1],
            "Proprietary FloTHERM PDML project payloads are not decoded.");
}

TEST(SummaryResult, ScanListIsOneArrayInOrder) {
  std::vector<TolvanexSummaryResult> none;
  EXPECT_EQ(json::write(none), "[]");
  TolvanexResult first = abaqus_result(std::nullopt);
  TolvanexResult second = abaqus_result(std::nullopt);
  second.file_name = "b.inp";
  const std::vector<TolvanexSummaryResult> two = {summarize_result(first), summarize_result(second)};
  const std::string text = json::write(two);
  EXPECT_EQ(text.substr(0, 58), R"([{"schema_version":1,"view":"summary","file_name":"a.inp",)");
  EXPECT_NE(text.find(R"(}}}},{"schema_version":1,"view":"summary","file_name":"b.inp",)"),
            std::string::npos);
  EXPECT_EQ(text.back(), ']');
}
