#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tolvanex/json.hpp"
#include "json_value.hpp"
#include "tolvanex/parsers/comsol.hpp"
#include "json_oracle.hpp"

using namespace tolvanex;
using namespace tolvanex::parsers::comsol;

namespace {

// Hands out a text in reads of at most `step` bytes; then fails, if asked to.
class TextSource final : public ByteSource {
 public:
  TextSource(std::string_view text, std::size_t step, bool fail = false) : text_(text), step_(step), fail_(fail) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    if (pos_ == text_.size() && fail_) return TolvanexError::io("corrupt deflate stream");
    const std::size_t n = std::min({size, step_, text_.size() - pos_});
    std::copy_n(text_.data() + pos_, n, buffer);
    pos_ += n;
    return n;
  }

 private:
  std::string_view text_;
  std::size_t step_, pos_ = 0;
  bool fail_;
};

std::string tags_json(const TreeInfo& t) {
  json::Json j = json::Json::array();
  for (const auto& list : t.tags) j.push_back(list);
  return j.dump();
}

// The serialised model's tags as [[physics],[study],[material]], or "error:" and the text.
std::string smodel(std::string_view text, std::size_t step = 1 << 20) {
  TextSource src(text, step);
  TreeInfo tree;
  Status st = read_smodel(src, tree);
  return st ? tags_json(tree) : "error:" + st.error().display();
}

std::string dmodel(std::string_view text) {
  TextSource src(text, 7);
  TreeInfo tree;
  Status st = read_dmodel(src, tree);
  if (!st) return "error:" + st.error().display();
  std::string params = "[";
  for (const NamedValue& p : tree.parameters) params += (params.size() > 1 ? "," : "") + json::write(p);
  return params + "]" + tags_json(tree);
}

// [title, description, comsol_version, node_type, is_runnable].
std::string modelinfo(std::string_view text) {
  TextSource src(text, 7);
  ModelInfo info;
  Status st = read_modelinfo(src, info);
  if (!st) return "error:" + st.error().display();
  if (std::any_of(info.unread.begin(), info.unread.end(), [](const auto& r) { return r.has_value(); })) {
    TextSource again(text, 5);
    if (Status re = read_unread(again, info); !re) return "error:" + re.error().display();
  }
  json::Json out = json::Json::array();
  for (const auto* field : {&info.title, &info.description, &info.comsol_version, &info.node_type}) {
    out.push_back(*field ? json::Json(**field) : json::Json());
  }
  out.push_back(info.is_runnable ? json::Json(*info.is_runnable) : json::Json());
  return out.dump();
}

const std::string kSyntax = "error:json error: syntax error while parsing ";

std::string nest(std::size_t depth, const std::string& inner = "0") {
  std::string s;
  for (std::size_t i = 0; i < depth; ++i) s += i % 2 ? "{\"k\":" : "[";
  s += inner;
  for (std::size_t i = depth; i-- > 0;) s += i % 2 ? "}" : "]";
  return s;
}

}  // namespace

TEST(Comsol, TrimmedSegments) {
  // Colon mode gives [schema, saved_in] (null: absent); lines mode the licence lines.
  using Mode = TrimmedSegments::Mode;
  const std::tuple<Mode, std::string, const char*> cases[] = {
      {Mode::FirstColon, "12: 3.4", R"(["12","3.4"])"}, {Mode::FirstColon, "a:b:c", R"(["a","b:c"])"},
      {Mode::FirstColon, ":", R"(["",""])"},            {Mode::FirstColon, "abc", R"([null,"abc"])"},
      {Mode::FirstColon, " \t\r\n ", "[null,null]"},    {Mode::FirstColon, "", "[null,null]"},
      {Mode::FirstColon, " a b : c  d ", R"(["a b","c  d"])"},
      {Mode::FirstColon, "\xE2\x80\x83 5.6 \xC2\xA0: COMSOL 6.1\n", R"(["5.6","COMSOL 6.1"])"},
      {Mode::FirstColon, "\xEF\xBB\xBF" "1:2", "[\"\xEF\xBB\xBF" "1\",\"2\"]"},  // a byte-order mark is text
      {Mode::Lines, "A\r\n\r\n B \nA", R"(["A","B","A"])"}, {Mode::Lines, "x\ry\n", "[\"x\\ry\"]"},
      {Mode::Lines, "\n\n  \n", "[]"},
      {Mode::Lines, "\xE2\x80\xA8lic\xE2\x80\xA8\n", R"(["lic"])"},  // U+2028 is no line end
  };
  const auto opt = [](const std::optional<std::string>& s) { return s ? json::Json(*s) : json::Json(); };
  for (std::size_t step : {1, 2, 64}) {
    for (const auto& [mode, text, want] : cases) {
      TrimmedSegments seg(mode);
      for (std::size_t i = 0; i < text.size(); i += step) seg.feed(std::string_view(text).substr(i, step));
      seg.finish();
      if (mode == Mode::Lines) {
        EXPECT_EQ(json::Json(seg.take_texts()).dump(), want) << text;
        continue;
      }
      const FileVersion v = file_version_from(seg.split(), seg.take_texts());
      EXPECT_EQ(json::Json::array({opt(v.schema), opt(v.saved_in)}).dump(), want) << text;
    }
  }
}

TEST(Comsol, LongWhiteSpaceRunsAreTakenFromASecondRead) {
  // A run of white space past the holding limit: texts are given up and rebuilt from ranges.
  const std::string run(TrimmedSegments::kPendingLimit + 10, ' ');
  using Mode = TrimmedSegments::Mode;
  for (const auto& [mode, text, want] :
       {std::tuple{Mode::Lines, " one" + run + "two" + run + "\nthree\n" + run, "one" + run + "two|three|"},
        std::tuple{Mode::FirstColon, "1.0:a" + run + run, std::string("1.0|a|")}}) {
    TrimmedSegments seg(mode);
    for (std::size_t i = 0; i < text.size(); i += 1000) seg.feed(std::string_view(text).substr(i, 1000));
    seg.finish();
    ASSERT_TRUE(seg.needs_extract());
    TextSource again(text, 777);
    ASSERT_TRUE(seg.extract(again));
    std::string got;
    for (const std::string& t : seg.take_texts()) got += t + "|";
    EXPECT_EQ(got, want);
  }
}

TEST(Comsol, ModelInformation) {
  // Mixed white space past the holding limit: dropped when it trails, taken again when inside.
  std::string run;
  while (run.size() <= TrimmedSegments::kPendingLimit) run += " \t\xE3\x80\x80\n";
  const std::pair<std::string, std::string> cases[] = {
      {"<title>a" + run + "</title><description>" + run + "</description>", R"(["a",null,null,null,null])"},
      {"<title>a" + run + "b" + run + "</title><version>" + run + "</version>",
       json::Json::array({"a" + run + "b", nullptr, nullptr, nullptr, nullptr}).dump()},
      {"<nodetype>\xE3\x80\x80n" + run + "\xFFm</nodetype><title>T" + run + "x</title><nodetype>o</nodetype>",
       json::Json::array({"T" + run + "x", nullptr, nullptr, "o", nullptr}).dump()},
      {"<r><title>t" + run + "u</title><title>v</title></r>", R"(["v",null,null,null,null])"},
      {"<runnable>1" + run + "1</runnable>", "[null,null,null,null,null]"},
      {"<info><title>  Beam  </title></info>", R"(["Beam",null,null,null,null])"},
      {R"(<info title=" Beam "/>)", R"([" Beam ",null,null,null,null])"},
      {R"(<a title="A"/><title>B</title>)", R"(["B",null,null,null,null])"},
      {R"(<title>B</title><a title="A"/>)", R"(["A",null,null,null,null])"},
      {"<title>A &amp; B</title>", R"(["B",null,null,null,null])"},
      {"<title>A<![CDATA[zz]]></title>", R"(["A",null,null,null,null])"},
      {"<r><title>T</title>tail</r>", R"(["tail",null,null,null,null])"},
      {"<Version>5</Version><x/>", R"([null,null,"5",null,null])"},
      {"<ComsolVersion>6.2</ComsolVersion>", R"([null,null,"6.2",null,null])"},
      {"<cs:title>x</cs:title>", "[null,null,null,null,null]"},
      {R"(<m DESCRIPTION="d" NodeType="" isRunnable="YES"/>)", R"([null,"d",null,"",true])"},
      {"<runnable>1</runnable><runnable>No</runnable>", "[null,null,null,null,false]"},
      {R"(<m runnable="True"/><m runnable="0"/><m runnable="FALSE"/>)", "[null,null,null,null,false]"},
      {R"(<m runnable="on"/>)", "[null,null,null,null,null]"},
      {R"(<m runnable="1"/><m runnable=" true"/>)", "[null,null,null,null,null]"},
      {R"(<m runnable="1"/><m runnable=""/>)", "[null,null,null,null,null]"},
      {R"(<m runnable="yes"/><m runnable="maybe"/>)", "[null,null,null,null,null]"},
      {R"(<m title="a&lt;b"/>)", R"(["a&lt;b",null,null,null,null])"},
      {R"(<m title="1" title="2"/>)", R"(["1",null,null,null,null])"},
      {R"(<m TITLE="1" title="2"/>)", R"(["2",null,null,null,null])"},
      {"<!DOCTYPE m><?pi <title>P</title>?><!-- <title>C</title> --><m/>", "[null,null,null,null,null]"},
      {"\xEF\xBB\xBF<title>x</title>", R"(["x",null,null,null,null])"},
      {"<title>open", R"(["open",null,null,null,null])"},
      {R"(<m title="open/>)", "error:xml error: syntax error: tag not closed: `>` not found before end of input"},
      {"<a></b>", "error:xml error: ill-formed document: expected `</a>`, but `</b>` was found"},
      {"<t>A & B</t>", "error:xml error: ill-formed document: entity or character reference not closed: `;` not "
                       "found before end of input"},
  };
  for (const auto& [doc, want] : cases) EXPECT_EQ(modelinfo(doc), want) << doc;
}

TEST(Comsol, ModelTree) {
  const std::pair<std::string, std::string> cases[] = {
      {R"(<p param="L" value="2[m]"/><p param="L" value="3[m]" reference="r"/>)",
       R"([{"name":"L","value":"2[m]","reference":null},{"name":"L","value":"3[m]","reference":"r"}][[],[],[]])"},
      {R"(<x param="a" param="b"/>)", R"([{"name":"a","value":null,"reference":null}][[],[],[]])"},
      {R"(<x param="k" value="a&lt;b"/>)", R"([{"name":"k","value":"a&lt;b","reference":null}][[],[],[]])"},
      {R"(<Physics tag="ht"/><physics tag="ht"><physics tag="b"/></physics>)", R"([][["b","ht"],[],[]])"},
      {R"(<physicsfeature tag="x"/><physics Tag="y"/><physics tag=""/>)", R"([][[""],[],[]])"},
      {R"(<Study tag="s2"/><STUDY tag="s1" param="p"/><material tag="m"/><cs:material tag="z"/>)",
       R"([{"name":"p","value":null,"reference":null}][[],["s1","s2"],["m"]])"},
      {"<physics tag='q'>text &amp; more</physics>", R"([][["q"],[],[]])"},
      {R"(<x param="p"value="v" tag="t"/><physics tag="t/" />)",
       R"([{"name":"p","value":"v","reference":null}][["t/"],[],[]])"},
      {R"(<x param="p" value="v/>)", "error:xml error: syntax error: tag not closed: `>` not found before end of "
                                     "input"},
      {"<!DOCTYPE r [<!ENTITY e 'v'>]><?pi <x param='a'/>?><r><!-- <x param='b'/> -->"
       "<![CDATA[<x param='c'/>]]><x param='d'/></r>",
       R"([{"name":"d","value":null,"reference":null}][[],[],[]])"},
      {"<a></b>", "error:xml error: ill-formed document: expected `</a>`, but `</b>` was found"},
      {"</a>", "error:xml error: ill-formed document: close tag `</a>` does not match any open tag"},
  };
  for (const auto& [doc, want] : cases) EXPECT_EQ(dmodel(doc), want) << doc;
}

TEST(Comsol, SerialisedModelTags) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"tag":"std1","apiClass":"Study"})", R"([[],["std1"],[]])"},
      {R"({"tag":"mat1","type":"Material"})", R"([[],[],["mat1"]])"},
      {R"({"tag":"p","apiClass":5,"type":"physics"})", "[[],[],[]]"},
      {R"({"tag":5,"apiClass":"physics"})", "[[],[],[]]"},
      {R"({"tag":"p","apiClass":"physics","apiClass":null})", "[[],[],[]]"},  // the last value counts
      {R"({"tag":"a","tag":"b","type":"PHYSICS"})", R"([["b"],[],[]])"},
      {R"({"tag":"a","tag":[],"type":"physics"})", "[[],[],[]]"}, {R"({"Tag":"a","type":"physics"})", "[[],[],[]]"},
      {R"({"apiClass":"Physics","x":[{"tag":"in","type":"study"}],"tag":"out"})", R"([["out"],["in"],[]])"},
      {R"([[[{"a":{"tag":"deep","apiClass":"\u004daterial"}}]]])", R"([[],[],["deep"]])"},
      {R"({"\u0074ag":"esc","type":"study"})", R"([[],["esc"],[]])"},
      {R"([{"tag":"b","type":"physics"},{"tag":"a","type":"physics"},{"tag":"b","type":"physics"}])",
       R"([["a","b"],[],[]])"},
      {" \t\r\n{}\n ", "[[],[],[]]"}, {"[1.5e308, -1e-400, 123456789012345678901234567890]", "[[],[],[]]"},
      {nest(127), "[[],[],[]]"}, {nest(126, R"({"tag":"t","type":"study"})"), R"([[],["t"],[]])"},
      {"{\"tag\":\"" + std::string(10000, 'x') + "\",\"type\":\"study\"}",
       "[[],[\"" + std::string(10000, 'x') + "\"],[]]"},
  };
  for (const auto& [doc, want] : cases) {
    for (std::size_t step : {1, 100, 1 << 20}) EXPECT_EQ(smodel(doc, step), want) << doc.substr(0, 80);
  }
}

TEST(Comsol, SerialisedModelErrors) {
  const std::string deep = nest(127, R"({"tag":"t","type":"study"})");
  const std::pair<std::string, std::string> cases[] = {
      {"", "value - unexpected end of input; expected '[', '{', or a literal at line 1 column 1"},
      {"  \n ", "value - unexpected end of input; expected '[', '{', or a literal at line 2 column 2"},
      {"\xEF\xBB\xBF{}", "value - invalid literal at line 1 column 1"},
      {"{} x", "value - invalid literal; expected end of input at line 1 column 4"},
      {"{}{}", "value - unexpected '{'; expected end of input at line 1 column 3"},
      {"[1,]", "value - unexpected ']'; expected '[', '{', or a literal at line 1 column 4"},
      {"{\"a\":1,}", "object key - unexpected '}'; expected string literal at line 1 column 8"},
      {"{\"a\":1 \"b\"}", "object - unexpected string literal; expected '}' at line 1 column 10"},
      {"/*c*/1", "value - invalid literal at line 1 column 1"},
      {"\"a\nb\"", "value - invalid string: control character U+000A (LF) must be escaped to \\u000A or \\n at "
                   "line 1 column 3"},
      {"[\"\\uD800\"]", "value - invalid string: surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF at "
                        "line 1 column 9"},
      {"1.e5", "value - invalid number; expected digit after '.' at line 1 column 3"},
      {"{\"a\" 1}", "object separator - unexpected number literal; expected ':' at line 1 column 6"},
      {std::string(127, '['), "value - unexpected end of input; expected '[', '{', or a literal at line 1 column 128"},
      {"\n  " + std::string(200, '{'), "object key - unexpected '{'; expected string literal at line 2 column 4"},
  };
  for (const auto& [doc, want] : cases) {
    for (std::size_t step : {1, 1 << 20}) EXPECT_EQ(smodel(doc, step), kSyntax + want);
  }
  const std::pair<std::string, std::string> others[] = {
      {"[1e400]", "number overflow at line 1 column 6"},
      {"[\n-1e999\n]", "number overflow at line 2 column 6"},
      {deep, "recursion limit exceeded at line 1 column " + std::to_string(deep.find("{\"tag\"") + 1)},
      {std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
      {"[\n" + std::string(127, '['), "recursion limit exceeded at line 2 column 127"},
  };
  for (const auto& [doc, want] : others) EXPECT_EQ(smodel(doc, 1), "error:json error: " + want);
}

TEST(Comsol, AnythingButWhiteSpaceAfterTheValueFails) {
  // Tags long enough to put the byte after the value on either side of the feed's batch and
  // chunk boundaries.
  for (std::size_t tag : {1, 4062, 4063, 65501, 65502}) {
    const std::string value = R"({"tag":")" + std::string(tag, 't') + R"(","type":"physics"})";
    for (const std::string gap : {"", " ", "\n\t"}) {
      const std::pair<char, const char*> bytes[] = {
          {'\0', "invalid literal"}, {'\x01', "invalid literal"}, {'\x7F', "invalid literal"},
          {'\xFF', "invalid literal"}, {'x', "invalid literal"}, {'}', "unexpected '}'"}};
      for (const auto& [byte, message] : bytes) {
        const std::string doc = value + gap + byte + " this is not JSON [[[";
        const std::size_t at = value.size() + gap.size();
        const std::size_t nl = doc.rfind('\n', at);
        const std::string want = std::string("error:json error: syntax error while parsing value - ") + message +
                                 "; expected end of input at line " + (nl == std::string::npos ? "1" : "2") +
                                 " column " + std::to_string(nl == std::string::npos ? at + 1 : at - nl);
        for (std::size_t step : {1, 3, 4096, 1 << 20}) EXPECT_EQ(smodel(doc, step), want) << tag << gap << step;
      }
    }
  }
  // A NUL byte elsewhere between tokens is no end of input either.
  const std::pair<std::string, std::string> cases[] = {
      {std::string("\0", 1), "value - invalid literal at line 1 column 1"},
      {std::string("[1,\0]", 5), "value - invalid literal at line 1 column 4"},
      {std::string("[1\0]", 4), "array - invalid literal; expected ']' at line 1 column 3"},
      {std::string("{\"a\"\0:1}", 8), "object separator - invalid literal; expected ':' at line 1 column 5"},
      {std::string("[\"\0\"]", 4), "value - invalid string: control character U+0000 (NUL) must be escaped to "
                                   "\\u0000 at line 1 column 3"},
  };
  for (const auto& [doc, want] : cases) {
    for (std::size_t step : {1, 1 << 20}) EXPECT_EQ(smodel(doc, step), kSyntax + want);
  }
}

namespace {

std::string oracle(const std::string& doc) {
  // Where the parser stood after p bytes: that byte, or the end of the text.
  auto at = [&](std::size_t p) {
    const std::size_t index = p == 0 ? 0 : std::min(p, doc.size() + 1) - 1;
    const std::size_t line = 1 + std::count(doc.begin(), doc.begin() + std::min(index, doc.size()), '\n');
    const std::size_t nl = index == 0 ? std::string::npos : doc.rfind('\n', index - 1);
    const std::size_t column = nl == std::string::npos ? index + 1 : index - nl;
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
  };
  tvx_test::JsonOracle o;
  nlohmann::json::sax_parse(doc, &o);
  if (o.fail_at == SIZE_MAX) {
    // The bracket that trips the limit is the 128th one open (the text is well-formed up to
    // there, so brackets inside strings are easy to pass over).
    int depth = 0;
    bool in_string = false, escaped = false;
    for (std::size_t i = 0; i < doc.size(); ++i) {
      const char c = doc[i];
      if (in_string) {
        in_string = escaped || c != '"';
        escaped = !escaped && c == '\\';
      } else if (c == '"') {
        in_string = true;
      } else if ((c == '[' || c == '{') && ++depth == 128) {
        return "error:json error: " + o.message + at(i + 1);
      } else if (c == ']' || c == '}') {
        --depth;
      }
    }
  }
  if (o.fail_at) return "error:json error: " + o.message + at(*o.fail_at);
  TreeInfo t;
  tvx_test::walk_tags(nlohmann::json::parse(doc), t);
  t.sort_tags();
  return tags_json(t);
}

}  // namespace

// Texts with strings and numbers past the feed's limits, and random texts, well-formed or
// nearly so: the feed changes nothing that nlohmann would see in the whole text.
TEST(Comsol, FeedMatchesWholeTextParse) {
  const std::string big(10000, 'x'), digits(9000, '7'), zeros(9000, '0');
  std::vector<std::string> docs = {
      "[\"" + big + "\", 1e400]", "[\"" + big + "\u00e9\\n\\u00e9\\ud83d\\ude00" + big + "\"] x",
      "[\"" + big + "\\uD800\"]", "[\"" + big + "\\q" + big + "\"]", "[\"" + big + "\x01\"]",
      "[\"" + big + "\\u12G4\"]", "{\"" + big + "\":1,\"tag\":\"" + big + "\",\"type\":\"physics\"}",
      "{\"tag\" : \"" + big + "\", \"type\":\"" + big + "\"}",
      "[\"" + big, "[" + digits + "]", "[-" + digits + "e-9000]", "[-" + digits + "e-8692]", "[" + digits + "e-8691]",
      "[0." + zeros + "1e9310]", "[0." + zeros + "1e9309]", "[0." + zeros + "1E+9309]", "[1." + digits + "e308]",
      "[2." + digits + "e308]", "[" + digits + "." + digits + "e-8000 ]", "[" + digits + ".]", "[" + digits + ".5e]",
      "[" + digits + "e+]", "[-0." + digits + "x]", "[" + digits + "\n, 1e400]",
      "{\"a\":[" + digits + "], \"tag\":\"t\", \"apiClass\":\"Study\"}",
  };
  const std::string long_string = "\"" + std::string(5000, 'q') + "\"";
  const std::vector<std::string> vocab = {
      "[", "]", "{", "}", ",", ":", " ", "\n", "\t ", "true", "false", "null", "tru", "nul", ".", "e", "0", "-",
      "12", "-0.5e-3", "1e400", "01", "1.", "9" + std::string(5000, '9'), "0." + std::string(5000, '0') + "1",
      "\"tag\"", "\"type\"", "\"apiClass\"", "\"physics\"", "\"Study\"", "\"MATERIAL\"", "\"x\"", "\"t\\u0061g\"",
      long_string, "\"" + std::string(5000, 'w') + "\\u00e9\\n\\ud83d\\ude00" + std::string(100, 'w') + "\"",
      "\"" + std::string(4500, 'b') + "\\x\"", "\"" + std::string(4500, 'b') + "\x01\"", "\"\xC3\xA9\"",
      "\"" + std::string(4500, 'b') + "\\uDC00\"", "[]", "{}", "[ ]", "{ \n }", "[].5", "truee", "null1",
      std::string(130, '['), std::string(130, ']'), "1e" + std::string(5000, '0') + "5",
      "-" + std::string(5000, '3') + "e-4990", "0.5E+" + std::string(5000, '0') + "400", "\r\n",
      "\"tag\":" + long_string, "-" + std::string(5000, '3') + ".",
  };
  // Well-formed skeletons to mutate.
  const std::vector<std::string> bases = {
      R"({"tag":"p1","apiClass":"Physics","f":[{"tag":"s","type":"study"},[],{},true,null]})",
      "[" + long_string + ",{\"tag\":" + long_string + ",\"type\":\"material\"},[[],[[]]],false]",
      "{\"a\":[" + std::string(60, '[') + std::string(60, ']') + "],\"tag\":\"d\",\"type\":\"physics\"}",
  };
  std::mt19937 rng(7);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  for (int round = 0; round < 4000; ++round) {
    std::string doc;
    if (round % 2 == 0) {
      for (std::size_t i = 0, n = 1 + pick(12); i < n; ++i) doc += vocab[pick(vocab.size())];
    } else {
      doc = bases[pick(bases.size())];
      // Splice a token in, or cut a piece out, at a random place (or none).
      const std::size_t at = pick(doc.size() + 1);
      switch (pick(3)) {
        case 0: doc.insert(at, vocab[pick(vocab.size())]); break;
        case 1: doc.erase(at, pick(4)); break;
        default: break;
      }
    }
    // nlohmann skips a byte-order mark, the member reader does not.
    if (doc.empty() || static_cast<unsigned char>(doc[0]) != 0xEF) docs.push_back(doc);
  }
  for (const std::string& doc : docs) ASSERT_EQ(smodel(doc, 1 + pick(5000)), oracle(doc)) << doc.substr(0, 200);
}

namespace {

// a + b, for texts of decimal digits.
std::string add_decimal(const std::string& a, const std::string& b) {
  std::string sum;
  int carry = 0;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()) || carry; ++i) {
    const auto digit = [&](const std::string& s) { return i < s.size() ? s[s.size() - 1 - i] - '0' : 0; };
    const int d = carry + digit(a) + digit(b);
    sum.insert(sum.begin(), static_cast<char>('0' + d % 10));
    carry = d / 10;
  }
  return sum;
}

std::string fixed(double v) {
  char digits[400];
  return std::string(digits, std::to_chars(digits, digits + sizeof digits, v, std::chars_format::fixed).ptr);
}

}  // namespace

// Every error message of the reading, and numbers at the edge of a double's range, each as
// nlohmann's parse of the whole text reads it.
TEST(Comsol, ErrorWordsAndNumberRangeMatchWholeTextParse) {
  std::vector<std::string> docs;
  for (int c = 1; c < 0x20; ++c) docs.push_back("[\"ab" + std::string(1, static_cast<char>(c)) + "\"]");
  for (const char* s : {"\\x", "\\", "\\u12", "\\u12x4", "\\uDC00", "\\uD800", "\\uD800x", "\\uD800\\x", "\\uD800\\u00",
                        "\\uD800\\u0041", "\\uD800\\uDBFF", "\\uDBFF\\uDFFF", "\\u0000", "\x80", "\xC0\x80", "\xC2",
                        "\xC2\x7F", "\xE0\x9F\x80", "\xED\xA0\x80", "\xEF\xBF", "\xF0\x8F\x80\x80", "\xF4\x90\x80\x80",
                        "\xF5", "\xFF", "\xF0\x9F\x98\x80", "\x7F"})
    docs.push_back(std::string("{\"tag\":\"a") + s + "\",\"type\":\"Study\"}");
  for (const char* s :
       {"-", "-x", "-.5", "1.", "1.x", "1e", "1ex", "1e+", "1E-x", "1]", "t", "tx", "nul", "fals", "nulL", "+1"})
    docs.push_back(std::string("{\"a\":[1,") + s);
  // The largest finite double, and the boundary above it at which rounding gives infinity.
  const std::string largest = fixed(std::numeric_limits<double>::max());
  const std::string boundary = add_decimal(largest, fixed(std::ldexp(1.0, 970)));
  const std::string below = boundary.substr(0, 308) + "1";
  const std::string numbers[] = {
      largest, boundary, below, "-" + boundary, boundary + ".0", below + "." + std::string(400, '9'),
      boundary.substr(0, 1) + "." + boundary.substr(1) + "e308", "0." + below + std::string(500, '0') + "1e309",
      "0." + boundary + "e309", "0.0" + boundary + "e310", "0.000" + boundary + "E+311",
      below + std::string(300, '0') + "e-300", boundary + "." + std::string(400, '0') + "1", "1e308", "1e309",
      "10e308", "0.1e310"};
  for (const std::string& n : numbers) docs.push_back("[" + n + "]");
  for (const std::string& doc : docs) {
    for (std::size_t step : {1, 3, 1 << 20}) EXPECT_EQ(smodel(doc, step), oracle(doc)) << doc.substr(0, 120);
  }
}
