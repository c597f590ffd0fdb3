#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "tolvanex/dispatch.hpp"
#include "tolvanex/json.hpp"
#include "tolvanex/schema.hpp"
#include "tolvanex/walk.hpp"

using namespace tolvanex;
namespace fs = std::filesystem;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tolvanex-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
  std::string str(const std::string& rel = "") const { return rel.empty() ? path.string() : (path / rel).string(); }
  void write(const std::string& rel, const std::string& body = "") const {
    fs::create_directories((path / rel).parent_path());
    std::ofstream(path / rel, std::ios::binary) << body;
  }
};

// The names of a directory in the order the file system lists them.
std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  return names;
}

}  // namespace

TEST(Formats, ParsesTheAcceptedNamesIgnoringAsciiCase) {
  struct Case {
    const char* text;
    std::optional<SimFormat> format;
    const char* error;
  };
  const Case cases[] = {
      {"MPH", SimFormat::ComsolMph, ""},
      {"Mph", SimFormat::ComsolMph, ""},
      {"Fluent-HDF5", SimFormat::FluentHdf5, ""},
      {"AEDTZ", SimFormat::HfssAedt, ""},
      {"CAS.H5", SimFormat::FluentHdf5, ""},
      {"mechanical", SimFormat::AnsysMechanical, ""},
      {"icepak", SimFormat::IcepakTzr, ""},
      {"flotherm", SimFormat::FlothermFloxml, ""},
      {"pack", SimFormat::FlothermPack, ""},
      {"inc", SimFormat::AbaqusInp, ""},
      {"AUTO", std::nullopt, "auto is not a concrete format"},
      {"COMSOL", std::nullopt, "unknown format: comsol"},
      {"H5", std::nullopt, "unknown format: h5"},
      {"", std::nullopt, "unknown format: "},
      {" mph", std::nullopt, "unknown format:  mph"},
      {"M\xC3\x89" "CHDB", std::nullopt, "unknown format: m\xC3\x89" "chdb"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(parse_format(c.text, &error), c.format) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(Formats, NamesAndDefaults) {
  const char* names[] = {"comsol-mph", "abaqus-inp", "fluent-hdf5", "hfss-aedt",
                         "ansys-mechanical", "icepak-tzr", "flotherm-floxml", "flotherm-pack"};
  for (std::size_t i = 0; i < kFormatCount; ++i) {
    EXPECT_EQ(format_name(static_cast<SimFormat>(i)), names[i]);
    std::string error;
    EXPECT_EQ(parse_format(names[i], &error), static_cast<SimFormat>(i));
  }
  const ScanOptions options = ScanOptions::defaults();
  ASSERT_EQ(options.patterns.size(), 13u);
  EXPECT_EQ(options.patterns.front(), "*.mph");
  EXPECT_EQ(options.patterns.back(), "*.pack");
  EXPECT_EQ(options.inspect_options.byte_budget, 2097152u);
  EXPECT_FALSE(options.inspect_options.format.has_value());
  EXPECT_TRUE(options.recursive);
  EXPECT_FALSE(options.include_paths);
  EXPECT_FALSE(options.inspect_options.include_paths);
}

TEST(Detection, BySuffixOfTheLowerCasedName) {
  struct Case {
    const char* path;
    std::optional<SimFormat> format;
  };
  const Case cases[] = {
      {"MODEL.MPH", SimFormat::ComsolMph},        {"deck.INC", SimFormat::AbaqusInp},
      {"run.Cas.H5", SimFormat::FluentHdf5},      {"PROJECT.AEDTZ", SimFormat::HfssAedt},
      {"p.aedt", SimFormat::HfssAedt},            {".mph", SimFormat::ComsolMph},
      {"mph", std::nullopt},                      {"x.h5", std::nullopt},
      {"x.dat.h5", std::nullopt},                 {"a.mechdat", SimFormat::AnsysMechanical},
      {"a.mechd", std::nullopt},                  {"a.tzr", SimFormat::IcepakTzr},
      {"a.floxml", SimFormat::FlothermFloxml},    {"a.pack", SimFormat::FlothermPack},
      {"a.zip", std::nullopt},                    {"dir/..", std::nullopt},
      {"dir/model.mph/", SimFormat::ComsolMph},   {"a\xFF.inp", SimFormat::AbaqusInp},
      {"/no/such/dir/case.xml", std::nullopt},    {"", std::nullopt},
      {"x.msh.h5", SimFormat::FluentHdf5},        {"a.inp.txt", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(dispatch::detect_format(c.path), c.format) << c.path;
}

TEST(Filter, PatternRules) {
  struct Case {
    std::vector<std::string> patterns;
    const char* path;
    bool included;
  };
  const std::vector<std::string> defaults = ScanOptions::defaults().patterns;
  const Case cases[] = {
      {{" *.MPH "}, "a.mph", true},
      {{"model.inp"}, "dir/model.inp", true},
      {{"model.inp"}, "dir/other.inp", false},
      {{"*"}, "anything", true},
      {{}, "a.mph", false},
      {{"a?.mph"}, "ab.mph", false},
      {{"a?.mph"}, "a?.mph", true},
      {{"*xml"}, "fooxml", true},
      {{"   "}, "a.mph", false},
      {{"\xE3\x80\x80*.inp\xC2\xA0"}, "A.INP", true},
      {{"*.mph"}, "dir/..", false},
      {defaults, "notes.txt", false},
      {defaults, "case.XML", true},
      {defaults, "x.Msh.h5", true},
      {defaults, ".a.mph", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(dispatch::should_include(c.path, c.patterns), c.included) << c.path;
}

TEST(Driver, UnsupportedFormatCarriesThePathAsGiven) {
  InspectOptions options;
  auto r = dispatch::inspect_path("data/notes.txt", options);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "unsupported file format for data/notes.txt");
  r = dispatch::inspect_path("", options);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "unsupported file format for ");
}

TEST(Walk, DepthFirstInListingOrderWithBoundedOpenListings) {
  TempDir t;
  // A chain 15 deep with files at every level, so more than 10 listings would be open.
  std::string rel;
  for (int depth = 0; depth < 15; ++depth) {
    rel += "d" + std::to_string(depth) + "/";
    for (int i = 0; i < 3; ++i) t.write(rel + "f" + std::to_string(i));
  }
  // The expected order, built from the file system's own listing order.
  std::vector<std::string> expected;
  std::function<void(const std::string&)> expect = [&](const std::string& dir) {
    for (const std::string& name : listing(dir)) {
      const std::string p = dir + "/" + name;
      expected.push_back(p);
      struct stat st {};
      if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) expect(p);
    }
  };
  expect(t.str());
  dispatch::DirectoryWalk walk(t.str(), true);
  std::vector<std::string> got;
  std::size_t most_open = 0;
  while (auto p = walk.next()) {
    got.push_back(*p);
    most_open = std::max(most_open, walk.open_listings());
  }
  EXPECT_EQ(got, expected);
  EXPECT_LE(most_open, dispatch::DirectoryWalk::kMaxOpenListings);
  EXPECT_EQ(most_open, dispatch::DirectoryWalk::kMaxOpenListings);
}

TEST(Walk, LinksBelowTheRootAreNotFollowedAndTrailingSlashIsNotDoubled) {
  TempDir t;
  t.write("data/a.txt");
  t.write("data/sub/b.txt");
  fs::create_directory_symlink(t.path / "data" / "sub", t.path / "data" / "link");
  dispatch::DirectoryWalk walk(t.str("data") + "/", true);
  std::set<std::string> got;
  while (auto p = walk.next()) got.insert(*p);
  const std::string base = t.str("data") + "/";
  EXPECT_EQ(got, (std::set<std::string>{base + "a.txt", base + "sub", base + "sub/b.txt", base + "link"}));

  dispatch::DirectoryWalk shallow(t.str("data"), false);
  std::set<std::string> top;
  while (auto p = shallow.next()) top.insert(*p);
  EXPECT_EQ(top.count(t.str("data") + "/sub/b.txt"), 0u);
  EXPECT_EQ(top.count(t.str("data") + "/sub"), 1u);

  // A starting path that is a link to a directory is walked under the link's own path.
  fs::create_directory_symlink(t.path / "data", t.path / "alias");
  dispatch::DirectoryWalk via_link(t.str("alias"), true);
  std::set<std::string> linked;
  while (auto p = via_link.next()) linked.insert(*p);
  EXPECT_EQ(linked.count(t.str("alias") + "/sub/b.txt"), 1u);
}

TEST(Scan, SkipsWhatItCannotReadOrDoesNotRecognise) {
  TempDir t;
  t.write("notes.txt", "x");
  t.write("other.xml", "<project/>");
  ScanOptions options = ScanOptions::defaults();
  auto r = dispatch::scan_paths({t.str(), t.str("notes.txt"), "", t.str("missing"),
                                 std::string("a\0b.inp", 7)},
                                options);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r.value().empty());
}

TEST(Json, EscapesOnlyQuoteBackslashAndControlCharacters) {
  NamedValue v{"q\"b\\n\nt\t\x01\x1f\x7f/\xC3\xA9\b\f\r", std::nullopt, std::string("")};
  EXPECT_EQ(json::write(v),
            "{\"name\":\"q\\\"b\\\\n\\nt\\t\\u0001\\u001f\x7f/\xC3\xA9\\b\\f\\r\",\"value\":null,"
            "\"reference\":\"\"}");
  MechanicalObjectTypeCount c{4294967295u, 18446744073709551615ull};
  EXPECT_EQ(json::write(c), "{\"type_id\":4294967295,\"count\":18446744073709551615}");
}

TEST(Json, EveryRecordWithEmptyValues) {
  struct Case {
    FormatSummary summary;
    const char* json;
  };
  const Case cases[] = {
      {ComsolMphSummary{},
       R"({"kind":"comsol-mph","data":{"schema":null,"saved_in":null,"title":null,"description":null,"comsol_version":null,"node_type":null,"is_runnable":null,"parameters":[],"physics_tags":[],"study_tags":[],"material_tags":[],"used_licenses":[],"size_breakdown":[],"entries":[]}})"},
      {AbaqusInpSummary{},
       R"({"kind":"abaqus-inp","data":{"title":null,"includes":[],"node_count":0,"element_count":0,"materials":[],"sections":[],"steps":[],"boundary_keywords":[],"load_keywords":[],"output_keywords":[],"unknown_keywords":[]}})"},
      {FluentHdf5Summary{},
       R"({"kind":"fluent-hdf5","data":{"root_attributes":[],"groups":[],"datasets":[],"hints":{"zone_paths":[],"boundary_paths":[],"settings_paths":[]}}})"},
      {HfssAedtSummary{},
       R"({"kind":"hfss-aedt","data":{"project_name":null,"product":null,"version_hint":null,"designs":[],"variables":[],"setups":[],"sweeps":[],"ports":[],"boundaries":[],"materials":[],"mesh_operations":[],"source_member":null,"sidecars":{"lock_file_present":false,"results_dir_present":false},"truncated":false}})"},
      {MechanicalMechdbSummary{},
       R"({"kind":"ansys-mechanical","data":{"mechanical_version":null,"database_format_version":null,"release_kind":null,"object_count":0,"object_type_counts":[],"analyses":[],"bodies":[],"materials":[],"contacts":[],"loads_and_conditions":[],"results":[],"geometry_sources":[],"streams":[],"sidecars":{"lock_file_present":false,"project_files_dir_present":false},"content_truncated":false}})"},
      {IcepakTzrSummary{},
       R"({"kind":"icepak-tzr","data":{"project_name":null,"gzip_compressed":false,"entry_count":0,"file_count":0,"directory_count":0,"uncompressed_bytes":0,"job_file_present":false,"model_file_present":false,"entries":[],"truncated":false}})"},
      {FlothermFloxmlSummary{.root = "xml_case"},
       R"({"kind":"flotherm-floxml","data":{"root":"xml_case","name":null,"solution":null,"dimensionality":null,"transient":null,"radiation":null,"turbulence_type":null,"gravity_direction":null,"ambient_temperature":null,"datum_pressure":null,"outer_iterations":null,"grid":[],"attribute_type_counts":[],"attributes":[],"geometry_type_counts":[],"geometry":[],"sources":[],"solution_domain":null,"truncated":false}})"},
      {FlothermPackSummary{},
       R"({"kind":"flotherm-pack","data":{"project_name":null,"project_directory":null,"entry_count":0,"file_count":0,"directory_count":0,"compressed_bytes":0,"uncompressed_bytes":0,"project_data_present":false,"base_solution_present":false,"entries":[],"truncated":false}})"},
  };
  for (const Case& c : cases) EXPECT_EQ(json::write(c.summary), c.json);
}

TEST(Json, IcepakKeySitsBetweenMeshOperationsAndSourceMember) {
  HfssAedtSummary s;
  s.icepak = IcepakAedtSummary{{IcepakDesign{.name = "D"}}, {}, {}, {}};
  const std::string text = json::write(s);
  EXPECT_NE(text.find(R"("mesh_operations":[],"icepak":{"designs":[{"name":"D","solution_type":null,"problem_option":null,"ambient_temperature":null,"ambient_pressure":null,"ambient_radiation_temperature":null,"default_fluid_material":null,"default_solid_material":null,"default_surface_material":null}],"thermal_boundaries":[],"monitors":[],"mesh_regions":[]},"source_member":null)"),
            std::string::npos)
      << text;
}

TEST(Json, ResultRecordPathIsLeftOutUnlessAsked) {
  TolvanexResult r{.path = std::nullopt, .file_name = "a.inp", .format = SimFormat::AbaqusInp,
                   .ok = true, .warnings = {}, .summary = AbaqusInpSummary{}};
  EXPECT_EQ(json::write(r).rfind("{\"file_name\":\"a.inp\",\"format\":\"abaqus-inp\",\"ok\":true,\"warnings\":[],", 0), 0u);
  r.path = "./a.inp";
  EXPECT_EQ(json::write(r).rfind("{\"path\":\"./a.inp\",\"file_name\":\"a.inp\"", 0), 0u);
  EXPECT_EQ(json::write(std::vector<TolvanexResult>{}), "[]");
  const std::string one = json::write(r);
  EXPECT_EQ(json::write(std::vector<TolvanexResult>{r, r}), "[" + one + "," + one + "]");
}
