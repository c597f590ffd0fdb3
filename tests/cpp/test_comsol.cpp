#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tolvanex/json.hpp"
#include "tolvanex/nlohmann_json.hpp"
#include "tolvanex/parsers/comsol.hpp"
#include "tolvanex/saturating.hpp"

using namespace tolvanex;
using namespace tolvanex::parsers::comsol;

namespace {

// Hands out its text in pieces of at most `step` bytes, to move every chunk boundary.
class SteppedSource final : public ByteSource {
 public:
  SteppedSource(std::string_view text, std::size_t step) : text_(text), step_(step) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, step_, text_.size() - pos_});
    std::copy_n(text_.data() + pos_, n, buffer);
    pos_ += n;
    return n;
  }

 private:
  std::string_view text_;
  std::size_t step_;
  std::size_t pos_ = 0;
};

// Generates `size` bytes from a repeated pattern without holding them.
class PatternSource final : public ByteSource {
 public:
  PatternSource(std::string head, char fill, std::uint64_t size, std::string tail)
      : head_(std::move(head)), fill_(fill), size_(size), tail_(std::move(tail)) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    std::size_t n = 0;
    while (n < size) {
      if (pos_ < head_.size()) {
        buffer[n++] = head_[pos_++];
      } else if (pos_ < head_.size() + size_) {
        const std::uint64_t left = head_.size() + size_ - pos_;
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left, size - n));
        std::fill_n(buffer + n, k, fill_);
        n += k;
        pos_ += k;
      } else if (pos_ < head_.size() + size_ + tail_.size()) {
        buffer[n++] = tail_[pos_ - head_.size() - size_];
        ++pos_;
      } else {
        break;
      }
    }
    return n;
  }

 private:
  std::string head_;
  char fill_;
  std::uint64_t size_;
  std::string tail_;
  std::uint64_t pos_ = 0;
};

class FailingSource final : public ByteSource {
 public:
  explicit FailingSource(std::string before) : before_(std::move(before)) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    if (pos_ == before_.size()) return TolvanexError::io("corrupt deflate stream");
    const std::size_t n = std::min(size, before_.size() - pos_);
    std::copy_n(before_.data() + pos_, n, buffer);
    pos_ += n;
    return n;
  }

 private:
  std::string before_;
  std::size_t pos_ = 0;
};

std::string tags_json(const TreeInfo& t) {
  json::Json j = json::Json::array();
  for (const auto& list : t.tags) j.push_back(list);
  return j.dump();
}

// The serialised model's tags as [[physics],[study],[material]], or "error:" and the text.
std::string smodel(std::string_view text, std::size_t step = 1 << 20) {
  SteppedSource src(text, step);
  TreeInfo tree;
  Status st = read_smodel(src, tree);
  return st ? tags_json(tree) : "error:" + st.error().display();
}

std::string dmodel(std::string_view text) {
  MemorySource src(text);
  TreeInfo tree;
  Status st = read_dmodel(src, tree);
  if (!st) return "error:" + st.error().display();
  json::Json params = json::Json::array();
  for (const NamedValue& p : tree.parameters) params.push_back(json::Json::parse(json::write(p)));
  return params.dump() + tags_json(tree);
}

std::string modelinfo(std::string_view text) {
  MemorySource src(text);
  ModelInfo info;
  Status st = read_modelinfo(src, info);
  if (!st) return "error:" + st.error().display();
  ComsolMphSummary s;
  s.title = info.title;
  s.description = info.description;
  s.comsol_version = info.comsol_version;
  s.node_type = info.node_type;
  s.is_runnable = info.is_runnable;
  json::Json j = json::Json::parse(json::write(s));
  json::Json out = json::Json::array();
  for (const char* k : {"title", "description", "comsol_version", "node_type", "is_runnable"}) out.push_back(j[k]);
  return out.dump();
}

std::string nest(std::size_t depth, const std::string& inner = "") {
  std::string s;
  for (std::size_t i = 0; i < depth; ++i) s += i % 2 ? "{\"k\":" : "[";
  s += inner.empty() ? "0" : inner;
  for (std::size_t i = depth; i-- > 0;) s += i % 2 ? "}" : "]";
  return s;
}

}  // namespace

TEST(Comsol, SizeBuckets) {
  const std::pair<const char*, const char*> cases[] = {
      {"Savepoint1/model.txt", "solution"}, {"results/savepoint1/x", "data"},
      {"mesh_solution.bin", "solution"},   {"GeomManager/a", "geometry"},
      {"x.MPHBIN", "binary"},              {"savepoint1/", "solution"},
      {"a/Geometry.txt", "geometry"},      {"MESH1.mphbin", "mesh"},
      {"dmodel.xml", "data"},              {"", "data"},
      {"x.mphbin/", "data"},               {"SOLUTIONS", "solution"},
  };
  for (const auto& [name, bucket] : cases) EXPECT_EQ(size_bucket(name), bucket) << name;
  EXPECT_EQ(saturating_add(UINT64_MAX - 1, 5), UINT64_MAX);
  EXPECT_EQ(saturating_add(2, 3), 5u);
}

TEST(Comsol, MemberNamesAreExact) {
  EXPECT_EQ(member_of("dmodel.xml"), Member::DModel);
  EXPECT_EQ(member_of("usedlicenses.txt"), Member::UsedLicenses);
  for (const char* n : {"sub/dmodel.xml", "DModel.xml", "./fileversion", "/fileversion", "smodel.json "}) {
    EXPECT_EQ(member_of(n), Member::None) << n;
  }
}

TEST(Comsol, FileVersionSegments) {
  struct Case {
    std::string text;
    const char* schema;  // null: absent
    const char* saved_in;
  };
  const Case cases[] = {
      {"12: 3.4", "12", "3.4"},   {"a:b:c", "a", "b:c"},        {":", "", ""},
      {"abc", nullptr, "abc"},    {" \t\r\n ", nullptr, nullptr}, {"", nullptr, nullptr},
      {"\xE2\x80\x83 5.6 \xC2\xA0: COMSOL 6.1\n", "5.6", "COMSOL 6.1"},
      {" a b : c  d ", "a b", "c  d"},
  };
  for (const Case& c : cases) {
    for (std::size_t step : {1, 2, 64}) {
      TrimmedSegments seg(TrimmedSegments::Mode::FirstColon);
      for (std::size_t i = 0; i < c.text.size(); i += step) seg.feed(std::string_view(c.text).substr(i, step));
      seg.finish();
      const FileVersion v = file_version_from(seg.split(), seg.take_texts());
      EXPECT_EQ(v.schema.has_value(), c.schema != nullptr) << c.text;
      if (c.schema && v.schema) EXPECT_EQ(*v.schema, c.schema) << c.text;
      EXPECT_EQ(v.saved_in.has_value(), c.saved_in != nullptr) << c.text;
      if (c.saved_in && v.saved_in) EXPECT_EQ(*v.saved_in, c.saved_in) << c.text;
    }
  }
}

TEST(Comsol, LicenceLines) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"A\r\n\r\n B \nA", {"A", "B", "A"}},
      {"x\ry\n", {"x\ry"}},  // a carriage return inside a line does not end it
      {"\n\n  \n", {}},
      {"\xE2\x80\xA8lic\xE2\x80\xA8\n", {"lic"}},  // U+2028 is trimmed, not a line end
  };
  for (const auto& [textin, lines] : cases) {
    TrimmedSegments seg(TrimmedSegments::Mode::Lines);
    for (char c : textin) seg.feed(std::string_view(&c, 1));
    seg.finish();
    EXPECT_EQ(seg.take_texts(), lines) << textin;
  }
}

TEST(Comsol, LongWhiteSpaceRunsAreTakenFromASecondRead) {
  // A run of white space past the holding limit: texts are given up and rebuilt from ranges.
  const std::string run(TrimmedSegments::kPendingLimit + 10, ' ');
  const std::string text = " one" + run + "two" + run + "\nthree\n" + run;
  TrimmedSegments seg(TrimmedSegments::Mode::Lines);
  seg.feed(text);
  seg.finish();
  ASSERT_TRUE(seg.needs_extract());
  SteppedSource again(text, 1000);
  ASSERT_TRUE(seg.extract(again));
  EXPECT_EQ(seg.take_texts(), (std::vector<std::string>{"one" + run + "two", "three"}));

  TrimmedSegments ver(TrimmedSegments::Mode::FirstColon);
  PatternSource src("1.0:a", ' ', 10'000'000, "");
  std::vector<char> buf(4096);
  for (;;) {
    const std::size_t n = src.read(buf.data(), buf.size()).value();
    if (n == 0) break;
    ver.feed(std::string_view(buf.data(), n));
  }
  ver.finish();
  ASSERT_TRUE(ver.needs_extract());
  PatternSource src2("1.0:a", ' ', 10'000'000, "");
  ASSERT_TRUE(ver.extract(src2));
  const FileVersion v = file_version_from(ver.split(), ver.take_texts());
  EXPECT_EQ(v.schema, "1.0");
  EXPECT_EQ(v.saved_in, "a");
}

TEST(Comsol, MemberStreamVerdicts) {
  struct Case {
    std::string text;
    std::size_t consumer_reads;  // bytes the consumer asks for before finish()
    const char* error;           // null: fine
  };
  const Case cases[] = {
      {"caf\xC3\xA9", 100, nullptr},
      {"caf\xC3\xA9", 2, nullptr},
      {"ab\xFF" "cd", 100, "io error: stream did not contain valid UTF-8"},
      {"ab\xC3", 100, "io error: stream did not contain valid UTF-8"},
      {"ab\xC3", 0, "io error: stream did not contain valid UTF-8"},
  };
  for (const Case& c : cases) {
    SteppedSource raw(c.text, 3);
    MemberStream stream(raw);
    char buf[256];
    std::size_t total = 0;
    while (total < c.consumer_reads) {
      Result<std::size_t> r = stream.read(buf, 1);
      if (!r || r.value() == 0) break;
      ++total;
    }
    Status st = stream.finish();
    EXPECT_EQ(st ? std::string() : st.error().display(), c.error ? c.error : "") << c.text;
  }
  // A read failure wins over ill-formed bytes before it and is what the consumer sees.
  FailingSource failing("x\xFF");
  MemberStream stream(failing);
  char buf[16];
  EXPECT_EQ(stream.read(buf, 16).value(), 0u);  // cut at the ill-formed byte
  EXPECT_EQ(stream.finish().error().display(), "io error: corrupt deflate stream");
}

TEST(Comsol, ModelInformation) {
  const std::pair<std::string, std::string> cases[] = {
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
      {R"(<m runnable="True"/>)", "[null,null,null,null,true]"},
      {"<runnable>1</runnable>", "[null,null,null,null,true]"},
      {"<runnable>No</runnable>", "[null,null,null,null,false]"},
      {R"(<m runnable="0"/>)", "[null,null,null,null,false]"},
      {R"(<m runnable="FALSE"/>)", "[null,null,null,null,false]"},
      {R"(<m runnable="on"/>)", "[null,null,null,null,null]"},
      {R"(<m runnable=" true"/>)", "[null,null,null,null,null]"},
      {R"(<m runnable=""/>)", "[null,null,null,null,null]"},
      {R"(<m runnable="yes"/><m runnable="maybe"/>)", "[null,null,null,null,null]"},
      {R"(<m title="a&lt;b"/>)", R"(["a&lt;b",null,null,null,null])"},
      {R"(<m title="1" title="2"/>)", R"(["1",null,null,null,null])"},
      {R"(<m TITLE="1" title="2"/>)", R"(["2",null,null,null,null])"},
      // A repeated key skips to the next white space; what follows is read as attributes.
      {R"(<m other="1" other='x title="T"'/>)", R"(["T",null,null,null,null])"},
      {R"(<m other="x title='T'" title = "U"/>)", R"(["U",null,null,null,null])"},
      {R"(<m title="A"description="B"/>)", R"(["A","B",null,null,null])"},
      {R"(<m title=A description="B"/>)", R"([null,"B",null,null,null])"},
      {R"(<m title="a/"/>)", R"(["a/",null,null,null,null])"},
      {R"(<m title="open/>)", "error:xml error: syntax error: tag not closed: `>` not found before end of input"},
      {"<!DOCTYPE m><?pi <title>P</title>?><!-- <title>C</title> --><m/>", "[null,null,null,null,null]"},
      {"\xEF\xBB\xBF<title>x</title>", R"(["x",null,null,null,null])"},
      {"<title>open", R"(["open",null,null,null,null])"},
      {"<a></b>", "error:xml error: ill-formed document: expected `</a>`, but `</b>` was found"},
      {"<t>A & B</t>",
       "error:xml error: ill-formed document: entity or character reference not closed: `;` not found before end of input"},
      {"<title", "error:xml error: syntax error: tag not closed: `>` not found before end of input"},
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
      // A repeated key skips to the next white space; what follows is read as attributes.
      {R"(<x other="1" other='a param="v"'/>)", R"([{"name":"v","value":null,"reference":null}][[],[],[]])"},
      {R"(<x other="1" param="p" other='a value="v"' value="w"/>)",
       R"([{"name":"p","value":"v","reference":null}][[],[],[]])"},
      {R"(<x param = 'p' value=v reference="r"/>)", R"([{"name":"p","value":null,"reference":"r"}][[],[],[]])"},
      {R"(<x param="p"value="v" tag="t"/><physics tag="t/" />)",
       R"([{"name":"p","value":"v","reference":null}][["t/"],[],[]])"},
      {R"(<x param="p" value="v/>)", "error:xml error: syntax error: tag not closed: `>` not found before end of input"},
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
      {R"({"tag":"p","apiClass":"physics","apiClass":null})", "[[],[],[]]"},  // last value counts
      {R"({"tag":"a","tag":"b","type":"PHYSICS"})", R"([["b"],[],[]])"},
      {R"({"tag":"a","tag":[],"type":"physics"})", "[[],[],[]]"},
      {R"({"Tag":"a","type":"physics"})", "[[],[],[]]"},
      {R"({"apiClass":"Physics","x":[{"tag":"in","type":"study"}],"tag":"out"})", R"([["out"],["in"],[]])"},
      {R"([[[{"a":{"tag":"deep","apiClass":"\u004daterial"}}]]])", R"([[],[],["deep"]])"},
      {R"({"\u0074ag":"esc","type":"study"})", R"([[],["esc"],[]])"},
      {R"([{"tag":"b","type":"physics"},{"tag":"a","type":"physics"},{"tag":"b","type":"physics"}])",
       R"([["a","b"],[],[]])"},
      {" \t\r\n{}\n ", "[[],[],[]]"},
      {"1.5e308", "[[],[],[]]"},
      {"-1e-400", "[[],[],[]]"},
      {"123456789012345678901234567890", "[[],[],[]]"},
  };
  for (const auto& [doc, want] : cases) {
    EXPECT_EQ(smodel(doc), want) << doc;
    EXPECT_EQ(smodel(doc, 1), want) << doc;
  }
}

TEST(Comsol, SerialisedModelErrors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "unexpected end of input; expected '[', '{', or a literal at line 1 column 1"},
      {"  \n ", "unexpected end of input; expected '[', '{', or a literal at line 2 column 2"},
      {"\xEF\xBB\xBF{}", "invalid literal at line 1 column 1"},
      {"\xEF\xBF\xBD", "invalid literal at line 1 column 1"},
      {"{} x", "invalid literal; expected end of input at line 1 column 4"},
      {"{}{}", "unexpected '{'; expected end of input at line 1 column 3"},
      {"[1,]", "unexpected ']'; expected '[', '{', or a literal at line 1 column 4"},
      {"{\"a\":1,}", "unexpected '}'; expected string literal at line 1 column 8"},
      {"'a'", "invalid literal at line 1 column 1"},
      {"/*c*/1", "invalid literal at line 1 column 1"},
      {"[1e400]", "number overflow at line 1 column 6"},
      {"[\n-1e999\n]", "number overflow at line 2 column 6"},
      {"{1\n}", "unexpected number literal; expected string literal at line 1 column 2"},
      {"\"a\nb\"", "invalid string: control character U+000A (LF) must be escaped to \\u000A or \\n at line 1 column 3"},
      {"\"\\x\"", "invalid string: forbidden character after backslash at line 1 column 3"},
      {"[\"\\uD800\"]", "invalid string: surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF at line 1 column 9"},
      {"\"\\uDC00\"", "invalid string: surrogate U+DC00..U+DFFF must follow U+D800..U+DBFF at line 1 column 7"},
      {"01", "unexpected number literal; expected end of input at line 1 column 2"},
      {"1.e5", "invalid number; expected digit after '.' at line 1 column 3"},
      {"[tru]", "invalid literal at line 1 column 5"},
      {"{\"a\" 1}", "unexpected number literal; expected ':' at line 1 column 6"},
  };
  for (const auto& [doc, want] : cases) {
    const std::string got = smodel(doc);
    ASSERT_TRUE(got.starts_with("error:json error: syntax error while parsing ") ||
                got.starts_with("error:json error: number overflow") ||
                got.starts_with("error:json error: recursion"))
        << doc << " -> " << got;
    EXPECT_TRUE(got.ends_with(want)) << doc << " -> " << got;
    EXPECT_EQ(smodel(doc, 1), got) << doc;
  }
  EXPECT_EQ(smodel("[1,"), "error:json error: syntax error while parsing value - unexpected end of input; "
                           "expected '[', '{', or a literal at line 1 column 4");
  EXPECT_EQ(smodel("{\"a\":1 \"b\"}"),
            "error:json error: syntax error while parsing object - unexpected string literal; expected '}' "
            "at line 1 column 10");
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
    for (std::size_t step : {1, 1 << 20}) EXPECT_EQ(smodel(doc, step), "error:json error: syntax error while parsing " + want);
  }
}

TEST(Comsol, NestingLimit) {
  EXPECT_EQ(smodel(nest(127)), "[[],[],[]]");
  const std::string deep = nest(127, R"({"tag":"t","type":"study"})");
  EXPECT_EQ(smodel(deep), "error:json error: recursion limit exceeded at line 1 column " +
                              std::to_string(deep.find("{\"tag\"") + 1));
  EXPECT_EQ(smodel(nest(126, R"({"tag":"t","type":"study"})")), R"([[],["t"],[]])");
  EXPECT_EQ(smodel(std::string(128, '[')), "error:json error: recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(smodel(std::string(127, '[')),
            "error:json error: syntax error while parsing value - unexpected end of input; expected '[', '{', "
            "or a literal at line 1 column 128");
  EXPECT_EQ(smodel("\n  " + std::string(200, '{')),
            "error:json error: syntax error while parsing object key - unexpected '{'; expected string literal "
            "at line 2 column 4");
  EXPECT_EQ(smodel("[\n" + std::string(127, '[')), "error:json error: recursion limit exceeded at line 2 column 127");
}

// Strings and numbers past the feed's limits give the same tags, errors and positions as
// nlohmann gives on the whole text.
TEST(Comsol, LongTokensBehaveAsWhole) {
  const std::string big(10000, 'x');
  const std::string digits(9000, '7');
  const std::string zeros(9000, '0');
  const std::vector<std::string> docs = {
      "[\"" + big + "\", 1e400]",
      "[\"" + big + "\u00e9\\n\\u00e9\\ud83d\\ude00" + big + "\"] x",
      "[\"" + big + "\\uD800\"]",
      "[\"" + big + "\\q" + big + "\"]",
      "[\"" + big + "\x01\"]",
      "[\"" + big + "\\u12G4\"]",
      "{\"" + big + "\":1,\"tag\":\"" + big + "\",\"type\":\"physics\"}",
      "{\"tag\" : \"" + big + "\", \"type\":\"" + big + "\"}",
      "[\"" + big,
      "[" + digits + "]",
      "[-" + digits + "e-9000]",
      "[-" + digits + "e-8692]",
      "[" + digits + "e-8691]",
      "[0." + zeros + "1e9310]",
      "[0." + zeros + "1e9309]",
      "[0." + zeros + "1E+9309]",
      "[1." + digits + "e308]",
      "[2." + digits + "e308]",
      "[" + digits + "." + digits + "e-8000 ]",
      "[" + digits + ".]",
      "[" + digits + ".5e]",
      "[" + digits + "e+]",
      "[-0." + digits + "x]",
      "[" + digits + "\n, 1e400]",
      "{\"a\":[" + digits + "], \"tag\":\"t\", \"apiClass\":\"Study\"}",
  };
  for (const std::string& doc : docs) {
    std::string want;
    try {
      const nlohmann::json j = nlohmann::json::parse(doc);
      want = "ok";
    } catch (const nlohmann::json::parse_error& e) {
      want = "parse_error at " + std::to_string(e.byte);
    } catch (const nlohmann::json::out_of_range&) {
      want = "out_of_range";
    }
    const std::string got = smodel(doc, 777);
    const std::string head = doc.substr(0, 60);
    if (want == "ok") {
      EXPECT_FALSE(got.starts_with("error:")) << head << " -> " << got;
    } else if (want == "out_of_range") {
      EXPECT_TRUE(got.starts_with("error:json error: number overflow at line")) << head << " -> " << got;
    } else {
      // Single-line documents: nlohmann's byte count is the column.
      if (doc.find('\n') == std::string::npos) {
        EXPECT_TRUE(got.ends_with(" at line 1 column " + want.substr(15))) << head << " -> " << got;
      }
      EXPECT_TRUE(got.starts_with("error:json error: syntax error")) << head << " -> " << got;
    }
  }
  // A long tag is kept whole.
  EXPECT_EQ(smodel("{\"tag\":\"" + big + "\",\"type\":\"study\"}", 100), "[[],[\"" + big + "\"],[]]");
}

// A member of a gigabyte of white space, or holding one string or number of that size,
// streams through without being held: the feed keeps only its limits' worth.
TEST(Comsol, HugeMembersStream) {
  const std::uint64_t gib = 1ull << 30;
  {
    PatternSource src("", ' ', gib, R"({"tag":"t","type":"physics"})");
    TreeInfo tree;
    ASSERT_TRUE(read_smodel(src, tree));
    EXPECT_EQ(tags_json(tree), R"([["t"],[],[]])");
  }
  {
    PatternSource src("[\"", 'a', gib, "\x01\"]");
    TreeInfo tree;
    Status st = read_smodel(src, tree);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().display(),
              "json error: syntax error while parsing value - invalid string: control character U+0001 (SOH) "
              "must be escaped to \\u0001 at line 1 column " + std::to_string(gib + 3));
  }
  {
    PatternSource src("[1", '0', gib, "]");
    TreeInfo tree;
    Status st = read_smodel(src, tree);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().display(), "json error: number overflow at line 1 column " + std::to_string(gib + 2));
  }
  {
    PatternSource src("<r>", ' ', gib / 4, "<physics tag=\"p\"/></r>");
    TreeInfo tree;
    ASSERT_TRUE(read_dmodel(src, tree));
    EXPECT_EQ(tags_json(tree), R"([["p"],[],[]])");
  }
}

namespace {

// The reference: nlohmann on the whole text, with the nesting limit and the tag walk done
// plainly on the value tree.
struct Oracle final : nlohmann::json_sax<nlohmann::json> {
  std::size_t depth = 0;
  std::optional<std::size_t> fail_at;
  std::string message;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool key(string_t&) override { return true; }
  bool start_object(std::size_t) override { return open(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_object() override { return --depth, true; }
  bool end_array() override { return --depth, true; }
  bool open() {
    if (++depth >= 128) {
      message = "recursion limit exceeded";
      fail_at = SIZE_MAX;  // position of the bracket: filled in by the caller
      return false;
    }
    return true;
  }
  bool parse_error(std::size_t p, const std::string& last, const nlohmann::detail::exception& ex) override {
    std::string what = ex.what();
    what.erase(0, what.find("] ") + 2);
    if (what.starts_with("parse error")) what.erase(0, what.find(": ") + 2);
    if (what.starts_with("number overflow")) what = "number overflow";
    const std::string echo = "; last read: '" + last + "'";
    if (const auto at = what.find(echo); at != std::string::npos) what.erase(at, echo.size());
    message = what;
    fail_at = p;
    return false;
  }
};

void walk(const nlohmann::json& v, TreeInfo& t) {
  if (v.is_array()) {
    for (const auto& e : v) walk(e, t);
  } else if (v.is_object()) {
    const auto tag = v.find("tag");
    const nlohmann::json* cls = nullptr;
    if (v.contains("apiClass")) cls = &v["apiClass"];
    else if (v.contains("type")) cls = &v["type"];
    if (tag != v.end() && tag->is_string() && cls && cls->is_string()) {
      if (const auto kind = node_kind(cls->get<std::string>())) t.tags_of(*kind).push_back(tag->get<std::string>());
    }
    for (const auto& [k, e] : v.items()) walk(e, t);
  }
}

std::string oracle(const std::string& doc) {
  // Where the parser stood after p bytes: that byte, or the end of the text.
  auto at = [&](std::size_t p) {
    const std::size_t index = p == 0 ? 0 : std::min(p, doc.size() + 1) - 1;
    const std::size_t line = 1 + std::count(doc.begin(), doc.begin() + std::min(index, doc.size()), '\n');
    const std::size_t nl = index == 0 ? std::string::npos : doc.rfind('\n', index - 1);
    const std::size_t col = nl == std::string::npos ? index + 1 : index - nl;
    return " at line " + std::to_string(line) + " column " + std::to_string(col);
  };
  Oracle o;
  // The bracket that trips the limit is the 128th opening one still open; find it by a
  // second, counting pass (brackets inside strings do not count, and the text is well-formed
  // up to that point).
  nlohmann::json::sax_parse(doc, &o);
  if (o.fail_at == SIZE_MAX) {
    int depth = 0;
    bool in_string = false, escaped = false;
    for (std::size_t i = 0; i < doc.size(); ++i) {
      const char c = doc[i];
      if (in_string) {
        if (escaped) escaped = false;
        else if (c == '\\') escaped = true;
        else if (c == '"') in_string = false;
      } else if (c == '"') {
        in_string = true;
      } else if (c == '[' || c == '{') {
        if (++depth == 128) return "error:json error: " + o.message + at(i + 1);
      } else if (c == ']' || c == '}') {
        --depth;
      }
    }
  }
  if (o.fail_at) return "error:json error: " + o.message + at(*o.fail_at);
  TreeInfo t;
  walk(nlohmann::json::parse(doc), t);
  t.sort_tags();
  return tags_json(t);
}

}  // namespace

// Random texts, well-formed or nearly so, with tokens long enough to be condensed: the feed
// changes nothing that nlohmann would see in the whole text.
TEST(Comsol, FeedMatchesWholeTextParse) {
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
      const std::size_t n = 1 + pick(12);
      for (std::size_t i = 0; i < n; ++i) doc += vocab[pick(vocab.size())];
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
    if (!doc.empty() && static_cast<unsigned char>(doc[0]) == 0xEF) continue;
    const std::string want = oracle(doc);
    ASSERT_EQ(smodel(doc, 1 + pick(5000)), want) << round << ": " << doc.substr(0, 200);
  }
}
