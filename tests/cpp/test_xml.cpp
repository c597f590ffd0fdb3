#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/markup/xml.hpp"
#include "tolvanex/text/text.hpp"

using namespace tolvanex;
using namespace tolvanex::xml;

namespace {

const char* kind_name(XmlEventKind k) {
  switch (k) {
    case XmlEventKind::Start: return "Start";
    case XmlEventKind::Empty: return "Empty";
    case XmlEventKind::End: return "End";
    case XmlEventKind::Text: return "Text";
    case XmlEventKind::CData: return "CData";
    case XmlEventKind::Comment: return "Comment";
    case XmlEventKind::Decl: return "Decl";
    case XmlEventKind::PI: return "PI";
    case XmlEventKind::DocType: return "DocType";
    case XmlEventKind::GeneralRef: return "Ref";
    case XmlEventKind::Eof: return "Eof";
  }
  return "?";
}

// The whole event stream as "Kind:payload" items; an error ends it as "error:<display>".
std::vector<std::string> tokenize(std::string_view doc, std::size_t buffer = 8192, bool skim = false) {
  MemorySource source(doc);
  XmlPullReader reader(source, buffer);
  reader.set_skim(skim);
  std::vector<std::string> out;
  std::string scratch;
  for (int guard = 0; guard < 100000; ++guard) {
    Result<XmlEvent> ev = reader.next_event(scratch);
    if (!ev) {
      out.push_back("error:" + ev.error().display());
      return out;
    }
    out.push_back(std::string(kind_name(ev.value().kind)) + ":" + std::string(ev.value().bytes));
    if (ev.value().kind == XmlEventKind::Eof) return out;
  }
  ADD_FAILURE() << "no end";
  return out;
}

using Events = std::vector<std::string>;

// A source that hands out at most `chunk` bytes per read and then fails, if asked to.
class FlakySource final : public ByteSource {
 public:
  FlakySource(std::string_view text, std::size_t fail_at) : text_(text), fail_at_(fail_at) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    if (pos_ >= fail_at_) return TolvanexError::io("inflate failed: invalid block type");
    const std::size_t n = std::min({size, text_.size() - pos_, fail_at_ - pos_});
    std::copy_n(text_.data() + pos_, n, buffer);
    pos_ += n;
    return n;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0, fail_at_;
};

struct Case {
  const char* doc;
  Events events;
};

const std::string kXmlErr = "error:xml error: ";

const std::vector<Case>& event_cases() {
  static const std::vector<Case> cases = {
      {"<a>  x  </a>", {"Start:a", "Text:x", "End:a", "Eof:"}},
      {"<a>   </a>", {"Start:a", "End:a", "Eof:"}},
      {"<t>A &amp; B</t>", {"Start:t", "Text:A", "Ref:amp", "Text:B", "End:t", "Eof:"}},
      {"<t>&#38;</t>", {"Start:t", "Ref:#38", "End:t", "Eof:"}},
      {"<t>a&b;c</t>", {"Start:t", "Text:a", "Ref:b", "Text:c", "End:t", "Eof:"}},
      {"<t>&;</t>", {"Start:t", "Ref:", "End:t", "Eof:"}},
      {"<t>&a b\n;</t>", {"Start:t", "Ref:a b\n", "End:t", "Eof:"}},
      {"<a></a >", {"Start:a", "End:a", "Eof:"}},
      {"<x:a></x:a>", {"Start:x:a", "End:x:a", "Eof:"}},
      {"<a><b>", {"Start:a", "Start:b", "Eof:"}},
      {"<a>tail", {"Start:a", "Text:tail", "Eof:"}},
      {"", {"Eof:"}},
      {" \t\r\n ", {"Eof:"}},
      {"plain text ", {"Text:plain text", "Eof:"}},
      {"<e k=\"x>y\"/>", {"Empty:e k=\"x>y\"", "Eof:"}},
      {"<e k='x>y' j=\"'>\">t</e>", {"Start:e k='x>y' j=\"'>\"", "Text:t", "End:e", "Eof:"}},
      {"<e/>", {"Empty:e", "Eof:"}},
      {"<e />", {"Empty:e ", "Eof:"}},
      {"<e/ >", {"Start:e/ ", "Eof:"}},
      {"<a\tb='1'\n></a>", {"Start:a\tb='1'\n", "End:a", "Eof:"}},
      {"<>x</>", {"Start:", "Text:x", "End:", "Eof:"}},
      {"<a><![CDATA[text]]></a>", {"Start:a", "CData:text", "End:a", "Eof:"}},
      {"<![CDATA[]]>", {"CData:", "Eof:"}},
      {"<![CDATA[a]b]]c]]]>", {"CData:a]b]]c]", "Eof:"}},
      {"<![CDATA[<x>&y]]>", {"CData:<x>&y", "Eof:"}},
      {"<a>x]]>y</a>", {"Start:a", "Text:x]]>y", "End:a", "Eof:"}},
      {"<!-- c -->", {"Comment: c ", "Eof:"}},
      {"<!---->", {"Comment:", "Eof:"}},
      {"<!-- a -- b --->", {"Comment: a -- b -", "Eof:"}},
      {"<!-->-->", {"Comment:>", "Eof:"}},
      {"<?xml version=\"1.0\"?><r/>", {"Decl:xml version=\"1.0\"", "Empty:r", "Eof:"}},
      {"<?xml?>", {"Decl:xml", "Eof:"}},
      {"<?xml\tx?>", {"Decl:xml\tx", "Eof:"}},
      {"<?xml-stylesheet href='a'?>", {"PI:xml-stylesheet href='a'", "Eof:"}},
      {"<?XML ?>", {"PI:XML ", "Eof:"}},
      {"<?pi a>b?>", {"PI:pi a>b", "Eof:"}},
      {"<?" "?>", {"PI:", "Eof:"}},
      {"<?>?>", {"PI:>", "Eof:"}},
      {"<!DOCTYPE note>", {"DocType:note", "Eof:"}},
      {"<!doctype  html\n>", {"DocType:html\n", "Eof:"}},
      {"<!DocType r [<!ENTITY e 'v'>]><r/>", {"DocType:r [<!ENTITY e 'v'>]", "Empty:r", "Eof:"}},
      {"\xEF\xBB\xBF<r/>", {"Empty:r", "Eof:"}},
      {"\xEF\xBB\xBF", {"Eof:"}},
      {"\xEF\xBB<r/>", {"Text:\xEF\xBB", "Empty:r", "Eof:"}},
      {"\xEF<r/>", {"Text:\xEF", "Empty:r", "Eof:"}},
      {"\xEF\xBB\xBF\xEF\xBB\xBF<r/>", {"Text:\xEF\xBB\xBF", "Empty:r", "Eof:"}},
      {"<r>\xEF\xBB\xBFx</r>", {"Start:r", "Text:\xEF\xBB\xBFx", "End:r", "Eof:"}},
      // Errors, each with its exact text.
      {"<t>A & B</t>", {"Start:t", "Text:A",
                        kXmlErr + "ill-formed document: entity or character reference not closed: "
                                  "`;` not found before end of input"}},
      {"<t>&amp</t>", {"Start:t", kXmlErr + "ill-formed document: entity or character reference "
                                            "not closed: `;` not found before end of input"}},
      {"<t>&amp", {"Start:t", kXmlErr + "ill-formed document: entity or character reference not "
                                        "closed: `;` not found before end of input"}},
      {"<a></b>", {"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</b>` was found"}},
      {"</a>", {kXmlErr + "ill-formed document: close tag `</a>` does not match any open tag"}},
      {"<a></a></a>", {"Start:a", "End:a",
                       kXmlErr + "ill-formed document: close tag `</a>` does not match any open tag"}},
      {"<x:a></a>", {"Start:x:a", kXmlErr + "ill-formed document: expected `</x:a>`, but `</a>` was found"}},
      {"<a></ a>", {"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</ a>` was found"}},
      // White space inside a text is kept, at its ends trimmed; an end tag's name loses its
      // trailing white space, and one with white space inside matches nothing.
      {"<a>x \t\r\n y\t \n\r</a>", {"Start:a", "Text:x \t\r\n y", "End:a", "Eof:"}},
      {"<a>x    \t\t\t\t&r;    y\n\n\n\n\n</a>",
       {"Start:a", "Text:x", "Ref:r", "Text:y", "End:a", "Eof:"}},
      {"<a></a \t\r\n    >", {"Start:a", "End:a", "Eof:"}},
      {"<a></a    b \n>", {"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</a    b>` was found"}},
      {"<a></a \xC3\xA9>", {"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</a \xC3\xA9>` was found"}},
      {"<a></a \xFF>", {"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</>` was found"}},
      {"<a></a\xFF     b>", {"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</>` was found"}},
      {"<a></a     b\xC3>", {"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</>` was found"}},
      {"< x></\xFF x>", {"Start: x", kXmlErr + "ill-formed document: expected `</>`, but `</>` was found"}},
      {"< x></ x>", {"Start: x", kXmlErr + "ill-formed document: expected `</>`, but `</ x>` was found"}},
      {"</a     b>", {kXmlErr + "ill-formed document: close tag `</a     b>` does not match any open tag"}},
      {"</a b\xFF>", {kXmlErr + "ill-formed document: close tag `</>` does not match any open tag"}},
      {"<ab></a\xFF" "b>", {"Start:ab", kXmlErr + "ill-formed document: expected `</ab>`, but `</>` was found"}},
      {"<\xFF\xFE></\xFF\xFE>", {"Start:\xFF\xFE", "End:\xFF\xFE", "Eof:"}},
      {"<\xFF\xFE></\xFF>", {"Start:\xFF\xFE", kXmlErr + "ill-formed document: expected `</>`, but `</>` was found"}},
      {"<a></ab>", {"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</ab>` was found"}},
      {"<a></a    ", {"Start:a", kXmlErr + "syntax error: tag not closed: `>` not found before end of input"}},
      {"<\xFF></b\xFE>", {"Start:\xFF", kXmlErr + "ill-formed document: expected `</>`, but `</>` was found"}},
      {"<!x>", {kXmlErr + "syntax error: unknown or missed symbol in markup"}},
      {"<![cdata[x]]>", {kXmlErr + "syntax error: unknown or missed symbol in markup"}},
      {"<!-x-->", {kXmlErr + "syntax error: unknown or missed symbol in markup"}},
      {"<!", {kXmlErr + "syntax error: unknown or missed symbol in markup"}},
      {"<?xml ", {kXmlErr + "syntax error: processing instruction or xml declaration not closed: "
                            "`?>` not found before end of input"}},
      {"<?>", {kXmlErr + "syntax error: processing instruction or xml declaration not closed: "
                         "`?>` not found before end of input"}},
      {"<!-- x ->", {kXmlErr + "syntax error: comment not closed: `-->` not found before end of input"}},
      {"<!-->", {kXmlErr + "syntax error: comment not closed: `-->` not found before end of input"}},
      {"<!DOCTYPE a <b>", {kXmlErr + "syntax error: DOCTYPE not closed: `>` not found before end of input"}},
      {"<![CDATA[x]]", {kXmlErr + "syntax error: CDATA not closed: `]]>` not found before end of input"}},
      {"<a", {kXmlErr + "syntax error: tag not closed: `>` not found before end of input"}},
      {"<a b='>", {kXmlErr + "syntax error: tag not closed: `>` not found before end of input"}},
      {"<a></a", {"Start:a", kXmlErr + "syntax error: tag not closed: `>` not found before end of input"}},
      {"x<", {"Text:x", kXmlErr + "syntax error: tag not closed: `>` not found before end of input"}},
      {"<!DOCTYPE>", {kXmlErr + "ill-formed document: `<!DOCTYPE>` declaration does not contain a "
                                "name of a document type"}},
      {"<!DOCTYPE \n\t>", {kXmlErr + "ill-formed document: `<!DOCTYPE>` declaration does not "
                                     "contain a name of a document type"}},
  };
  return cases;
}

}  // namespace

TEST(XmlPullReader, EventsAndErrorsOfEachDocument) {
  for (const Case& c : event_cases()) EXPECT_EQ(tokenize(c.doc), c.events) << c.doc;
}

TEST(XmlPullReader, EventsDoNotDependOnWhereTheBufferRefills) {
  std::vector<std::string> docs;
  for (const Case& c : event_cases()) docs.push_back(c.doc);
  docs.push_back(
      "\xEF\xBB\xBF<?xml version='1.0'?>\n<!DOCTYPE r [<!ELEMENT r ANY>]>\n<!-- head -->\n"
      "<r a=\"1\" b='x>y'>\n  <c>one &amp; two</c>\n  <![CDATA[raw <data>]]>\n"
      "  <d/><?pi data?>\n  text\n</r>\n");
  for (const std::string& doc : docs) {
    const Events whole = tokenize(doc, 8192);
    for (std::size_t size : {1, 2, 3, 7}) EXPECT_EQ(tokenize(doc, size), whole) << doc << " / " << size;
  }
}

TEST(XmlPullReader, SkimModeKeepsKindsOrderAndErrorsButOnlyNames) {
  for (const Case& c : event_cases()) {
    for (std::size_t size : {1, 3, 8192}) {
      const Events full = tokenize(c.doc, 8192);
      const Events skim = tokenize(c.doc, size, true);
      ASSERT_EQ(skim.size(), full.size()) << c.doc;
      for (std::size_t i = 0; i < full.size(); ++i) {
        const std::string& f = full[i];
        const std::string kind = f.substr(0, f.find(':'));
        if (kind == "Start" || kind == "Empty") {
          // Only the raw name stays.
          const std::string payload = f.substr(f.find(':') + 1);
          const std::string name = payload.substr(0, payload.find_first_of(" \t\r\n"));
          EXPECT_EQ(skim[i], kind + ":" + name) << c.doc;
        } else if (kind == "End" || kind == "error" || kind == "Eof") {
          EXPECT_EQ(skim[i], f) << c.doc;
        } else {
          EXPECT_EQ(skim[i], kind + ":") << c.doc;
        }
      }
    }
  }
}

TEST(XmlPullReader, SkimModeClipsLongNamesToTheirTail) {
  const std::string name = std::string(5000, 'p') + ":xml_case";
  const std::string doc = "<" + name + " a='1'>x</" + name + ">";
  for (std::size_t size : {1, 7, 8192}) {
    MemorySource source(doc);
    XmlPullReader reader(source, size);
    reader.set_skim(true);
    std::string scratch;
    Result<XmlEvent> ev = reader.next_event(scratch);
    ASSERT_TRUE(ev.ok());
    EXPECT_EQ(ev.value().kind, XmlEventKind::Start);
    EXPECT_EQ(ev.value().bytes, std::string_view(name).substr(name.size() - XmlPullReader::kSkimNameLimit));
    EXPECT_TRUE(reader.name_clipped());
    EXPECT_LE(scratch.capacity(), 4 * XmlPullReader::kSkimNameLimit);
    ASSERT_TRUE(reader.next_event(scratch).ok());  // the text, dropped
    Result<XmlEvent> end = reader.next_event(scratch);
    ASSERT_TRUE(end.ok());
    EXPECT_EQ(end.value().kind, XmlEventKind::End);
    EXPECT_TRUE(reader.name_clipped());
  }
  // Short names are not clipped.
  MemorySource source("<ns:xml_case/>");
  XmlPullReader reader(source, 2);
  reader.set_skim(true);
  std::string scratch;
  Result<XmlEvent> ev = reader.next_event(scratch);
  ASSERT_TRUE(ev.ok());
  EXPECT_EQ(ev.value().bytes, "ns:xml_case");
  EXPECT_FALSE(reader.name_clipped());
}

TEST(XmlPullReader, SkimModeDoesNotKeepAHugeTextRun) {
  const std::string doc = std::string(3'000'000, 'x') + "<r/>";
  MemorySource source(doc);
  XmlPullReader reader(source, 8192);
  reader.set_skim(true);
  std::string scratch;
  Result<XmlEvent> ev = reader.next_event(scratch);
  ASSERT_TRUE(ev.ok());
  EXPECT_EQ(ev.value().kind, XmlEventKind::Text);
  EXPECT_LT(scratch.capacity(), 4096u);
  ev = reader.next_event(scratch);
  ASSERT_TRUE(ev.ok());
  EXPECT_EQ(ev.value().kind, XmlEventKind::Empty);
  EXPECT_EQ(reader.position(), doc.size());
}

TEST(XmlPullReader, SourceFailureIsAnXmlIoErrorAndKeepsTheSourceError) {
  const std::string doc = "<a><b>text</b></a>";
  for (std::size_t fail_at : {0, 3, 8}) {
    FlakySource source(doc, fail_at);
    XmlPullReader reader(source, 2);
    std::string scratch;
    Result<XmlEvent> ev = XmlEvent{};
    do {
      ev = reader.next_event(scratch);
    } while (ev.ok() && ev.value().kind != XmlEventKind::Eof);
    ASSERT_FALSE(ev.ok()) << fail_at;
    EXPECT_EQ(ev.error().display(), "xml error: I/O error: inflate failed: invalid block type");
    ASSERT_TRUE(reader.last_source_error().has_value());
    EXPECT_EQ(*reader.last_source_error(), TolvanexError::io("inflate failed: invalid block type"));
  }
  MemorySource fine("<a/>");
  XmlPullReader reader(fine);
  std::string scratch;
  while (reader.next_event(scratch).value().kind != XmlEventKind::Eof) {
  }
  EXPECT_FALSE(reader.last_source_error().has_value());
}

TEST(XmlPullReader, EofRepeatsAndOpenElementsAreNotAnError) {
  MemorySource source("<a><b>x");
  XmlPullReader reader(source, 3);
  std::string scratch;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(reader.next_event(scratch).ok());
  EXPECT_EQ(reader.depth(), 2u);
  for (int i = 0; i < 3; ++i) {
    Result<XmlEvent> ev = reader.next_event(scratch);
    ASSERT_TRUE(ev.ok());
    EXPECT_EQ(ev.value().kind, XmlEventKind::Eof);
  }
}

TEST(XmlPullReader, DeepNestingKeepsOnlyTheNameStack) {
  std::string doc;
  const int depth = 100000;
  for (int i = 0; i < depth; ++i) doc += "<n>";
  for (int i = 0; i < depth; ++i) doc += "</n>";
  MemorySource source(doc);
  XmlPullReader reader(source);
  std::string scratch;
  std::size_t events = 0, max_depth = 0;
  for (;;) {
    Result<XmlEvent> ev = reader.next_event(scratch);
    ASSERT_TRUE(ev.ok());
    if (ev.value().kind == XmlEventKind::Eof) break;
    ++events;
    max_depth = std::max(max_depth, reader.depth());
  }
  EXPECT_EQ(events, 2u * depth);
  EXPECT_EQ(max_depth, static_cast<std::size_t>(depth));
  EXPECT_EQ(reader.depth(), 0u);
}

// ---------------------------------------------------------------------------------------

namespace {

// "key=value" for attributes, "!<error>" for error items.
std::vector<std::string> attrs(std::string_view tag) {
  std::vector<std::string> out;
  XmlAttributes it(tag);
  for (int guard = 0; guard < 100; ++guard) {
    std::optional<XmlAttrItem> item = it.next();
    if (!item) return out;
    if (item->ok()) {
      out.push_back(std::string(item->attribute.key) + "=" + std::string(item->attribute.value));
      continue;
    }
    switch (item->error) {
      case XmlAttrError::Duplicated: out.push_back("!dup"); break;
      case XmlAttrError::MissingEquals: out.push_back("!eq"); break;
      case XmlAttrError::MissingValue: out.push_back("!value"); break;
      case XmlAttrError::Unquoted: out.push_back("!unquoted"); break;
      case XmlAttrError::Unterminated: out.push_back("!unterminated"); break;
      case XmlAttrError::None: break;
    }
  }
  ADD_FAILURE() << "attribute iteration did not end";
  return out;
}

}  // namespace

TEST(XmlAttributes, ItemsInDocumentOrder) {
  struct AttrCase {
    const char* tag;
    std::vector<std::string> items;
  };
  const AttrCase cases[] = {
      {"e", {}},
      {"e ", {}},
      {"e k=\"1\" k=\"2\"", {"k=1", "!dup"}},
      {"e k=\"a &amp; b\"", {"k=a &amp; b"}},
      {"e k=\"x>y\"", {"k=x>y"}},
      {"e a = '1'\tb=\"2\"\nc='3'", {"a=1", "b=2", "c=3"}},
      {"e a='1'b='2'", {"a=1", "b=2"}},
      {"e a=\" sp  aced \"", {"a= sp  aced "}},
      {"e x:a='1' a='2' A='3'", {"x:a=1", "a=2", "A=3"}},
      {"e a='\"' b=\"'\"", {"a=\"", "b='"}},
      {"e a=''", {"a="}},
      // A duplicated key skips to the next white space; a value with white space goes on
      // as further items.
      {"e k='1' k='2' m='3'", {"k=1", "!dup", "m=3"}},
      {"e k='1' k='a b=\"c\"' m='3'", {"k=1", "!dup", "b=c", "!eq", "m=3"}},
      {"e k='1' k = '2' m='3'", {"k=1", "!dup", "!eq", "m=3"}},
      {"e k='1' k", {"k=1", "!dup"}},
      // Malformed attributes never hide the well-formed ones before them.
      {"e a='1' b", {"a=1", "!eq"}},
      {"e a='1' b c='2'", {"a=1", "!eq", "c=2"}},
      {"e a='1' b=", {"a=1", "!value"}},
      {"e a='1' b= ", {"a=1", "!value"}},
      {"e a='1' b=2 c='3'", {"a=1", "!unquoted", "c=3"}},
      {"e a='1' b='2", {"a=1", "!unterminated"}},
  };
  for (const AttrCase& c : cases) EXPECT_EQ(attrs(c.tag), c.items) << c.tag;
}

TEST(XmlEvent, NameIsTheRawBytesUpToWhiteSpace) {
  EXPECT_EQ((XmlEvent{XmlEventKind::Start, "cs:title a='1'"}).name(), "cs:title");
  EXPECT_EQ((XmlEvent{XmlEventKind::Start, "a\tb"}).name(), "a");
  EXPECT_EQ((XmlEvent{XmlEventKind::Empty, "a"}).name(), "a");
  EXPECT_EQ((XmlEvent{XmlEventKind::Start, " a"}).name(), "");
}

TEST(XmlPullReader, AttributesOfAnEventFromTheReader) {
  MemorySource source("<e k=\"1\" k=\"2\" j='x>y'/>");
  XmlPullReader reader(source, 1);
  std::string scratch;
  Result<XmlEvent> ev = reader.next_event(scratch);
  ASSERT_TRUE(ev.ok());
  ASSERT_EQ(ev.value().kind, XmlEventKind::Empty);
  EXPECT_EQ(attrs(ev.value().bytes), (std::vector<std::string>{"k=1", "!dup", "j=x>y"}));
}

TEST(XmlAttributes, DuplicatesAreFoundAmongManyAttributes) {
  std::string tag = "e";
  std::vector<std::string> want;
  for (int i = 0; i < 40; ++i) {
    tag += " k" + std::to_string(i) + "='" + std::to_string(i) + "'";
    want.push_back("k" + std::to_string(i) + "=" + std::to_string(i));
  }
  for (int i : {3, 15, 16, 39}) {
    tag += " k" + std::to_string(i) + "='x'";
    want.push_back("!dup");
  }
  tag += " k40='40'";
  want.push_back("k40=40");
  EXPECT_EQ(attrs(tag), want);
}

// ---------------------------------------------------------------------------------------
// Reading modes: what the readers drop must change nothing but the payloads they drop.

namespace {

using KeyFilter = XmlPullReader::KeyFilter;

bool keep_all(std::string_view) { return true; }
bool keep_k(std::string_view key) { return key == "k"; }
bool keep_model(std::string_view key) { return key == "param" || key == "value" || key == "tag"; }

struct Mode {
  const char* what;
  bool drop_text = false;
  bool drop_markup = false;
  KeyFilter filter = nullptr;
  bool sink = false;  // texts through a TextSink
  std::uint64_t room = UINT64_MAX;
};

// Gathers the pieces of a text; white space given by count shows as `?`.
struct Gather final : text::TextSink {
  void piece(std::string_view bytes) override {
    EXPECT_FALSE(bytes.empty());
    text.append(bytes);
  }
  std::uint64_t room() const override { return room_; }
  void unheld_space(std::uint64_t bytes) override {
    EXPECT_GT(bytes, 0u);
    text.append(bytes, '?');
  }
  std::string text;
  std::uint64_t room_ = UINT64_MAX;
};

// True when a text gathered by a sink is `whole`, but for white space given by count (`?`),
// which only a run longer than `room` may have.
bool gathered_is(std::string_view gathered, std::string_view whole, std::uint64_t room) {
  if (gathered.size() != whole.size()) return false;
  std::uint64_t run = 0;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    run = is_xml_space(whole[i]) ? run + 1 : 0;
    if (gathered[i] != whole[i] && !(gathered[i] == '?' && run > room)) return false;
  }
  return true;
}

const Mode kModes[] = {
    {"drop text", true, false, nullptr},
    {"drop markup", false, true, nullptr},
    {"names only", false, false, &XmlPullReader::no_attributes},
    {"keep all", false, false, &keep_all},
    {"keep k", false, false, &keep_k},
    {"readers' own", true, true, &keep_model},
    {"text sink", false, false, nullptr, true},
    {"text sink, markup dropped", false, true, &keep_model, true},
    {"text sink with room for 2", false, false, nullptr, true, 2},
    {"text sink with no room", false, false, nullptr, true, 0},
};

std::string item_text(const XmlAttrItem& item) {
  if (item.ok()) return std::string(item.attribute.key) + "=" + std::string(item.attribute.value);
  return "!" + std::to_string(static_cast<int>(item.error));
}

// A tag as "name|items": the well-formed attributes that `keep` accepts, from a whole tag.
std::string expected_tag(const XmlEvent& ev, KeyFilter keep) {
  std::string out = std::string(ev.name()) + "|";
  XmlAttributes attrs = ev.attributes();
  while (auto item = attrs.next()) {
    if (item->ok() && keep(item->attribute.key)) out += item_text(*item) + ";";
  }
  return out;
}

// A tag as "name|items" from a filtered payload: every item, errors included, so that an item
// that should not be there shows.
std::string filtered_tag(const XmlEvent& ev) {
  std::string out = std::string(ev.name()) + "|";
  XmlAttributes attrs = ev.attributes();
  while (auto item = attrs.next()) out += item_text(*item) + ";";
  return out;
}

// The event stream in `mode`; with `as_reference`, the stream of the default mode made to look
// like what `mode` should give.
Events events_in(std::string_view doc, std::size_t buffer, const Mode& mode, bool as_reference) {
  MemorySource source(doc);
  XmlPullReader reader(source, buffer);
  if (!as_reference) {
    reader.set_drop_text(mode.drop_text);
    reader.set_drop_markup(mode.drop_markup);
    reader.set_attribute_filter(mode.filter);
  }
  Gather gather;
  gather.room_ = mode.room;
  if (!as_reference && mode.sink) reader.set_text_sink(&gather);
  Events out;
  std::string scratch;
  for (int guard = 0; guard < 100000; ++guard) {
    Result<XmlEvent> r = reader.next_event(scratch);
    if (!r) {
      out.push_back("error:" + r.error().display());
      return out;
    }
    const XmlEvent& ev = r.value();
    std::string payload(ev.bytes);
    if (ev.kind == XmlEventKind::Text && !as_reference && mode.sink) {
      EXPECT_TRUE(ev.bytes.empty());
      payload = gather.text;
    } else {
      EXPECT_TRUE(gather.text.empty()) << kind_name(ev.kind);
    }
    gather.text.clear();
    switch (ev.kind) {
      case XmlEventKind::Start:
      case XmlEventKind::Empty:
        if (mode.filter) payload = as_reference ? expected_tag(ev, mode.filter) : filtered_tag(ev);
        break;
      case XmlEventKind::Text:
        if (mode.drop_text && as_reference) payload.clear();
        break;
      case XmlEventKind::CData:
      case XmlEventKind::Comment:
      case XmlEventKind::Decl:
      case XmlEventKind::PI:
      case XmlEventKind::DocType:
      case XmlEventKind::GeneralRef:
        if (mode.drop_markup && as_reference) payload.clear();
        break;
      default: break;
    }
    out.push_back(std::string(kind_name(ev.kind)) + ":" + payload);
    if (ev.kind == XmlEventKind::Eof) return out;
  }
  ADD_FAILURE() << "no end";
  return out;
}

// Documents for the comparison: the table above, tags with every attribute form, and two
// families of random documents from a fixed seed.
std::vector<std::string> mode_corpus() {
  std::vector<std::string> docs;
  for (const Case& c : event_cases()) docs.push_back(c.doc);
  const char* tags[] = {
      "e k=\"1\" k=\"2\"", "e k='1' k='a b=\"c\"' m='3'", "e k='1' k = '2' m='3'", "e k='1' k",
      "e a='1' b", "e a='1' b c='2'", "e a='1' b=", "e a='1' b=2 c='3'", "e a='1'b='2'",
      "e a = '1'\tb=\"2\"\nc='3'", "e x:k='1' k='2' K='3'", "e k='x/' ", "e k=' / '", "e =='1' k='2'",
      "e k==''", "e k='' k='' k=''", "e x='1' x='a k=\"v\"' k='w'", "e x=y k='1'", "e k='1' x x k='2'",
      "e/", "e k='1'/ ", "e k/", "e k=/", "e k='a'/", "e  k  =  \"1\"  ", "e\tk='\t'",
  };
  for (const char* t : tags) {
    docs.push_back(std::string("<") + t + ">");
    docs.push_back(std::string("<") + t + "/>");
    docs.push_back(std::string("<r><") + t + "/></r>");
  }
  std::mt19937 rng(20240611);
  const std::string bytes = "<>/=\"' \tak!-?&;[]xX\n\r\xFF\xC3\xA9";
  for (int n = 0; n < 3000; ++n) {
    std::string doc;
    const std::size_t len = rng() % 40;
    for (std::size_t i = 0; i < len; ++i) doc += bytes[rng() % bytes.size()];
    docs.push_back(doc);
  }
  const char* pieces[] = {" ", "\t", "k", "p", "=", "'", "\"", "v", "k='1'", "k=\"a b\"", "p='x'",
                          "k='x k=\"y\"'", "/", "a", "tag='t'", "value=\"", "param"};
  for (int n = 0; n < 3000; ++n) {
    std::string doc = "<e";
    const std::size_t len = rng() % 12;
    for (std::size_t i = 0; i < len; ++i) doc += pieces[rng() % std::size(pieces)];
    doc += rng() % 2 ? "/>" : "></e>";
    docs.push_back(doc);
  }
  return docs;
}

}  // namespace

TEST(XmlPullReader, ModesKeepKindsOrderErrorsAndTheKeptAttributes) {
  const std::vector<std::string> docs = mode_corpus();
  for (const Mode& mode : kModes) {
    for (const std::string& doc : docs) {
      const Events want = events_in(doc, 8192, mode, true);
      for (std::size_t size : {1, 2, 3, 5, 8192}) {
        const Events got = events_in(doc, size, mode, false);
        ASSERT_EQ(got.size(), want.size()) << mode.what << " / " << size << " / " << doc;
        for (std::size_t i = 0; i < got.size(); ++i) {
          const bool same = got[i] == want[i] || (got[i].rfind("Text:", 0) == 0 && want[i].rfind("Text:", 0) == 0 &&
                                                  gathered_is(got[i].substr(5), want[i].substr(5), mode.room));
          ASSERT_TRUE(same) << mode.what << " / " << size << " / " << doc << " / " << got[i] << " / " << want[i];
        }
      }
    }
  }
}

TEST(XmlPullReader, WhiteSpaceRunsOfAnyLengthAreKeptOrTrimmedExactly) {
  const std::string runs[] = {
      " ", "\t\t", "\n\n\n", "    ", std::string(127, ' '), std::string(128, '\r'), std::string(16385, ' '),
      " \t \t \t \t", std::string(5000, '\t') + std::string(3, ' ') + std::string(300, '\n'),
  };
  const std::string words[] = {"x", std::string("\0", 1), std::string("\0\0y", 3), "\xC3\xA9"};
  for (const std::string& run : runs) {
    for (const std::string& word : words) {
      const std::string body = word + run + word + run + word;
      const std::string text_doc = "<a>" + body + run + "</a" + run + ">";
      const std::string spaced_doc = "<a></a" + body + run + ">";
      const std::string shown = text::is_valid_utf8(body) ? "a" + body : "";
      for (std::size_t size : {1, 3, 4096, 8192}) {
        EXPECT_EQ(tokenize(text_doc, size), (Events{"Start:a", "Text:" + body, "End:a", "Eof:"})) << size;
        EXPECT_EQ(tokenize(spaced_doc, size),
                  (Events{"Start:a", kXmlErr + "ill-formed document: expected `</a>`, but `</" + shown + ">` was found"}))
            << size;
      }
    }
  }
}

TEST(XmlPullReader, WhiteSpaceOfUnknownFateIsNotHeld) {
  const std::string run = std::string(2'000'000, ' ') + std::string(1'000'000, '\n');
  struct Big {
    std::string doc;
    std::vector<XmlEventKind> kinds;  // the event to look at comes last
    std::string error;
  };
  const std::string mismatch = "xml error: ill-formed document: expected `</a>`, but `</>` was found";
  const Big cases[] = {
      {"<a>x" + run + "</a>", {XmlEventKind::Start, XmlEventKind::Text}, ""},
      {"<a></a" + run + ">", {XmlEventKind::Start, XmlEventKind::End}, ""},
      {"<a></a" + run + "\xFF>", {XmlEventKind::Start}, mismatch},
      {"<a></a" + run + "b" + run + "\xFF" + run + ">", {XmlEventKind::Start}, mismatch},
      {"<a></a" + run + "b\xC3" + run + ">", {XmlEventKind::Start}, mismatch},
      {"<a></\xFF" + run + "b" + run + ">", {XmlEventKind::Start}, mismatch},
      {"<a></b\xFF" + std::string(3'000'000, 'c') + ">", {XmlEventKind::Start}, mismatch},
  };
  for (const Big& c : cases) {
    MemorySource source(c.doc);
    XmlPullReader reader(source);
    std::string scratch;
    for (XmlEventKind kind : c.kinds) {
      Result<XmlEvent> ev = reader.next_event(scratch);
      ASSERT_TRUE(ev.ok());
      EXPECT_EQ(ev.value().kind, kind);
    }
    if (!c.error.empty()) {
      Result<XmlEvent> ev = reader.next_event(scratch);
      ASSERT_FALSE(ev.ok());
      EXPECT_EQ(ev.error().display(), c.error);
    }
    EXPECT_LT(scratch.capacity(), 4096u) << c.doc.substr(0, 8);
  }
  // Through a sink, a text's pieces are of bounded size, and white space that turns out to be
  // inside the text arrives whole.
  struct Sizes final : text::TextSink {
    void piece(std::string_view bytes) override {
      largest = std::max(largest, bytes.size());
      total += bytes.size();
    }
    std::uint64_t room() const override { return UINT64_MAX; }
    void unheld_space(std::uint64_t) override { ADD_FAILURE(); }
    std::size_t largest = 0, total = 0;
  } sizes;
  const std::string doc = "<a>x" + run + "y" + run + "</a>";
  MemorySource source(doc);
  XmlPullReader reader(source);
  reader.set_text_sink(&sizes);
  std::string scratch;
  ASSERT_TRUE(reader.next_event(scratch).ok());
  ASSERT_TRUE(reader.next_event(scratch).ok());
  EXPECT_EQ(sizes.total, run.size() + 2);
  EXPECT_LE(sizes.largest, 8192u);
  EXPECT_LT(scratch.capacity(), 4096u);
}

TEST(XmlPullReader, NamesOnlyModeGivesTheBareName) {
  MemorySource source("<a k='1' j=\"x>y\"><b/></a>");
  XmlPullReader reader(source, 3);
  reader.set_attribute_filter(XmlPullReader::no_attributes);
  std::string scratch;
  Events seen;
  for (;;) {
    Result<XmlEvent> ev = reader.next_event(scratch);
    ASSERT_TRUE(ev.ok());
    if (ev.value().kind == XmlEventKind::Eof) break;
    seen.push_back(std::string(kind_name(ev.value().kind)) + ":" + std::string(ev.value().bytes));
  }
  EXPECT_EQ(seen, (Events{"Start:a", "Empty:b", "End:a"}));
}

TEST(XmlPullReader, DroppedContentIsNotHeld) {
  const std::string big(3'000'000, 'v');
  struct Big {
    std::string doc;
    Mode mode;
    XmlEventKind kind;
  };
  const Big cases[] = {
      {"<!--" + big + "-->", {"", false, true, nullptr}, XmlEventKind::Comment},
      {"<![CDATA[" + big + "]]>", {"", false, true, nullptr}, XmlEventKind::CData},
      {"<?pi " + big + "?>", {"", false, true, nullptr}, XmlEventKind::PI},
      {"<?xml " + big + "?>", {"", false, true, nullptr}, XmlEventKind::Decl},
      {"<!DOCTYPE " + big + ">", {"", false, true, nullptr}, XmlEventKind::DocType},
      {"&" + big + ";", {"", false, true, nullptr}, XmlEventKind::GeneralRef},
      {"<e other='" + big + "' k='1'/>", {"", false, false, &keep_k}, XmlEventKind::Empty},
      {"<e " + big + "='1' k='1'/>", {"", false, false, &keep_k}, XmlEventKind::Empty},
      {"<e k='1' " + big + "/>", {"", false, false, &XmlPullReader::no_attributes}, XmlEventKind::Empty},
  };
  for (const Big& c : cases) {
    MemorySource source(c.doc);
    XmlPullReader reader(source);
    reader.set_drop_markup(c.mode.drop_markup);
    reader.set_attribute_filter(c.mode.filter);
    std::string scratch;
    Result<XmlEvent> ev = reader.next_event(scratch);
    ASSERT_TRUE(ev.ok()) << static_cast<int>(c.kind);
    EXPECT_EQ(ev.value().kind, c.kind);
    EXPECT_LT(scratch.capacity(), 4096u) << static_cast<int>(c.kind);
    EXPECT_EQ(reader.position(), c.doc.size());
  }
  // A kept value is held, whole.
  const std::string doc = "<e k='" + big + "'/>";
  MemorySource source(doc);
  XmlPullReader reader(source, 7);
  reader.set_attribute_filter(keep_k);
  std::string scratch;
  Result<XmlEvent> ev = reader.next_event(scratch);
  ASSERT_TRUE(ev.ok());
  std::optional<XmlAttrItem> item = ev.value().attributes().next();
  ASSERT_TRUE(item && item->ok());
  EXPECT_EQ(item->attribute.value, big);
}

TEST(XmlPullReader, KeysBeyondTheMemoryLimitAreNotTakenForRepeats) {
  // After a repeated key, reading resumes at the next white space, so whether `x` repeats
  // decides whether `k` is "p" or "q".
  const std::string tail = " x='1' x='a k=\"p\"' k='q'/>";
  const auto kept = [](const std::string& doc, KeyFilter filter) {
    MemorySource source(doc);
    XmlPullReader reader(source);
    reader.set_attribute_filter(filter);
    std::string scratch;
    Result<XmlEvent> ev = reader.next_event(scratch);
    EXPECT_TRUE(ev.ok());
    return filter ? filtered_tag(ev.value()) : expected_tag(ev.value(), keep_k);
  };
  EXPECT_EQ(kept("<e" + tail, nullptr), "e|k=p;");
  EXPECT_EQ(kept("<e" + tail, keep_k), "e|k=p;");

  std::string many = "<e";
  for (std::size_t i = 0; many.size() < 2 * XmlPullReader::kKeyMemory; ++i) many += " a" + std::to_string(i) + "=''";
  EXPECT_EQ(kept(many + tail, nullptr), "e|k=p;");
  // Past the limit `x` is not remembered, so its second occurrence reads as a first one.
  EXPECT_EQ(kept(many + tail, keep_k), "e|k=q;");
  // A kept key is always remembered.
  EXPECT_EQ(kept(many + " k='1' k='2'/>", keep_k), "e|k=1;");
  // The same for a key longer than the limit.
  const std::string huge(XmlPullReader::kKeyMemory + 1, 'x');
  const std::string long_tail = " " + huge + "='1' " + huge + "='a k=\"p\"' k='q'/>";
  EXPECT_EQ(kept("<e" + long_tail, nullptr), "e|k=p;");
  EXPECT_EQ(kept("<e" + long_tail, keep_k), "e|k=q;");
  // Keys up to the limit are remembered.
  const std::string fits(XmlPullReader::kKeyMemory / 2, 'x');
  const std::string fit_tail = " " + fits + "='1' " + fits + "='a k=\"p\"' k='q'/>";
  EXPECT_EQ(kept("<e" + fit_tail, keep_k), "e|k=p;");
}

TEST(XmlPullReader, OpenTagStackCostsANameAndItsLength) {
  struct Nest {
    std::string name;
    std::size_t per_level;
  };
  const Nest cases[] = {{"a", 2}, {std::string(127, 'n'), 128}, {std::string(128, 'n'), 130}, {"", 1}};
  for (const Nest& c : cases) {
    const int depth = 50000;
    std::string doc;
    for (int i = 0; i < depth; ++i) doc += "<" + c.name + ">";
    for (int i = 0; i < depth; ++i) doc += "</" + c.name + ">";
    MemorySource source(doc);
    XmlPullReader reader(source);
    reader.set_attribute_filter(XmlPullReader::no_attributes);
    std::string scratch;
    std::size_t most = 0;
    for (;;) {
      Result<XmlEvent> ev = reader.next_event(scratch);
      ASSERT_TRUE(ev.ok());
      if (ev.value().kind == XmlEventKind::Eof) break;
      if (ev.value().kind == XmlEventKind::End) EXPECT_EQ(ev.value().bytes, c.name);
      most = std::max(most, reader.stack_bytes());
    }
    EXPECT_EQ(most, depth * c.per_level) << c.name.size();
    EXPECT_EQ(reader.stack_bytes(), 0u);
  }
}

TEST(NameStack, PushPopAndLookBelowTheTop) {
  std::vector<std::string> names = {"", "a", std::string(127, 'x'), std::string(128, 'y'),
                                    std::string(16383, 'z'), std::string(16384, '\x80'),
                                    "\xFF\xFE\x80", std::string(300000, '\xFF'), "b"};
  NameStack stack;
  std::size_t bytes = 0;
  for (const std::string& n : names) {
    stack.push(n);
    bytes += n.size() + (n.size() < 128 ? 1 : n.size() < 16384 ? 2 : 3);
    EXPECT_EQ(stack.top(), n);
  }
  EXPECT_EQ(stack.bytes(), bytes);
  ASSERT_EQ(stack.size(), names.size());
  for (std::size_t k = 0; k < names.size(); ++k) EXPECT_EQ(stack.from_top(k), names[names.size() - 1 - k]) << k;
  while (!names.empty()) {
    EXPECT_EQ(stack.pop(), names.back());
    names.pop_back();
    EXPECT_EQ(stack.size(), names.size());
    if (!names.empty()) EXPECT_EQ(stack.top(), names.back());
  }
  EXPECT_EQ(stack.bytes(), 0u);
}
