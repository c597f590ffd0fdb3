#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tolvanex/dispatch.hpp"
#include "tolvanex/json.hpp"
#include "tolvanex/parsers/abaqus.hpp"

using namespace tolvanex;
namespace abaqus = tolvanex::parsers::abaqus;
namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "tvx-abaqus-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string str() const { return path_.string(); }

  // Writes a file (creating its directories) and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    const fs::path p = path_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }

 private:
  fs::path path_;
};

// The summary as JSON, or "ERROR " and the error's text.
std::string outcome(const Result<AbaqusInpSummary>& r) {
  return r ? json::write(r.value()) : "ERROR " + r.error().display();
}

std::string expect_json(const AbaqusInpSummary& s) { return json::write(s); }

// Inspects with the default settings, and checks that every chunk size, block kernel and
// open-deck limit gives the very same outcome; chunk sizes down to one byte cut every
// character, keyword and value across reads.
enum class Depth { Thorough, Light, Minimal };

std::string scan(const std::string& path, Depth depth = Depth::Thorough) {
  const std::string expected = outcome(abaqus::inspect_abaqus_inp(path));
  const std::vector<std::size_t> chunks =
      depth == Depth::Thorough ? std::vector<std::size_t>{1, 2, 3, 5, 63, 64, 65, 127, 200, 4096}
      : depth == Depth::Light  ? std::vector<std::size_t>{7, 64, 1000}
                               : std::vector<std::size_t>{64};
  for (const std::size_t chunk : chunks)
    for (const auto kernel :
         {abaqus::BlockKernel::None, abaqus::BlockKernel::Sse2, abaqus::BlockKernel::Avx2})
      for (const std::size_t open : {std::size_t{1}, std::size_t{16}}) {
        const abaqus::DeckReadOptions options{chunk, open, kernel};
        EXPECT_EQ(outcome(abaqus::inspect_abaqus_inp(path, options)), expected)
            << "chunk " << chunk << " kernel " << static_cast<int>(kernel) << " open " << open;
      }
  return expected;
}

const std::string kInvalidUtf8 = "ERROR io error: stream did not contain valid UTF-8";

// ---------------------------------------------------------------------------------------

TEST(Abaqus, EmptyDeckRecordJson) {
  TempDir dir;
  const std::string path = dir.write("a.inp", "");
  auto record = dispatch::inspect_path(path, InspectOptions{});
  ASSERT_TRUE(record) << record.error().display();
  EXPECT_EQ(json::write(record.value()),
            R"({"file_name":"a.inp","format":"abaqus-inp","ok":true,"warnings":[],)"
            R"("summary":{"kind":"abaqus-inp","data":{"title":null,"includes":[],"node_count":0,)"
            R"("element_count":0,"materials":[],"sections":[],"steps":[],"boundary_keywords":[],)"
            R"("load_keywords":[],"output_keywords":[],"unknown_keywords":[]}}})");
}

TEST(Abaqus, BlankAndCommentOnlyDecksAreEmpty) {
  TempDir dir;
  for (const std::string text : {"\n\n  \t\n", "**\n** comment\n  ** indented comment\r\n",
                                 "**\xC2\xA0\n\xE3\x80\x80\n"}) {
    EXPECT_EQ(scan(dir.write("a.inp", text)), expect_json({})) << text;
  }
}

// Every row of the keyword table, in one deck.
TEST(Abaqus, KeywordRules) {
  TempDir dir;
  dir.write("nodes.inp", "*MARKER_IF_READ\n");
  const char* lines[] = {
      "*HEADING",                                     // 1f
      "Rules deck",                                   // title
      "*TEMPERATURE",                                 // 1a
      "*dsload",                                      // 1a, upper-cased
      "*Cload, op=NEW",                               // 1a
      "*DLOAD",                                       // 1a
      "*CFLUX",                                       // 1a
      "*DFLUX",                                       // 1a
      "*Material, name=Steel",                        // 1b, value keeps its case
      "*MATERIAL, NAME=STEEL",                        // 1b
      "*MATERIAL, NAME",                              // 1b: empty name
      "*MATERIAL",                                    // 1b without NAME: nothing, not unknown
      "*MATERIAL, NAME=A, name=B",                    // 1b: the later value wins
      "*Material, Name = \" Quoted Name \" ",         // 1b: trimmed, quotes kept
      "*MATERIAL, NAMES=X, NAM=Y",                    // 1b: other names are not NAME
      "*END STEP",                                    // 1c outside a step: nothing
      "*STEP, name=S1",                               // 1d
      "*STATIC",                                      // 4
      "*Dynamic",                                     // 4
      "*FREQUENCY",                                   // 4
      "*heat transfer",                               // 4
      "*STATIC",                                      // 4 again: listed once
      "*BOUNDARY",                                    // 1e inside a step
      "*End Step",                                    // 1c
      "*STATIC",                                      // 5: known, dropped outside a step
      "*DYNAMIC",                                     // 5
      "*HEAT TRANSFER",                               // 5
      "*FREQUENCY",                                   // 6: not in the known table
      "*Boundary, op=NEW",                            // 1e
      "*INCLUDE",                                     // 1g without INPUT: nothing
      "*INCLUDE, INPUT=missing.inc",                  // 1g: listed, no such file
      "*Include, Input = sub dir/x.inc , password=1", // 1g: listed trimmed, no such file
      "*NODE OUTPUT",                                 // 2: contains OUTPUT
      "*ELEMENT OUTPUT, variable=PRESELECT",          // 2
      "*CONTACT OUTPUT",                              // 2
      "*OUTPUT, FIELD",                               // 2
      "*EL PRINT",                                    // 2: ends with PRINT
      "*NODE PRINT, nset=all",                        // 2
      "*SECTION PRINT",                               // 2 before 3
      "*FILE",                                        // 2: ends with FILE
      "*EL FILE",                                     // 2
      "*Solid Section, elset=E1, material=Steel",     // 3
      "*SHELL SECTION, ELSET=E2",                     // 3 without MATERIAL
      "*beam section, material = Alu , elset=E3",     // 3
      "*COHESIVE SECTION, MATERIAL=glue, material=Glue2",  // 3: later value wins
      "*SURFACE SECTION, MATERIAL",                   // 3: MATERIAL without a value
      "*ELASTIC",                                     // 5
      "*DENSITY",                                     // 5
      "*NSET, NSET=N1",                               // 5
      "*ELSET, ELSET=E1",                             // 5
      "*NODE, INPUT=nodes.inp",                       // 5: INPUT not followed, not listed
      "1, 0., 0., 0.",
      "*ELEMENT, TYPE=C3D8",                          // 5
      "1, 1, 2, 3, 4, 5, 6, 7, 8",
      "*SPRING",                                      // 6
      "*b",                                           // 6
      "*B",                                           // 6: same text, listed once
      "*",                                            // 6: empty keyword
      "*,",                                           // 6: empty keyword
      "* ,,",                                         // 6: empty keyword
      "* *",                                          // 6: keyword "*"
      "*A=B, C",                                      // 6: the keyword is not split at '='
      "*keyword with   spaces  ,",                    // 6: inner spaces kept
      "*\xC3\xbcnicode",                              // 6: only a-z are upper-cased
      "*, NODE",                                      // 5: leading empty part skipped
      "2, 0., 0., 0.",
      "*NODE,,NSET=A,",                               // 5: doubled and trailing commas
      "3, 0., 0., 0.",
  };
  std::string deck;
  for (const char* l : lines) deck += std::string(l) + "\n";
  const AbaqusInpSummary expected{
      .title = "Rules deck",
      .includes = {"missing.inc", "sub dir/x.inc"},
      .node_count = 3,
      .element_count = 1,
      .materials = {"", "\" Quoted Name \"", "B", "STEEL", "Steel"},
      .sections = {"BEAM SECTION:Alu", "COHESIVE SECTION:Glue2", "SHELL SECTION",
                   "SOLID SECTION:Steel", "SURFACE SECTION:"},
      .steps = {"DYNAMIC", "FREQUENCY", "HEAT TRANSFER", "STATIC"},
      .boundary_keywords = {"BOUNDARY"},
      .load_keywords = {"CFLUX", "CLOAD", "DFLUX", "DLOAD", "DSLOAD", "TEMPERATURE"},
      .output_keywords = {"CONTACT OUTPUT", "EL FILE", "EL PRINT", "ELEMENT OUTPUT", "FILE",
                          "NODE OUTPUT", "NODE PRINT", "OUTPUT", "SECTION PRINT"},
      .unknown_keywords = {"", "*", "A=B", "B", "FREQUENCY", "KEYWORD WITH   SPACES",
                           "SPRING", "\xC3\xbcNICODE"},
  };
  EXPECT_EQ(scan(dir.write("rules.inp", deck)), expect_json(expected));
}

TEST(Abaqus, TitleComesFromTheFirstHeadingFollowedByDataInTheSameDeck) {
  TempDir dir;
  dir.write("sub/b.inc",
            "not a title: b starts without a heading\n"
            "*HEADING\n** comment\n\n \xC2\xA0 Bracket model, rev 2 \t\xE3\x80\x80\r\n"
            "*HEADING\nOther\n");
  const std::string a = dir.write("a.inp",
                                  "*HEADING\n"                       // followed by a keyword
                                  "*INCLUDE, INPUT=sub/b.inc\n"
                                  "not a title either\n"
                                  "*HEADING\nLater title\n");
  EXPECT_EQ(scan(a), expect_json({.title = "Bracket model, rev 2", .includes = {"sub/b.inc"}}));

  // A heading whose data line is the deck's last line, without a line feed.
  EXPECT_EQ(scan(dir.write("c.inp", "*Heading\n  last line ")),
            expect_json({.title = "last line"}));
  // A heading in an including deck is not completed by the included deck's data.
  dir.write("d.inc", "Title of d\n");
  EXPECT_EQ(scan(dir.write("e.inp", "*HEADING\n*INCLUDE,INPUT=d.inc\n")),
            expect_json({.includes = {"d.inc"}}));
}

TEST(Abaqus, NodeAndElementLinesCountOnlyUnderNodeAndElement) {
  TempDir dir;
  dir.write("more.inc", "4, 0, 0\n*ELEMENT\n1, 1\n");
  const std::string a = dir.write(
      "a.inp",
      "*NODE\n1, 0, 0\n** comment inside\n2, 1, 0\n\n   \n3, 1, 1\n"
      "*INCLUDE, INPUT=more.inc\n"   // more.inc begins with no keyword
      "5, 5, 5\n"                    // the current keyword is now INCLUDE
      "*NODE OUTPUT\nU\n"
      "*NODE, NSET=x\n6\n"
      "*NSET\n1, 2\n"
      "*ELEMENT\n1, 1, 2\n   2, 2, 3\n\t3, 3, 4\n\xC2\xA0" "4, 4, 5\n"
      "*NODE PRINT\nU\n*HEADING\ntitle line\n*NODES\n7\n*node\n8");
  EXPECT_EQ(scan(a), expect_json({.title = "title line",
                                  .includes = {"more.inc"},
                                  .node_count = 5,
                                  .element_count = 5,
                                  .output_keywords = {"NODE OUTPUT", "NODE PRINT"},
                                  .unknown_keywords = {"NODES"}}));
}

// Long runs of data lines go through the block kernels: every kind of line start, with
// leading blanks of every length up to beyond a block, must be classified as byte by byte.
TEST(Abaqus, DataLineRunsOfEveryShape) {
  struct Row {
    std::string text;
    bool data;  // whether it counts under *NODE
  };
  const Row rows[] = {
      {"1, 2., 3.", true},
      {"", false},
      {"\t", false},
      {" \t 7, 8", true},
      {"\r", false},                // a blank line with CR LF
      {"12,\t3.,\t4.\r", true},
      {"** comment", false},
      {"\t** comment", false},
      {"\xC2\xA0" "9", true},       // NBSP, then data
      {"\xC2\xA0\xE3\x80\x80", false},
      {"\x0B" "1", true},           // vertical tab is white space
      {"\x0C", false},              // so is form feed
      {"\x01", true},               // other controls are not
      {std::string(1, '\0'), true},
      {"\xC3\xA9t\xC3\xA9", true},
      {"\x7F", true},
      {"\xEF\xBB\xBF", true},       // U+FEFF is not white space
      {std::string(150, '9'), true},
  };
  std::string body;
  std::uint64_t expected = 0;
  for (int i = 0; i < 4000; ++i) {
    const Row& row = rows[i % std::size(rows)];
    body += std::string(static_cast<std::size_t>(i * 7 % 131), i % 3 ? ' ' : '\t') + row.text + "\n";
    expected += row.data;
  }
  TempDir dir;
  const std::string deck = "*HEADING\n" + std::string(200, ' ') + "T i t l e\n" + body +
                           "*NODE\n" + body + "*ELEMENT\n" + body + "*NSET\n" + body;
  EXPECT_EQ(scan(dir.write("a.inp", deck), Depth::Light),
            expect_json({.title = "T i t l e", .node_count = expected, .element_count = expected}));
}

// Decks pieced together at random from the characters that matter to the scanner: every
// way of cutting them into reads, and every kernel, must agree.
TEST(Abaqus, RandomDecksGiveTheSameSummaryHoweverTheyAreRead) {
  const std::string pieces[] = {
      "*", "**", ",", "=", " ", "\t", "\r", "\n", "\n", "\n", "\r\n", "\xC2\xA0", "\xE3\x80\x80",
      "\xC2\x85", "\xEF\xBB\xBF", "\xF0\x9F\x98\x80", "\xC3\xA9", "NODE", "node", "ELEMENT",
      "NAME", "name", "MATERIAL", "SECTION", "Solid Section", "HEADING", "INCLUDE", "INPUT",
      "STEP", "END STEP", "STATIC", "OUTPUT", "PRINT", "1, 2., 3.", "      17", "x",
      std::string(70, ' '), std::string(40, 'k')};
  std::mt19937 random(20240611);
  TempDir dir;
  for (int deck = 0; deck < 150; ++deck) {
    std::string text;
    const int count = static_cast<int>(random() % 400);
    for (int i = 0; i < count; ++i) text += pieces[random() % std::size(pieces)];
    const std::string got = scan(dir.write("r.inp", text), Depth::Light);
    EXPECT_NE(got.rfind("{", 0), std::string::npos) << got;  // a summary, not an error
  }
}

TEST(Abaqus, StepStateBelongsToOneDeck) {
  TempDir dir;
  dir.write("b.inc", "*STATIC\n*DYNAMIC\n*STEP\n");
  const std::string a = dir.write("a.inp",
                                  "*STEP\n*INCLUDE, INPUT=b.inc\n*HEAT TRANSFER\n*END STEP\n"
                                  "*INCLUDE, INPUT=c.inc\n*FREQUENCY\n");
  dir.write("c.inc", "*STEP\n");
  EXPECT_EQ(scan(a), expect_json({.includes = {"b.inc", "c.inc"},
                                  .steps = {"HEAT TRANSFER"},
                                  .unknown_keywords = {"FREQUENCY"}}));
}

TEST(Abaqus, IncludesResolveAgainstTheIncludingDecksDirectory) {
  TempDir dir;
  dir.write("c.inc", "*MATERIAL, NAME=top level c\n");
  dir.write("sub/c.inc", "*MATERIAL, NAME=sub c\n*INCLUDE, INPUT=../d.inc\n");
  dir.write("sub/b.inc", "*MATERIAL, NAME=b\n*INCLUDE, INPUT=c.inc\n");
  dir.write("d.inc", "*MATERIAL, NAME=d\n");
  const std::string abs = dir.write("abs/e.inc", "*MATERIAL, NAME=e\n");
  const std::string a =
      dir.write("a.inp", "*INCLUDE, INPUT=sub/b.inc\n*INCLUDE, INPUT=" + abs + "\n");
  EXPECT_EQ(scan(a), expect_json({.includes = {"sub/b.inc", "c.inc", "../d.inc", abs},
                                  .materials = {"b", "d", "e", "sub c"}}));
}

TEST(Abaqus, RelativeTopLevelPathKeepsIncludesRelative) {
  TempDir dir;
  dir.write("b.inc", "*NODE\n1\n");
  dir.write("a.inp", "*INCLUDE, INPUT=b.inc\n");
  const fs::path old = fs::current_path();
  fs::current_path(dir.str());
  const std::string got = scan("a.inp");
  fs::current_path(old);
  EXPECT_EQ(got, expect_json({.includes = {"b.inc"}, .node_count = 1}));
}

TEST(Abaqus, EachFileIsReadOnce) {
  TempDir dir;
  // A cycle: each deck is read once, both values are listed.
  const std::string a = dir.write("a.inp", "*NODE\n1\n*INCLUDE, INPUT=b.inp\n");
  dir.write("b.inp", "*NODE\n2\n*INCLUDE, INPUT=a.inp\n*ELEMENT\n1\n");
  EXPECT_EQ(scan(a), expect_json({.includes = {"b.inp", "a.inp"}, .node_count = 2, .element_count = 1}));

  // One file under several names: twice the same, another relative path, a symbolic link.
  dir.write("sub/x.inc", "*NODE\n1\n2\n");
  fs::create_symlink("sub/x.inc", dir / "link.inc");
  const std::string c = dir.write("c.inp",
                                  "*INCLUDE, INPUT=sub/x.inc\n*INCLUDE, INPUT=sub/x.inc\n"
                                  "*INCLUDE, INPUT=./sub/../sub//x.inc\n*INCLUDE, INPUT=link.inc\n");
  EXPECT_EQ(scan(c), expect_json({.includes = {"sub/x.inc", "sub/x.inc", "./sub/../sub//x.inc",
                                               "link.inc"},
                                  .node_count = 2}));

  // The top-level deck reached again through a link.
  fs::create_symlink("d.inp", dir / "d-link.inp");
  const std::string d = dir.write("d.inp", "*NODE\n1\n*INCLUDE, INPUT=d-link.inp\n");
  EXPECT_EQ(scan(d), expect_json({.includes = {"d-link.inp"}, .node_count = 1}));
}

TEST(Abaqus, TargetsThatAreNoRegularFileAreListedAndSkipped) {
  TempDir dir;
  fs::create_directories(dir / "folder.inc");
  ASSERT_EQ(::mkfifo((dir / "pipe.inc").c_str(), 0600), 0);
  fs::create_symlink("nowhere.inc", dir / "dangling.inc");
  const std::string a = dir.write(
      "a.inp", "*INCLUDE, INPUT=missing.inc\n*INCLUDE, INPUT=folder.inc\n"
               "*INCLUDE, INPUT=pipe.inc\n*INCLUDE, INPUT=dangling.inc\n"
               "*INCLUDE, INPUT=\n*INCLUDE, INPUT=a\0b.inc\n*NODE\n1\n"s);
  EXPECT_EQ(scan(a), expect_json({.includes = {"missing.inc", "folder.inc", "pipe.inc",
                                               "dangling.inc", "", "a\0b.inc"s},
                                  .node_count = 1}));
}

TEST(Abaqus, QuotedValuesAreFollowedOnlyWhenTheNameHoldsTheQuotes) {
  TempDir dir;
  dir.write("q.inc", "*MATERIAL, NAME=plain\n");
  const std::string a = dir.write("a.inp", "*INCLUDE, INPUT=\"q.inc\"\n");
  EXPECT_EQ(scan(a), expect_json({.includes = {"\"q.inc\""}}));
  dir.write("\"q.inc\"", "*MATERIAL, NAME=quoted\n");
  EXPECT_EQ(scan(a), expect_json({.includes = {"\"q.inc\""}, .materials = {"quoted"}}));
}

TEST(Abaqus, InvalidUtf8AnywhereFailsTheWholeInspection) {
  TempDir dir;
  // In a nested deck.
  dir.write("c.inc", "*NODE\n1\n\xC3(\n");
  dir.write("sub/b.inc", "*NODE\n1\n*INCLUDE, INPUT=../c.inc\n");
  EXPECT_EQ(scan(dir.write("a.inp", "*INCLUDE, INPUT=sub/b.inc\n")), kInvalidUtf8);
  // At the very start, in a keyword, cut at the end, a surrogate, an overlong form.
  for (const std::string bad : {"\xFF*NODE\n", "*NO\xE2\x82" "DE\n", "*NODE\n1\xE3\x80",
                                "*NODE, NSET=\xED\xA0\x80\n", "\xC0\xAF\n"})
    EXPECT_EQ(scan(dir.write("bad.inp", bad)), kInvalidUtf8) << bad;
  // Far into a long deck.
  std::string big = "*NODE\n";
  for (int i = 0; i < 20000; ++i) big += "      " + std::to_string(i) + ", 1., 2., 3.\n";
  EXPECT_EQ(scan(dir.write("big.inp", big + "\x80\n"), Depth::Light), kInvalidUtf8);
}

// A deck is wholly read and checked before any of its includes is followed: its own faults
// come first, even when they stand after the include line.
TEST(Abaqus, ErrorOrderIsThatOfReadingEachDeckWhole) {
  TempDir dir;
  // /proc/self/mem is a regular file whose first read fails.
  const std::string io5 = "ERROR io error: Input/output error (os error 5)";
  const std::string inc = "*INCLUDE, INPUT=/proc/self/mem\n";
  EXPECT_EQ(scan(dir.write("a.inp", inc)), io5);
  EXPECT_EQ(scan(dir.write("a.inp", "*NODE\n1\n" + inc + "*NODE\n2\n")), io5);
  EXPECT_EQ(scan(dir.write("a.inp", inc + "*NODE\n2\n\xFF")), kInvalidUtf8);
  EXPECT_EQ(scan(dir.write("a.inp", inc + std::string(5000, ' ') + "\n\xE3\x80")), kInvalidUtf8);
  // The same one level down, and with the faulty deck reached after a good one.
  dir.write("good.inc", "*NODE\n1\n");
  dir.write("b.inc", "*INCLUDE, INPUT=good.inc\n" + inc + "2\n\xFE\n");
  EXPECT_EQ(scan(dir.write("a.inp", "*INCLUDE, INPUT=b.inc\n")), kInvalidUtf8);
  dir.write("b.inc", "*INCLUDE, INPUT=good.inc\n" + inc + "2\n");
  EXPECT_EQ(scan(dir.write("a.inp", "*INCLUDE, INPUT=b.inc\n\xFE")), kInvalidUtf8);
  EXPECT_EQ(scan(dir.write("a.inp", "*INCLUDE, INPUT=b.inc")), io5);
}

TEST(Abaqus, TopLevelFailures) {
  TempDir dir;
  fs::create_directories(dir / "x.inp");
  EXPECT_EQ(scan(dir / "x.inp"), "ERROR io error: Is a directory (os error 21)");
  EXPECT_EQ(scan(dir / "missing.inp"), "ERROR io error: No such file or directory (os error 2)");
  EXPECT_EQ(outcome(abaqus::inspect_abaqus_inp("a\0.inp"s)),
            "ERROR io error: file name contained an unexpected NUL byte");
  auto record = dispatch::inspect_path(dir / "x.inp", InspectOptions{});
  ASSERT_FALSE(record);
  EXPECT_EQ(record.error().display(), "io error: Is a directory (os error 21)");
}

TEST(Abaqus, LineEndsAndWhiteSpace) {
  TempDir dir;
  const std::string lf =
      "*HEADING\nT\n*Material, name=Steel\n*NODE, NSET=all\n1, 2\n\n2, 3\n*INCLUDE, INPUT=b.inc\n";
  dir.write("b.inc", "*ELEMENT\n1\n");
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::string expected = expect_json(
      {.title = "T", .includes = {"b.inc"}, .node_count = 2, .element_count = 1, .materials = {"Steel"}});
  EXPECT_EQ(scan(dir.write("lf.inp", lf)), expected);
  EXPECT_EQ(scan(dir.write("crlf.inp", crlf)), expected);

  // CR alone ends no line: one keyword line, whose inner CRs stay.
  EXPECT_EQ(scan(dir.write("cr.inp", "*NODE\r1\r*Cload\r")),
            expect_json({.unknown_keywords = {"NODE\r1\r*CLOAD"}}));

  // Unicode white space is trimmed from lines, parts, names and values; U+FEFF is not.
  const std::string nbsp = "\xC2\xA0", ideo = "\xE3\x80\x80", nel = "\xC2\x85", bom = "\xEF\xBB\xBF";
  const std::string ws = dir.write(
      "ws.inp", nbsp + "*node, nset=all" + ideo + "\n" + ideo + " 1, 2" + nbsp + "\n" +
                    "*MATERIAL, NAME=" + nbsp + "Steel" + ideo + "\n" +
                    "*MATERIAL, NAME" + nbsp + "\xE2\x80\x83=" + "\xE2\x80\xA8" "Em" + nel + "\n" +
                    "*MATERIAL, NA" + nbsp + "ME=Split\n" +
                    "*MATERIAL, NAME=" + bom + "X" + bom + "\n" +
                    "*" + ideo + "Cload" + ideo + "," + nbsp + "\n");
  EXPECT_EQ(scan(ws), expect_json({.node_count = 1,
                                   .materials = {"Em", "Steel", bom + "X" + bom},
                                   .load_keywords = {"CLOAD"}}));

  // A byte order mark makes the first line a data line.
  EXPECT_EQ(scan(dir.write("bom.inp", bom + "*HEADING\nNot a title\n*NODE\n1\n")),
            expect_json({.node_count = 1}));
}

TEST(Abaqus, LastLineWithoutLineFeed) {
  TempDir dir;
  dir.write("b.inc", "*NODE\n1");
  EXPECT_EQ(scan(dir.write("a.inp", "*NODE\n1\n*INCLUDE, INPUT=b.inc")),
            expect_json({.includes = {"b.inc"}, .node_count = 2}));
  EXPECT_EQ(scan(dir.write("a.inp", "*MATERIAL, NAME=Last")), expect_json({.materials = {"Last"}}));
  EXPECT_EQ(scan(dir.write("a.inp", "*")), expect_json({.unknown_keywords = {""}}));
  EXPECT_EQ(scan(dir.write("a.inp", "**")), expect_json({}));
}

TEST(Abaqus, ListsAreSortedByBytesAndMergedAcrossDecks) {
  TempDir dir;
  dir.write("b.inc", "*MATERIAL, NAME=a\n*Zeta\n*alpha\n*Cload\n");
  const std::string a = dir.write(
      "a.inp", "*MATERIAL, NAME=a\n*MATERIAL, NAME=B\n*INCLUDE, INPUT=b.inc\n*ZETA\n*CLOAD\n"
               "*INCLUDE, INPUT=b.inc\n");
  EXPECT_EQ(scan(a), expect_json({.includes = {"b.inc", "b.inc"},
                                  .materials = {"B", "a"},
                                  .load_keywords = {"CLOAD"},
                                  .unknown_keywords = {"ALPHA", "ZETA"}}));
}

// Very long lines cost no more memory than the texts kept from them; here they straddle
// many reads of the scanner's default chunk.
TEST(Abaqus, LongLines) {
  TempDir dir;
  const std::string name(300000, 'm');
  const std::string blanks(270000, ' ');
  const std::string junk(400000, 'j');
  const std::string deck = "*HEADING\n" + blanks + "Title" + blanks + "x" + blanks + "\n" +
                           "*MATERIAL, JUNK=" + junk + ", NAME=" + blanks + name + blanks +
                           ", MORE=" + junk + "\n" + "*" + blanks + "NODE" + blanks + ",\n" +
                           blanks + "1, 2\n" + "*Cload" + std::string(70000, ',') + "\n";
  EXPECT_EQ(scan(dir.write("long.inp", deck), Depth::Light),
            expect_json({.title = "Title" + blanks + "x",
                         .node_count = 1,
                         .materials = {name},
                         .load_keywords = {"CLOAD"}}));
}

// Include chains far deeper than the C++ stack or the open-file limit would allow if each
// deck kept a frame and a descriptor; the last deck closes the cycle back to the first.
TEST(Abaqus, ChainOfThousandsOfDecks) {
  TempDir dir;
  constexpr int kDecks = 6000;
  std::vector<std::string> includes;
  for (int i = 0; i < kDecks; ++i) {
    const std::string next = "d" + std::to_string((i + 1) % kDecks) + ".inc";
    includes.push_back(next);
    dir.write("d" + std::to_string(i) + ".inc",
              "*NODE\n" + std::to_string(i) + "\n*INCLUDE, INPUT=" + next + "\n" +
                  "after include, not counted\n*ELEMENT\n1\n*MATERIAL, NAME=m" +
                  std::to_string(i % 3) + "\n");
  }
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const std::string got = scan(dir / "d0.inc", Depth::Minimal);
  ::setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(got, expect_json({.includes = includes,
                              .node_count = kDecks,
                              .element_count = kDecks,
                              .materials = {"m0", "m1", "m2"}}));
}

// Each deck includes the next one twice: 2^40 reads without the visited set, 41 with it.
TEST(Abaqus, DoubledIncludesAreReadOnce) {
  TempDir dir;
  constexpr int kLevels = 40;
  std::vector<std::string> includes;
  for (int i = 0; i <= kLevels; ++i) {
    const std::string next = "d" + std::to_string(i + 1) + ".inc";
    const std::string inc = i < kLevels ? "*INCLUDE, INPUT=" + next + "\n" : "";
    dir.write("d" + std::to_string(i) + ".inc", inc + "*NODE\n1\n" + inc);
    if (i < kLevels) includes.insert(includes.begin() + i, 2, next);
  }
  EXPECT_EQ(scan(dir / "d0.inc", Depth::Light),
            expect_json({.includes = includes, .node_count = kLevels + 1}));
}

// A deck that cannot be read twice (a pipe) is held in memory; includes still work.
TEST(Abaqus, PipeAsTopLevelDeck) {
  TempDir dir;
  dir.write("b.inc", "*ELEMENT\n1\n");
  const std::string pipe = dir / "pipe.inp";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream(pipe, std::ios::binary) << "*NODE\n1\n*INCLUDE, INPUT=b.inc\n2\n*NODE\n3\n";
  });
  const std::string got = outcome(abaqus::inspect_abaqus_inp(pipe, {1, 1, abaqus::BlockKernel::None}));
  writer.join();
  EXPECT_EQ(got, expect_json({.includes = {"b.inc"}, .node_count = 2, .element_count = 1}));
  EXPECT_EQ(scan("/dev/null"), expect_json({}));
}

}  // namespace
