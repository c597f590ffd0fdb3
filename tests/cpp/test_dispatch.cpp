#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "support.hpp"
#include "tolvanex/dispatch.hpp"
#include "tolvanex/formats.hpp"
#include "tolvanex/json.hpp"
#include "tolvanex/directory_walk.hpp"
#include "json_value.hpp"

using namespace tolvanex;
namespace fs = std::filesystem;

TEST(Formats, ParsesTheAcceptedNamesIgnoringAsciiCase) {
  struct Case {
    const char* text;
    std::optional<SimFormat> format;
    const char* error;
  };
  const Case cases[] = {
      {"MPH", SimFormat::ComsolMph, ""},       {"Fluent-HDF5", SimFormat::FluentHdf5, ""},
      {"AEDTZ", SimFormat::HfssAedt, ""},      {"CAS.H5", SimFormat::FluentHdf5, ""},
      {"Flotherm-Pack", SimFormat::FlothermPack, ""}, {"inc", SimFormat::AbaqusInp, ""},
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

TEST(Formats, DefaultScanOptions) {
  const ScanOptions options = ScanOptions::defaults();
  EXPECT_EQ(options.patterns,
            (std::vector<std::string>{"*.mph", "*.inp", "*.inc", "*.cas.h5", "*.msh.h5", "*.aedt",
                                      "*.aedtz", "*.mechdb", "*.mechdat", "*.tzr", "*.floxml",
                                      "*.xml", "*.pack"}));
  EXPECT_EQ(options.inspect_options.byte_budget, 2097152u);
  EXPECT_FALSE(options.inspect_options.format.has_value());
  EXPECT_TRUE(options.recursive);
  EXPECT_FALSE(options.include_paths || options.inspect_options.include_paths);
}

TEST(Detection, BySuffixOfTheLowerCasedName) {
  const std::pair<const char*, std::optional<SimFormat>> cases[] = {
      {"MODEL.MPH", SimFormat::ComsolMph},      {"deck.INC", SimFormat::AbaqusInp},
      {"run.Cas.H5", SimFormat::FluentHdf5},    {"x.msh.h5", SimFormat::FluentHdf5},
      {"PROJECT.AEDTZ", SimFormat::HfssAedt},   {"p.aedt", SimFormat::HfssAedt},
      {".mph", SimFormat::ComsolMph},           {"mph", std::nullopt},
      {"x.h5", std::nullopt},                   {"x.dat.h5", std::nullopt},
      {"a.mechdat", SimFormat::AnsysMechanical}, {"a.mechd", std::nullopt},
      {"a.tzr", SimFormat::IcepakTzr},          {"a.floxml", SimFormat::FlothermFloxml},
      {"a.pack", SimFormat::FlothermPack},      {"a.zip", std::nullopt},
      {"dir/..", std::nullopt},                 {"dir/model.mph/", SimFormat::ComsolMph},
      {"a\xFF.inp", SimFormat::AbaqusInp},      {"/no/such/dir/case.xml", std::nullopt},
      {"", std::nullopt},                       {"a.inp.txt", std::nullopt},
  };
  for (const auto& [path, format] : cases) EXPECT_EQ(dispatch::detect_format(path), format) << path;
}

TEST(Filter, PatternRules) {
  struct Case {
    std::vector<std::string> patterns;
    const char* path;
    bool included;
  };
  const std::vector<std::string> defaults = ScanOptions::defaults().patterns;
  const Case cases[] = {
      {{" *.MPH "}, "a.mph", true},           {{"model.inp"}, "dir/model.inp", true},
      {{"model.inp"}, "dir/other.inp", false}, {{"*"}, "anything", true},
      {{}, "a.mph", false},                    {{"a?.mph"}, "ab.mph", false},
      {{"a?.mph"}, "a?.mph", true},            {{"*xml"}, "fooxml", true},
      {{"   "}, "a.mph", false},                {{"*.mph"}, "dir/..", false},
      {{"\xE3\x80\x80*.inp\xC2\xA0"}, "A.INP", true},  // trimmed of Unicode white space
      {defaults, "notes.txt", false},          {defaults, "case.XML", true},
      {defaults, ".a.mph", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(dispatch::should_include(c.path, c.patterns), c.included) << c.path;
}

TEST(Driver, FailsWithoutAFormat) {
  auto r = dispatch::inspect_path("data/notes.txt", {});
  EXPECT_EQ(r.error().display(), "unsupported file format for data/notes.txt");
  r = dispatch::inspect_path("", {});
  EXPECT_EQ(r.error().display(), "unsupported file format for ");
}

TEST(Walk, DepthFirstInListingOrderWithBoundedOpenListings) {
  const tvx_test::TempDir t;
  // A chain 15 deep with files at every level, so more than 10 listings would be open.
  std::string dir;
  for (int depth = 0; depth < 15; ++depth) {
    dir += "d" + std::to_string(depth) + "/";
    for (int i = 0; i < 3; ++i) t.write(dir + "f" + std::to_string(i));
  }
  // Entries that are no plain file or folder: links to a file, to a folder (never entered)
  // and to nothing, and a pipe.
  t.write("top");
  fs::create_symlink(t.str("d0/f0"), t.str("file-link"));
  fs::create_symlink(t.str("d0/f0"), t.str("d0/d1/file-link"));
  fs::create_directory_symlink(t.str("d0/d1"), t.str("d0/dir-link"));
  fs::create_symlink(t.str("missing"), t.str("d0/d1/d2/dangling"));
  ASSERT_EQ(::mkfifo(t.str("d0/pipe").c_str(), 0600), 0);
  // The file system's own listing order, depth first, pre-order; and whether each entry is a
  // regular file once links are followed.
  std::vector<std::pair<std::string, bool>> deep, shallow;
  for (const auto& entry : fs::recursive_directory_iterator(t.path())) {
    deep.emplace_back(entry.path(), fs::is_regular_file(entry.path()));
    if (entry.path().parent_path() == t.path()) shallow.push_back(deep.back());
  }
  // The kinds the listing gives, and the lookups made where a file system gives none.
  for (const auto kinds : {dispatch::DirectoryWalk::Kinds::FromListing, dispatch::DirectoryWalk::Kinds::LookedUp})
    for (const bool recursive : {true, false}) {
      dispatch::DirectoryWalk walk(t.str(), recursive, kinds);
      std::vector<std::pair<std::string, bool>> got;
      std::size_t most_open = 0;
      while (walk.next()) {
        got.emplace_back(walk.path(), walk.is_regular_file());
        most_open = std::max(most_open, walk.open_listings());
      }
      EXPECT_EQ(got, recursive ? deep : shallow) << static_cast<int>(kinds);
      EXPECT_EQ(most_open, recursive ? dispatch::DirectoryWalk::kMaxOpenListings : 1);
    }
}

TEST(Json, EscapesOnlyQuoteBackslashAndControlCharactersAndWritesNumbersInFull) {
  NamedValue v{"q\"b\\n\nt\t\x01\x1f\x7f/\xC3\xA9\b\f\r", std::nullopt, std::string("")};
  EXPECT_EQ(json::write(v),
            "{\"name\":\"q\\\"b\\\\n\\nt\\t\\u0001\\u001f\x7f/\xC3\xA9\\b\\f\\r\",\"value\":null,"
            "\"reference\":\"\"}");
  MechanicalObjectTypeCount c{4294967295u, 18446744073709551615ull};
  EXPECT_EQ(json::write(c), "{\"type_id\":4294967295,\"count\":18446744073709551615}");
}

TEST(Json, TextsAndNumbersAreWrittenAsNlohmannDumpWritesThem) {
  // Every ASCII byte alone and inside a run, and multi-byte characters, as a name.
  std::vector<std::string> texts = {"", "plain text", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"};
  for (int c = 0; c < 0x80; ++c) {
    texts.push_back(std::string(1, static_cast<char>(c)));
    texts.push_back("ab" + std::string(1, static_cast<char>(c)) + "cd\xC3\xA9");
  }
  for (const std::string& t : texts)
    EXPECT_EQ(json::write(NamedValue{t, std::nullopt, std::nullopt}),
              "{\"name\":" + json::Json(t).dump() + ",\"value\":null,\"reference\":null}") << t;
  for (const std::uint64_t n : {0ull, 9ull, 10ull, 4294967296ull, 9999999999999999999ull, 18446744073709551615ull})
    EXPECT_EQ(json::write(MechanicalObjectTypeCount{7u, n}), "{\"type_id\":7,\"count\":" + json::Json(n).dump() + "}");
}

TEST(Json, EveryRecordWithEmptyValues) {
  const std::pair<FormatSummary, const char*> cases[] = {
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
  for (const auto& [summary, text] : cases) EXPECT_EQ(json::write(summary), text);

  // A present Icepak part stands between "mesh_operations" and "source_member".
  HfssAedtSummary s{.icepak = IcepakAedtSummary{.designs = {{.name = "D"}}}};
  EXPECT_NE(json::write(s).find(R"("mesh_operations":[],"icepak":{"designs":[{"name":"D","solution_type":null,"problem_option":null,"ambient_temperature":null,"ambient_pressure":null,"ambient_radiation_temperature":null,"default_fluid_material":null,"default_solid_material":null,"default_surface_material":null}],"thermal_boundaries":[],"monitors":[],"mesh_regions":[]},"source_member":null)"),
            std::string::npos);
}

TEST(Json, ResultRecordPathIsLeftOutUnlessAskedAndListsAreOneArray) {
  TolvanexResult r{.file_name = "a.inp", .format = SimFormat::AbaqusInp, .summary = AbaqusInpSummary{}};
  EXPECT_EQ(json::write(r).rfind(R"({"file_name":"a.inp","format":"abaqus-inp","ok":true,"warnings":[],)", 0), 0u);
  r.path = "./a.inp";
  const std::string one = json::write(r);
  EXPECT_EQ(one.rfind(R"({"path":"./a.inp","file_name":"a.inp",)", 0), 0u);
  EXPECT_EQ(json::write(std::vector<TolvanexResult>{}), "[]");
  EXPECT_EQ(json::write(std::vector<TolvanexResult>{r, r}), "[" + one + "," + one + "]");
}
