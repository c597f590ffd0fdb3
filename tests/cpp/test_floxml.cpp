#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tolvanex/json.hpp"
#include "tolvanex/parsers/flotherm_floxml.hpp"
#include "tolvanex/parsers/readers.hpp"

using namespace tolvanex;
using namespace tolvanex::parsers::flotherm;

namespace {

std::string temp_file(const std::string& content) {
  static int counter = 0;
  const std::string path = testing::TempDir() + "floxml_" + std::to_string(::getpid()) + "_" +
                           std::to_string(counter++) + ".xml";
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

// The summary as exact JSON, or "error:" and the display text.
std::string inspect_doc(const std::string& doc, std::uint64_t budget = kDefaultByteBudget) {
  const std::string path = temp_file(doc);
  Result<FlothermFloxmlSummary> r = inspect_flotherm_floxml(path, budget);
  std::remove(path.c_str());
  return r ? json::write(r.value()) : "error:" + r.error().display();
}

const char* kEmpty =
    R"({"root":"xml_case","name":null,"solution":null,"dimensionality":null,"transient":null,)"
    R"("radiation":null,"turbulence_type":null,"gravity_direction":null,"ambient_temperature":null,)"
    R"("datum_pressure":null,"outer_iterations":null,"grid":[],"attribute_type_counts":[],)"
    R"("attributes":[],"geometry_type_counts":[],"geometry":[],"sources":[],"solution_domain":null,)"
    R"("truncated":false})";

// The empty summary with some keys replaced by the given JSON texts: the whole record is then
// compared byte for byte.
std::string expect_json(const std::map<std::string, std::string>& changes) {
  json::Json j = json::Json::parse(kEmpty);
  for (const auto& [key, value] : changes) {
    EXPECT_TRUE(j.contains(key)) << key;
    j[key] = json::Json::parse(value);
  }
  return j.dump();
}

struct Case {
  const char* what;
  std::string doc;
  std::map<std::string, std::string> changes;
  std::uint64_t budget = kDefaultByteBudget;
};

std::string wrap(const std::string& body) { return "<xml_case>" + body + "</xml_case>"; }

}  // namespace

TEST(FloxmlReader, SummariesAsExactJson) {
  const std::vector<Case> cases = {
      {"only the root", "<xml_case/>", {}},
      {"prefixed root", "<ns:xml_case></ns:xml_case>", {}},
      {"smartpart root", "<?xml version='1.0'?><!-- c --><sm_xml_case/>", {{"root", R"("sm_xml_case")"}}},
      {"name under the root", wrap("<name>P</name>"), {{"name", R"("P")"}}},
      {"later name wins", wrap("<name>P</name><name>Q</name>"), {{"name", R"("Q")"}}},
      {"name split by a reference", wrap("<name>A &amp; B</name>"), {{"name", R"("B")"}}},
      {"name in CDATA is no value", wrap("<name><![CDATA[X]]></name>"), {}},
      {"name trimmed of Unicode white space", wrap("<name>\xC2\xA0P q\xE3\x80\x80</name>"), {{"name", R"("P q")"}}},
      {"invalid UTF-8 replaced", wrap("<name>a\xFF</name>"), {{"name", "\"a\xEF\xBF\xBD\""}}},
      {"name deeper is ignored", wrap("<model><name>Q</name></model>"), {}},
      {"root name after the root is ignored", "<xml_case/><name>P</name>", {}},
      {"settings",
       wrap("<model><modeling><solution>flow_heat</solution><dimensionality>3d</dimensionality>"
            "<transient>false</transient><radiation>off</radiation></modeling>"
            "<turbulence><turbulence_type>auto</turbulence_type></turbulence>"
            "<gravity><normal_direction>neg_y</normal_direction></gravity>"
            "<global><ambient_temperature>300</ambient_temperature>"
            "<datum_pressure>101325</datum_pressure></global></model>"
            "<solve><overall_control><outer_iterations>500</outer_iterations></overall_control></solve>"),
       {{"solution", R"("flow_heat")"},
        {"dimensionality", R"("3d")"},
        {"transient", "false"},
        {"radiation", R"("off")"},
        {"turbulence_type", R"("auto")"},
        {"gravity_direction", R"("neg_y")"},
        {"ambient_temperature", R"("300")"},
        {"datum_pressure", R"("101325")"},
        {"outer_iterations", R"("500")"}}},
      {"settings at any depth",
       wrap("<a><b><model><modeling><solution>s</solution></modeling></model></b></a>"),
       {{"solution", R"("s")"}}},
      {"only the last three elements count",
       wrap("<model><modeling><x><solution>s</solution></x></modeling></model>"), {}},
      {"transient YES", wrap("<model><modeling><transient>YES</transient></modeling></model>"),
       {{"transient", "true"}}},
      {"transient 2", wrap("<model><modeling><transient>2</transient></modeling></model>"), {}},
      {"unrecognised later transient clears",
       wrap("<model><modeling><transient>on</transient><transient>maybe</transient></modeling></model>"), {}},
      {"source with powers",
       wrap("<attributes><sources><source_att><name>S</name><power>5</power><power>7</power>"
            "</source_att></sources></attributes>"),
       {{"attribute_type_counts", R"([{"name":"source_att","count":1}])"},
        {"attributes", R"([{"kind":"source_att","name":"S"}])"},
        {"sources", R"([{"name":"S","powers":["5","7"]}])"}}},
      {"source without name counts only",
       wrap("<attributes><source_att><power>5</power></source_att></attributes>"),
       {{"attribute_type_counts", R"([{"name":"source_att","count":1}])"}}},
      {"name of a nested element is not the entity's",
       wrap("<attributes><fluid_att><x><name>N</name></x></fluid_att></attributes>"),
       {{"attribute_type_counts", R"([{"name":"fluid_att","count":1}])"}}},
      {"power outside a source is ignored",
       wrap("<attributes><fluid_att><name>F</name><power>9</power></fluid_att></attributes>"),
       {{"attribute_type_counts", R"([{"name":"fluid_att","count":1}])"},
        {"attributes", R"([{"kind":"fluid_att","name":"F"}])"}}},
      {"power of a nested attribute goes to the innermost open source",
       wrap("<attributes><source_att><name>O</name><source_att><name>I</name><power>1</power>"
            "</source_att><power>2</power></source_att></attributes>"),
       {{"attribute_type_counts", R"([{"name":"source_att","count":2}])"},
        {"attributes", R"([{"kind":"source_att","name":"I"},{"kind":"source_att","name":"O"}])"},
        {"sources", R"([{"name":"I","powers":["1"]},{"name":"O","powers":["2"]}])"}}},
      {"prefixed elements use their local name",
       wrap("<f:attributes><f:source_att><f:name>S</f:name></f:source_att></f:attributes>"),
       {{"attribute_type_counts", R"([{"name":"source_att","count":1}])"},
        {"attributes", R"([{"kind":"source_att","name":"S"}])"},
        {"sources", R"([{"name":"S","powers":[]}])"}}},
      {"_att child of geometry outside attributes is geometry",
       wrap("<geometry><odd_att><name>G</name></odd_att></geometry><x><lone_att><name>L</name></lone_att></x>"),
       {{"geometry_type_counts", R"([{"name":"odd_att","count":1}])"},
        {"geometry", R"([{"kind":"odd_att","name":"G"}])"}}},
      {"nested geometry and empty elements",
       wrap("<geometry><assembly><name>A</name><geometry><cuboid><name>C</name></cuboid>"
            "<cuboid/><prism><name>P</name></prism></geometry></assembly></geometry>"),
       {{"geometry_type_counts",
         R"([{"name":"assembly","count":1},{"name":"cuboid","count":2},{"name":"prism","count":1}])"},
        {"geometry",
         R"([{"kind":"assembly","name":"A"},{"kind":"cuboid","name":"C"},{"kind":"prism","name":"P"}])"}}},
      {"unclosed entities are dropped, counts stay",
       "<xml_case><geometry><cuboid><name>C</name>", {{"geometry_type_counts", R"([{"name":"cuboid","count":1}])"}}},
      {"grid axes merge and sort",
       wrap("<grid><z_grid><grid_type>max</grid_type></z_grid><x_grid><min_size>1</min_size></x_grid>"
            "<x_grid><max_size>2</max_size></x_grid><x_grid><y_grid><min_size>3</min_size>"
            "</y_grid></x_grid></grid>"),
       {{"grid",
         R"([{"axis":"x_grid","grid_type":null,"min_size":"1","max_size":"2"},)"
         R"({"axis":"y_grid","grid_type":null,"min_size":"3","max_size":null},)"
         R"({"axis":"z_grid","grid_type":"max","min_size":null,"max_size":null}])"}}},
      {"grid field outside a grid is ignored", wrap("<min_size>1</min_size>"), {}},
      {"solution domain",
       wrap("<solution_domain><fluid>Air</fluid><y_high_boundary>b1</y_high_boundary>"
            "<x_low_ambient>a1</x_low_ambient><y_high_ambient>a2</y_high_ambient>"
            "<d><z_boundary>b2</z_boundary></d><_ambient>e</_ambient></solution_domain>"),
       {{"solution_domain",
         R"({"fluid":"Air","boundaries":[{"face":"","kind":"ambient","value":"e"},)"
         R"({"face":"x_low","kind":"ambient","value":"a1"},{"face":"y_high","kind":"boundary","value":"b1"},)"
         R"({"face":"y_high","kind":"ambient","value":"a2"},{"face":"z","kind":"boundary","value":"b2"}]})"}}},
      {"empty solution domain", wrap("<solution_domain/>"), {{"solution_domain", R"({"fluid":null,"boundaries":[]})"}}},
      {"the last solution domain replaces the earlier",
       wrap("<solution_domain><fluid>Air</fluid><x_ambient>1</x_ambient></solution_domain>"
            "<solution_domain><y_boundary>2</y_boundary></solution_domain>"),
       {{"solution_domain", R"({"fluid":null,"boundaries":[{"face":"y","kind":"boundary","value":"2"}]})"}}},
      {"domain leaf outside a domain is ignored", wrap("<fluid>Air</fluid>"), {}},
      {"sorting by kind then name, bytewise",
       wrap("<attributes><b_att><name>z</name></b_att><a_att><name>y</name></a_att>"
            "<b_att><name>a</name></b_att><a_att><name>\xC3\xA9</name></a_att><a_att><name>Z</name></a_att>"
            "<source_att><name>s2</name></source_att><source_att><name>s1</name></source_att></attributes>"),
       {{"attribute_type_counts",
         R"([{"name":"a_att","count":3},{"name":"b_att","count":2},{"name":"source_att","count":2}])"},
        {"attributes",
         "[{\"kind\":\"a_att\",\"name\":\"Z\"},{\"kind\":\"a_att\",\"name\":\"y\"},"
         "{\"kind\":\"a_att\",\"name\":\"\xC3\xA9\"},{\"kind\":\"b_att\",\"name\":\"a\"},"
         "{\"kind\":\"b_att\",\"name\":\"z\"},{\"kind\":\"source_att\",\"name\":\"s1\"},"
         "{\"kind\":\"source_att\",\"name\":\"s2\"}]"},
        {"sources", R"([{"name":"s1","powers":[]},{"name":"s2","powers":[]}])"}}},
      {"budget: a longer text is dropped, a later shorter one fits",
       wrap("<name>abcd</name><name>ab</name>"), {{"name", R"("ab")"}, {"truncated", "true"}}, 3},
      {"budget: exactly the remaining size fits", wrap("<name>abc</name>"), {{"name", R"("abc")"}}, 3},
      {"budget: a replaced byte counts three", wrap("<name>\xFF</name>"), {{"truncated", "true"}}, 2},
      {"budget: irrelevant text costs nothing",
       wrap("<model><name>long irrelevant text</name></model><name>P</name>"), {{"name", R"("P")"}}, 1},
      {"budget: every kept text is charged",
       wrap("<name>ab</name><attributes><source_att><name>S</name><power>1</power></source_att></attributes>"),
       {{"name", R"("ab")"},
        {"attribute_type_counts", R"([{"name":"source_att","count":1}])"},
        {"attributes", R"([{"kind":"source_att","name":"S"}])"},
        {"sources", R"([{"name":"S","powers":[]}])"},
        {"truncated", "true"}},
       3},
      {"attributes, comments and other markup give nothing",
       "<?xml version='1.0'?><!DOCTYPE xml_case [<!ENTITY e 'v'>]><xml_case name='A' k=\"x>y\">"
       "<!-- <name>C</name> --><name a='1' a='<name>'>N<?pi <name>?></name>"
       "<attributes><x_att name='n'><![CDATA[<name>D</name>]]></x_att></attributes></xml_case>",
       {{"name", R"("N")"}, {"attribute_type_counts", R"([{"name":"x_att","count":1}])"}}},
      {"entities nested in entities of the other list",
       wrap("<geometry><g><attributes><a_att><geometry><h><name>H</name></h></geometry><name>A</name>"
            "</a_att></attributes><name>G</name></g></geometry>"),
       {{"attribute_type_counts", R"([{"name":"a_att","count":1}])"},
        {"attributes", R"([{"kind":"a_att","name":"A"}])"},
        {"geometry_type_counts", R"([{"name":"g","count":1},{"name":"h","count":1}])"},
        {"geometry", R"([{"kind":"g","name":"G"},{"kind":"h","name":"H"}])"}}},
      {"a source's powers while a deeper attribute is named",
       wrap("<attributes><source_att><fluid_att><name>F</name><power>1</power></fluid_att>"
            "<name>S</name><power>2</power></source_att></attributes>"),
       {{"attribute_type_counts", R"([{"name":"fluid_att","count":1},{"name":"source_att","count":1}])"},
        {"attributes", R"([{"kind":"fluid_att","name":"F"},{"kind":"source_att","name":"S"}])"},
        {"sources", R"([{"name":"S","powers":["1","2"]}])"}}},
      {"grid axes nested in one another",
       wrap("<x_grid><y_grid><min_size>1</min_size></y_grid><max_size>2</max_size></x_grid>"),
       {{"grid",
         R"([{"axis":"x_grid","grid_type":null,"min_size":null,"max_size":"2"},)"
         R"({"axis":"y_grid","grid_type":null,"min_size":"1","max_size":null}])"}}},
      {"budget zero keeps nothing but counts", wrap("<geometry><cuboid><name>C</name></cuboid></geometry>"),
       {{"geometry_type_counts", R"([{"name":"cuboid","count":1}])"}, {"truncated", "true"}}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(inspect_doc(c.doc, c.budget), expect_json(c.changes)) << c.what;
}

TEST(FloxmlReader, Failures) {
  struct Failure {
    std::string doc, error;
  };
  const Failure cases[] = {
      {"<project/>", "expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <project>"},
      {"<a:project><xml_case/></a:project>",
       "expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <project>"},
      {"<XML_CASE/>", "expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <XML_CASE>"},
      {"<\xFF/>", "expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <\xEF\xBF\xBD>"},
      {"", "FloTHERM FloXML file did not contain a root element"},
      {"<?xml version='1.0'?>\n<!-- only comments -->\n", "FloTHERM FloXML file did not contain a root element"},
      {"stray text", "FloTHERM FloXML file did not contain a root element"},
      {"<xml_case><name>a</nome></xml_case>", "xml error: ill-formed document: expected `</name>`, but `</nome>` was found"},
      {"<xml_case><name>a & b</name>", "xml error: ill-formed document: entity or character reference not closed: `;` not found before end of input"},
      {"<xml_case><!-- open", "xml error: syntax error: comment not closed: `-->` not found before end of input"},
      {"<xml_case><geometry", "xml error: syntax error: tag not closed: `>` not found before end of input"},
      {"<xml_case/></xml_case>", "xml error: ill-formed document: close tag `</xml_case>` does not match any open tag"},
      // A wrong root is reported before later malformed XML is reached.
      {"<project></other>", "expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <project>"},
  };
  for (const Failure& c : cases) EXPECT_EQ(inspect_doc(c.doc), "error:" + c.error) << c.doc;

  Result<FlothermFloxmlSummary> missing = inspect_flotherm_floxml(testing::TempDir() + "no/such.xml", 10);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().display(), "io error: No such file or directory (os error 2)");
  Result<FlothermFloxmlSummary> dir = inspect_flotherm_floxml(testing::TempDir(), 10);
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().display(), "xml error: I/O error: Is a directory (os error 21)");
}

TEST(FloxmlReader, TextSpanningManyBufferRefillsIsKeptWhole) {
  const std::string name(20000, 'n');
  EXPECT_EQ(inspect_doc(wrap("<name>" + name + "</name>")), expect_json({{"name", "\"" + name + "\""}}));
}

TEST(FloxmlReader, TextsAroundTheBudgetAreKeptOrDroppedWhole) {
  // The budget counts the decoded, trimmed text; white space of any kind at its ends is free.
  const std::string nbsp = "\xC2\xA0";
  const std::string pad = nbsp + "  " + nbsp + std::string(20000, ' ') + nbsp;
  const std::string doc = wrap("<name>" + pad + "ab\xFF" + pad + "</name>");
  EXPECT_EQ(inspect_doc(doc, 5), expect_json({{"name", "\"ab\xEF\xBF\xBD\""}}));
  EXPECT_EQ(inspect_doc(doc, 4), expect_json({{"truncated", "true"}}));
  const std::string inner = wrap("<name>a" + pad + "b</name>");
  const std::string both = "a" + pad + "b";
  EXPECT_EQ(inspect_doc(inner, both.size()), expect_json({{"name", "\"" + both + "\""}}));
  EXPECT_EQ(inspect_doc(inner, both.size() - 1), expect_json({{"truncated", "true"}}));
  // A run of white space longer than the budget is counted, not held, inside a text; before
  // it, it is skipped.
  const std::string run(20000, ' ');
  EXPECT_EQ(inspect_doc(wrap("<name>a" + run + "b</name>"), 100), expect_json({{"truncated", "true"}}));
  EXPECT_EQ(inspect_doc(wrap("<name>a" + run + nbsp + "</name>"), 1), expect_json({{"name", R"("a")"}}));
  EXPECT_EQ(inspect_doc(wrap("<name>" + nbsp + run + "b</name>"), 1), expect_json({{"name", R"("b")"}}));
}

TEST(FloxmlReader, LocalNameAndParseBool) {
  EXPECT_EQ(local_name("a:b:c"), "c");
  EXPECT_EQ(local_name("xml_case"), "xml_case");
  EXPECT_EQ(local_name("ns:"), "");
  EXPECT_EQ(local_name("\xFF:x\xFE"), "x\xEF\xBF\xBD");
  const std::pair<const char*, std::optional<bool>> bools[] = {
      {"1", true},    {"TRUE", true},   {"Yes", true},     {"oN", true},   {"0", false},
      {"false", false}, {"NO", false},  {"Off", false},    {"", std::nullopt}, {"2", std::nullopt},
      {" true", std::nullopt}, {"y", std::nullopt},
  };
  for (const auto& [text, want] : bools) EXPECT_EQ(parse_bool(text), want) << text;
}

TEST(FloxmlRootProbe, FirstElementDecides) {
  const std::pair<std::string, bool> cases[] = {
      {"<xml_case/>", true},
      {"<sm_xml_case>", true},
      {"<ns:xml_case a='1'>", true},
      {"<xml_case></broken>", true},
      {"<xml_case><<<<", true},
      {"\xEF\xBB\xBF<?xml version='1.0'?>\n<!-- c --><!DOCTYPE x>text &amp; more<![CDATA[z]]><?pi?><xml_case>", true},
      {"<project/>", false},
      {"<xml_cases/>", false},
      {"<XML_CASE/>", false},
      {"<project><xml_case/></project>", false},
      {"", false},
      {"<?xml version='1.0'?><!-- c -->", false},
      {"plain text", false},
      {"</xml_case>", false},
      {"a & b <xml_case/>", false},
      {"<!-- open <xml_case/>", false},
      {std::string(3000, 'p') + ":xml_case/>", false},
      {"<" + std::string(3000, 'p') + ":xml_case/>", true},
      {"<" + std::string(3000, 'p') + "xml_case/>", false},
      {"<" + std::string(3000, 'p') + ":" + std::string(3000, 'q') + ":sm_xml_case>", true},
  };
  for (const auto& [doc, want] : cases) {
    const std::string path = temp_file(doc);
    EXPECT_EQ(has_flotherm_root(path), want) << doc.substr(0, 80);
    std::remove(path.c_str());
  }
  EXPECT_FALSE(has_flotherm_root(testing::TempDir() + "no/such.xml"));
  EXPECT_FALSE(has_flotherm_root(testing::TempDir()));
  EXPECT_FALSE(has_flotherm_root(std::string("a\0b.xml", 7)));
}

TEST(RisingStack, KeepsEachValue) {
  const std::size_t values[] = {0, 1, 2, 129, 130, 20000, 20001, std::size_t{1} << 40, ~std::size_t{0}};
  RisingStack stack;
  EXPECT_TRUE(stack.empty());
  for (std::size_t v : values) {
    stack.push(v);
    EXPECT_EQ(stack.top(), v);
  }
  for (std::size_t i = std::size(values); i-- > 0;) {
    ASSERT_FALSE(stack.empty());
    EXPECT_EQ(stack.top(), values[i]);
    stack.pop();
  }
  EXPECT_TRUE(stack.empty());
}

TEST(FloxmlReader, DeeplyNestedEntitiesAreTracked) {
  // Every level an open entity: each named geometry element holds the next one.
  const int depth = 20000;
  std::string body = "<geometry>";
  for (int i = 0; i < depth; ++i) body += "<g><name>n</name><geometry>";
  for (int i = 0; i < depth; ++i) body += "</geometry></g>";
  body += "</geometry>";
  std::string want = "[";
  for (int i = 0; i < depth; ++i) want += std::string(i ? "," : "") + R"({"kind":"g","name":"n"})";
  want += "]";
  EXPECT_EQ(inspect_doc(wrap(body)),
            expect_json({{"geometry_type_counts", R"([{"name":"g","count":)" + std::to_string(depth) + "}]"},
                         {"geometry", want}}));
}
