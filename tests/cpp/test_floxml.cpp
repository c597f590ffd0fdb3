#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tolvanex/json.hpp"
#include "json_value.hpp"
#include "tolvanex/parsers/flotherm_floxml.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "support.hpp"

using namespace tolvanex;
using namespace tolvanex::parsers::flotherm;

namespace {

// The summary as exact JSON, or "ERROR " and the display text.
std::string inspect_doc(const std::string& doc, std::uint64_t budget = kDefaultByteBudget) {
  const tvx_test::TempDir dir;
  return tvx_test::outcome(inspect_flotherm_floxml(dir.write("case.xml", doc), budget));
}

// The summary of `<xml_case/>` with some keys replaced by the given JSON texts, as exact JSON.
std::string with(const std::map<std::string, std::string>& changes) {
  json::Json j = json::Json::parse(
      R"({"root":"xml_case","name":null,"solution":null,"dimensionality":null,"transient":null,)"
      R"("radiation":null,"turbulence_type":null,"gravity_direction":null,"ambient_temperature":null,)"
      R"("datum_pressure":null,"outer_iterations":null,"grid":[],"attribute_type_counts":[],)"
      R"("attributes":[],"geometry_type_counts":[],"geometry":[],"sources":[],"solution_domain":null,)"
      R"("truncated":false})");
  for (const auto& [key, value] : changes) {
    EXPECT_TRUE(j.contains(key)) << key;
    j[key] = json::Json::parse(value);
  }
  return j.dump();
}

std::string wrap(const std::string& body) { return "<xml_case>" + body + "</xml_case>"; }

const std::string kRoot = "ERROR expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <";
const std::string kNoRoot = "ERROR FloTHERM FloXML file did not contain a root element";
const std::string kIllFormed = "ERROR xml error: ill-formed document: ";

}  // namespace

TEST(FloxmlReader, SummariesAndErrors) {
  struct Case {
    std::string doc, want;
    std::uint64_t budget = kDefaultByteBudget;
  };
  const Case cases[] = {
      {"<xml_case/>", with({})}, {"<ns:xml_case></ns:xml_case>", with({})},
      {"<?xml version='1.0'?><!-- c --><sm_xml_case/>", with({{"root", R"("sm_xml_case")"}})},
      {wrap("<name>P</name><name>Q</name>"), with({{"name", R"("Q")"}})},
      {wrap("<name>A &amp; B</name>"), with({{"name", R"("B")"}})},  // a reference splits a text
      {wrap("<name><![CDATA[X]]></name>"), with({})},
      {wrap("<name>\xC2\xA0P q\xE3\x80\x80</name>"), with({{"name", R"("P q")"}})},
      {wrap("<name>a\xFF</name>"), with({{"name", "\"a\xEF\xBF\xBD\""}})},
      {wrap("<model><name>Q</name></model>"), with({})}, {"<xml_case/><name>P</name>", with({})},
      {wrap("<a><b><model><modeling><solution>s</solution></modeling></model></b></a>"),
       with({{"solution", R"("s")"}})},
      {wrap("<model><modeling><x><solution>s</solution></x></modeling></model>"), with({})},
      {wrap("<model><modeling><transient>YES</transient></modeling></model>"), with({{"transient", "true"}})},
      {wrap("<m:model><modeling><transient>on</transient><transient>2</transient></modeling></m:model>"), with({})},
      {wrap("<attributes><source_att><power>5</power></source_att></attributes>"),
       with({{"attribute_type_counts", R"([{"name":"source_att","count":1}])"}})},
      {wrap("<attributes><fluid_att><x><name>N</name></x><power>9</power></fluid_att></attributes>"),
       with({{"attribute_type_counts", R"([{"name":"fluid_att","count":1}])"}})},
      {wrap("<attributes><source_att><name>O</name><source_att><name>I</name><power>1</power>"
            "</source_att><power>2</power></source_att></attributes>"),
       with({{"attribute_type_counts", R"([{"name":"source_att","count":2}])"},
             {"attributes", R"([{"kind":"source_att","name":"I"},{"kind":"source_att","name":"O"}])"},
             {"sources", R"([{"name":"I","powers":["1"]},{"name":"O","powers":["2"]}])"}})},
      {wrap("<f:attributes><f:source_att><f:name>S</f:name></f:source_att></f:attributes>"),
       with({{"attribute_type_counts", R"([{"name":"source_att","count":1}])"},
             {"attributes", R"([{"kind":"source_att","name":"S"}])"}, {"sources", R"([{"name":"S","powers":[]}])"}})},
      {wrap("<geometry><odd_att><name>G</name><cuboid/></odd_att></geometry>"
            "<x><lone_att><name>L</name></lone_att></x>"),
       with({{"geometry_type_counts", R"([{"name":"odd_att","count":1}])"},
             {"geometry", R"([{"kind":"odd_att","name":"G"}])"}})},
      {"<xml_case><geometry><cuboid/><cuboid><name>C</name>",  // still open at the end: dropped
       with({{"geometry_type_counts", R"([{"name":"cuboid","count":2}])"}})},
      {wrap("<grid><z_grid><grid_type>max</grid_type></z_grid><x_grid><min_size>1</min_size></x_grid>"
            "<x_grid><max_size>2</max_size></x_grid><x_grid><y_grid><min_size>3</min_size></y_grid>"
            "<max_size>4</max_size></x_grid></grid><min_size>5</min_size>"),
       with({{"grid", R"([{"axis":"x_grid","grid_type":null,"min_size":"1","max_size":"4"},)"
                      R"({"axis":"y_grid","grid_type":null,"min_size":"3","max_size":null},)"
                      R"({"axis":"z_grid","grid_type":"max","min_size":null,"max_size":null}])"}})},
      {wrap("<solution_domain><fluid>Air</fluid><y_high_boundary>b1</y_high_boundary><x_low_ambient>a1</x_low_ambient>"
            "<y_high_ambient>a2</y_high_ambient><d><z_boundary>b2</z_boundary></d><_ambient>e</_ambient>"
            "</solution_domain><fluid>Water</fluid>"),
       with({{"solution_domain",
              R"({"fluid":"Air","boundaries":[{"face":"","kind":"ambient","value":"e"},)"
              R"({"face":"x_low","kind":"ambient","value":"a1"},{"face":"y_high","kind":"boundary","value":"b1"},)"
              R"({"face":"y_high","kind":"ambient","value":"a2"},{"face":"z","kind":"boundary","value":"b2"}]})"}})},
      {wrap("<solution_domain><fluid>Air</fluid></solution_domain><solution_domain/>"),
       with({{"solution_domain", R"({"fluid":null,"boundaries":[]})"}})},
      {wrap("<attributes><b_att><name>z</name></b_att><a_att><name>y</name></a_att><b_att><name>a</name></b_att>"
            "<a_att><name>\xC3\xA9</name></a_att><a_att><name>Z</name></a_att></attributes>"),
       with({{"attribute_type_counts", R"([{"name":"a_att","count":3},{"name":"b_att","count":2}])"},
             {"attributes", "[{\"kind\":\"a_att\",\"name\":\"Z\"},{\"kind\":\"a_att\",\"name\":\"y\"},"
                            "{\"kind\":\"a_att\",\"name\":\"\xC3\xA9\"},{\"kind\":\"b_att\",\"name\":\"a\"},"
                            "{\"kind\":\"b_att\",\"name\":\"z\"}]"}})},
      {"<?xml version='1.0'?><!DOCTYPE xml_case [<!ENTITY e 'v'>]><xml_case name='A' k=\"x>y\">"
       "<!-- <name>C</name> --><name a='1' a='<name>'>N<?pi <name>?></name>"
       "<attributes><x_att name='n'><![CDATA[<name>D</name>]]></x_att></attributes></xml_case>",
       with({{"name", R"("N")"}, {"attribute_type_counts", R"([{"name":"x_att","count":1}])"}})},
      {wrap("<geometry><g><attributes><a_att><geometry><h><name>H</name></h></geometry><name>A</name>"
            "</a_att></attributes><name>G</name></g></geometry>"),
       with({{"attribute_type_counts", R"([{"name":"a_att","count":1}])"},
             {"attributes", R"([{"kind":"a_att","name":"A"}])"},
             {"geometry_type_counts", R"([{"name":"g","count":1},{"name":"h","count":1}])"},
             {"geometry", R"([{"kind":"g","name":"G"},{"kind":"h","name":"H"}])"}})},
      {wrap("<attributes><source_att><fluid_att><name>F</name><power>1</power></fluid_att>"
            "<name>S</name><power>2</power></source_att></attributes>"),
       with({{"attribute_type_counts", R"([{"name":"fluid_att","count":1},{"name":"source_att","count":1}])"},
             {"attributes", R"([{"kind":"fluid_att","name":"F"},{"kind":"source_att","name":"S"}])"},
             {"sources", R"([{"name":"S","powers":["1","2"]}])"}})},
      // The budget: a longer text is dropped, a later shorter one fits, exactly the remaining
      // size fits, a replaced byte counts three, an irrelevant text costs nothing.
      {wrap("<name>abcd</name><name>ab</name>"), with({{"name", R"("ab")"}, {"truncated", "true"}}), 3},
      {wrap("<model><name>long irrelevant text</name></model><name>abc</name>"), with({{"name", R"("abc")"}}), 3},
      {wrap("<name>\xFF</name>"), with({{"truncated", "true"}}), 2},
      {wrap("<name>ab</name><attributes><source_att><name>S</name><power>1</power></source_att></attributes>"),
       with({{"name", R"("ab")"}, {"attribute_type_counts", R"([{"name":"source_att","count":1}])"},
             {"attributes", R"([{"kind":"source_att","name":"S"}])"}, {"sources", R"([{"name":"S","powers":[]}])"},
             {"truncated", "true"}}), 3},
      {wrap("<geometry><cuboid><name>C</name></cuboid></geometry>"),
       with({{"geometry_type_counts", R"([{"name":"cuboid","count":1}])"}, {"truncated", "true"}}), 0},
      {wrap("<name>" + std::string(20000, 'n') + "</name>"), with({{"name", "\"" + std::string(20000, 'n') + "\""}})},
      // Errors: the root is checked first, then the XML as far as it is read.
      {"<project/>", kRoot + "project>"}, {"<a:project><xml_case/></a:project>", kRoot + "project>"},
      {"<XML_CASE/>", kRoot + "XML_CASE>"}, {"<\xFF/>", kRoot + "\xEF\xBF\xBD>"},
      {"<project></other>", kRoot + "project>"}, {"", kNoRoot},
      {"<?xml version='1.0'?>\n<!-- only comments -->\n", kNoRoot}, {"stray text", kNoRoot},
      {"<xml_case><name>a</nome></xml_case>", kIllFormed + "expected `</name>`, but `</nome>` was found"},
      {"<xml_case><name>a & b</name>",
       kIllFormed + "entity or character reference not closed: `;` not found before end of input"},
      {"<xml_case><!-- open", "ERROR xml error: syntax error: comment not closed: `-->` not found before end of input"},
      {"<xml_case><geometry", "ERROR xml error: syntax error: tag not closed: `>` not found before end of input"},
      {"<xml_case/></xml_case>", kIllFormed + "close tag `</xml_case>` does not match any open tag"},
  };
  for (const Case& c : cases) EXPECT_EQ(inspect_doc(c.doc, c.budget), c.want) << c.doc.substr(0, 100);
  const tvx_test::TempDir dir;
  EXPECT_EQ(tvx_test::outcome(inspect_flotherm_floxml(dir.str("no/such.xml"), 10)),
            "ERROR io error: No such file or directory (os error 2)");
  EXPECT_EQ(tvx_test::outcome(inspect_flotherm_floxml(dir.str(), 10)), "ERROR xml error: I/O error: Is a directory (os error 21)");
}

TEST(FloxmlReader, TextsAroundTheBudgetAreKeptOrDroppedWhole) {
  // The budget counts the decoded, trimmed text; white space of any kind at its ends is free,
  // and a run inside it longer than the budget is counted, not held.
  const std::string nbsp = "\xC2\xA0", run(20000, ' '), pad = nbsp + "  " + nbsp + run + nbsp, both = "a" + pad + "b";
  const std::tuple<std::string, std::uint64_t, std::string> cases[] = {
      {pad + "ab\xFF" + pad, 5, with({{"name", "\"ab\xEF\xBF\xBD\""}})},
      {pad + "ab\xFF" + pad, 4, with({{"truncated", "true"}})},
      {both, both.size(), with({{"name", "\"" + both + "\""}})},
      {both, both.size() - 1, with({{"truncated", "true"}})},
      {"a" + run + "b", 100, with({{"truncated", "true"}})},
      {"a" + run + nbsp, 1, with({{"name", R"("a")"}})},
      {nbsp + run + "b", 1, with({{"name", R"("b")"}})},
  };
  for (const auto& [text, budget, want] : cases) {
    EXPECT_EQ(inspect_doc(wrap("<name>" + text + "</name>"), budget), want);
  }
}

TEST(FloxmlReader, LocalNameAndParseBool) {
  EXPECT_EQ(local_name("a:b:c") + "|" + local_name("ns:") + "|" + local_name("\xFF:x\xFE"), "c||x\xEF\xBF\xBD");
  const std::pair<const char*, std::optional<bool>> bools[] = {
      {"1", true},    {"TRUE", true},  {"Yes", true}, {"oN", true},           {"0", false},            {"false", false},
      {"NO", false},  {"Off", false},  {"", {}},      {"2", {}},              {" true", {}},           {"y", {}},
  };
  for (const auto& [text, want] : bools) EXPECT_EQ(parse_bool(text), want) << text;
}

TEST(FloxmlRootProbe, FirstElementDecides) {
  const std::string p(3000, 'p');
  const std::pair<std::string, bool> cases[] = {
      {"<xml_case/>", true}, {"<sm_xml_case>", true}, {"<ns:xml_case a='1'>", true}, {"<xml_case></broken>", true},
      {"<xml_case><<<<", true},
      {"\xEF\xBB\xBF<?xml version='1.0'?>\n<!-- c --><!DOCTYPE x>text &amp; more<![CDATA[z]]><?pi?><xml_case>", true},
      {"<project/>", false}, {"<xml_cases/>", false}, {"<XML_CASE/>", false}, {"<project><xml_case/></project>", false},
      {"", false}, {"<?xml version='1.0'?><!-- c -->", false}, {"plain text", false}, {"</xml_case>", false},
      {"a & b <xml_case/>", false}, {"<!-- open <xml_case/>", false}, {p + ":xml_case/>", false},
      // Of a long name the tail is kept, and with it the local part when a ":" is in it.
      {"<" + p + ":xml_case/>", true}, {"<" + p + "xml_case/>", false}, {"<" + p + ":" + p + ":sm_xml_case>", true},
  };
  const tvx_test::TempDir dir;
  for (const auto& [doc, want] : cases) EXPECT_EQ(has_flotherm_root(dir.write("case.xml", doc)), want) << doc.substr(0, 80);
  for (const std::string& path : {dir.str("no/such.xml"), dir.str(), std::string("a\0b.xml", 7)}) {
    EXPECT_FALSE(has_flotherm_root(path));
  }
}

TEST(RisingStack, KeepsEachValue) {
  const std::size_t values[] = {0, 1, 2, 129, 130, 20000, 20001, std::size_t{1} << 40, ~std::size_t{0}};
  RisingStack stack;
  for (std::size_t v : values) stack.push(v);
  for (std::size_t i = std::size(values); i-- > 0;) {
    ASSERT_FALSE(stack.empty());
    EXPECT_EQ(stack.top(), values[i]);
    stack.pop();
  }
  EXPECT_TRUE(stack.empty());
}

TEST(FloxmlReader, DeeplyNestedEntitiesAreTracked) {
  // Every level an open entity: each named geometry element holds the next one, and a setting
  // at the bottom is found through all the levels above it.
  const int depth = 20000;
  std::string body = "<geometry>", want = "[";
  for (int i = 0; i < depth; ++i) body += "<g><name>n</name><geometry>";
  body.insert(body.size() - 10, "<model><global><datum_pressure>1</datum_pressure></global></model>");
  for (int i = 0; i < depth; ++i) body += "</geometry></g>";
  for (int i = 0; i < depth; ++i) want += std::string(i ? "," : "") + R"({"kind":"g","name":"n"})";
  const std::string count = R"([{"name":"g","count":)" + std::to_string(depth) + "}]";
  EXPECT_TRUE(inspect_doc(wrap(body + "</geometry>")) ==
              with({{"datum_pressure", R"("1")"}, {"geometry_type_counts", count}, {"geometry", want + "]"}}));
}
