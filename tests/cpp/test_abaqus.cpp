#include <sys/resource.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "tolvanex/dispatch.hpp"
#include "tolvanex/parsers/abaqus.hpp"

using namespace tolvanex;
namespace abaqus = tolvanex::parsers::abaqus;
namespace fs = std::filesystem;
using namespace std::string_literals;
using tvx_test::outcome;
using tvx_test::TempDir;

namespace {

std::string js(const AbaqusInpSummary& s) { return json::write(s); }
const std::string kInvalidUtf8 = "ERROR io error: stream did not contain valid UTF-8";
const std::string kIo5 = "ERROR io error: Input/output error (os error 5)";  // /proc/self/mem

// Inspects with the default settings, and checks that every chunk size (one byte cuts every
// character, keyword and value across reads), kernel and open-deck limit gives the same outcome.
std::string scan(const std::string& path, std::vector<std::size_t> chunks = {1, 2, 3, 5, 63, 64, 65, 127, 4096}) {
  const std::string expected = outcome(abaqus::inspect_abaqus_inp(path));
  for (const std::size_t chunk : chunks)
    for (const auto kernel : {text::Kernel::Portable, text::Kernel::Sse2, text::Kernel::Avx2})
      for (const std::size_t open : {1, 16})
        EXPECT_EQ(outcome(abaqus::inspect_abaqus_inp(path, {chunk, open, kernel})), expected)
            << "chunk " << chunk << " kernel " << static_cast<int>(kernel) << " open " << open;
  return expected;
}

// Every row of the keyword table, one deck.
const char* const kRules =
    "*HEADING\nRules deck\n*TEMPERATURE\n*dsload\n*Cload, op=NEW\n*DLOAD\n*CFLUX\n*DFLUX\n*Material, name=Steel\n"
    "*MATERIAL, NAME=STEEL\n*MATERIAL, NAME\n*MATERIAL\n*MATERIAL, NAME=A, name=B\n*Material, Name = \" Quoted \" \n"
    "*MATERIAL, NAMES=X, NAM=Y\n*END STEP\n*STEP, name=S1\n*STATIC\n*Dynamic\n*FREQUENCY\n*heat transfer\n*STATIC\n"
    "*BOUNDARY\n*End Step\n*STATIC\n*DYNAMIC\n*HEAT TRANSFER\n*FREQUENCY\n*Boundary, op=NEW\n*INCLUDE\n"
    "*INCLUDE, INPUT=missing.inc\n*Include, Input = sub dir/x.inc , password=1\n*NODE OUTPUT\n"
    "*ELEMENT OUTPUT, variable=PRESELECT\n*CONTACT OUTPUT\n*OUTPUT, FIELD\n*EL PRINT\n*NODE PRINT, nset=all\n"
    "*SECTION PRINT\n*FILE\n*EL FILE\n*Solid Section, elset=E1, material=Steel\n*SHELL SECTION, ELSET=E2\n"
    "*beam section, material = Alu , elset=E3\n*COHESIVE SECTION, MATERIAL=glue, material=Glue2\n"
    "*SURFACE SECTION, MATERIAL\n*ELASTIC\n*DENSITY\n*NSET, NSET=N1\n*ELSET, ELSET=E1\n*NODE, INPUT=nodes.inp\n"
    "1, 0., 0., 0.\n*ELEMENT, TYPE=C3D8\n1, 1, 2, 3, 4, 5, 6, 7, 8\n*SPRING\n*b\n*B\n*\n*,\n* ,,\n* *\n*A=B, C\n"
    "*keyword with   spaces  ,\n*\xC3\xbcnicode\n*, NODE\n2, 0., 0., 0.\n*NODE,,NSET=A,\n3, 0., 0., 0.\n";

struct Case {
  const char* what;
  // The first file is the deck inspected. "@dir", "@fifo" and "@link:target" make those.
  std::vector<std::pair<std::string, std::string>> files;
  std::string expected;  // "$DIR" stands for the directory
};

const std::string nbsp = "\xC2\xA0", ideo = "\xE3\x80\x80", bom = "\xEF\xBB\xBF";
const std::string M = "*INCLUDE, INPUT=/proc/self/mem\n";  // a regular file whose first read fails

const Case kCases[] = {
    {"keyword rules", {{"rules.inp", kRules}, {"nodes.inp", "*MARKER_IF_READ\n"}},
     js({.title = "Rules deck", .includes = {"missing.inc", "sub dir/x.inc"}, .node_count = 3, .element_count = 1,
         .materials = {"", "\" Quoted \"", "B", "STEEL", "Steel"},
         .sections = {"BEAM SECTION:Alu", "COHESIVE SECTION:Glue2", "SHELL SECTION", "SOLID SECTION:Steel",
                      "SURFACE SECTION:"},
         .steps = {"DYNAMIC", "FREQUENCY", "HEAT TRANSFER", "STATIC"}, .boundary_keywords = {"BOUNDARY"},
         .load_keywords = {"CFLUX", "CLOAD", "DFLUX", "DLOAD", "DSLOAD", "TEMPERATURE"},
         .output_keywords = {"CONTACT OUTPUT", "EL FILE", "EL PRINT", "ELEMENT OUTPUT", "FILE", "NODE OUTPUT",
                             "NODE PRINT", "OUTPUT", "SECTION PRINT"},
         .unknown_keywords = {"", "*", "A=B", "B", "FREQUENCY", "KEYWORD WITH   SPACES", "SPRING", "\xC3\xbcNICODE"}})},
    {"title: the first heading followed by data in the same deck",
     {{"a.inp", "*HEADING\n*INCLUDE, INPUT=sub/b.inc\nnot a title\n*HEADING\nLater\n"},
      {"sub/b.inc", "no heading\n*HEADING\n** c\n\n \xC2\xA0 Bracket, rev 2 \t" + ideo + "\r\n*HEADING\nOther\n"}},
     js({.title = "Bracket, rev 2", .includes = {"sub/b.inc"}})},
    {"counts", {{"a.inp", "*NODE\n1, 0\n** c\n2, 1\n\n   \n3, 1\n*INCLUDE, INPUT=more.inc\n5, 5\n*NODE OUTPUT\nU\n"
                          "*NODE, NSET=x\n6\n*NSET\n1, 2\n*ELEMENT\n1, 1\n   2, 2\n\t3, 3\n\xC2\xA0" "4, 4\n"
                          "*NODE PRINT\nU\n*HEADING\ntitle line\n*NODES\n7\n*node\n8"},
                {"more.inc", "4, 0, 0\n*ELEMENT\n1, 1\n"}},
     js({.title = "title line", .includes = {"more.inc"}, .node_count = 5, .element_count = 5,
         .output_keywords = {"NODE OUTPUT", "NODE PRINT"}, .unknown_keywords = {"NODES"}})},
    {"step state belongs to one deck",
     {{"a.inp", "*STEP\n*INCLUDE, INPUT=b.inc\n*HEAT TRANSFER\n*END STEP\n*INCLUDE, INPUT=c.inc\n*FREQUENCY\n"},
      {"b.inc", "*STATIC\n*DYNAMIC\n*STEP\n"}, {"c.inc", "*STEP\n"}},
     js({.includes = {"b.inc", "c.inc"}, .steps = {"HEAT TRANSFER"}, .unknown_keywords = {"FREQUENCY"}})},
    {"includes resolve against the including deck",
     {{"a.inp", "*INCLUDE, INPUT=sub/b.inc\n*INCLUDE, INPUT=$DIR/abs/e.inc\n"}, {"c.inc", "*MATERIAL, NAME=c\n"},
      {"sub/c.inc", "*MATERIAL, NAME=sub c\n*INCLUDE, INPUT=../d.inc\n"}, {"d.inc", "*MATERIAL, NAME=d\n"},
      {"sub/b.inc", "*MATERIAL, NAME=b\n*INCLUDE, INPUT=c.inc\n"}, {"abs/e.inc", "*MATERIAL, NAME=e\n"}},
     js({.includes = {"sub/b.inc", "c.inc", "../d.inc", "$DIR/abs/e.inc"},
         .materials = {"b", "d", "e", "sub c"}})},
    {"a cycle",
     {{"a.inp", "*NODE\n1\n*INCLUDE, INPUT=b.inp\n"}, {"b.inp", "*NODE\n2\n*INCLUDE, INPUT=a.inp\n*ELEMENT\n1\n"}},
     js({.includes = {"b.inp", "a.inp"}, .node_count = 2, .element_count = 1})},
    {"one file under several names, the top deck through a link",
     {{"c.inp", "*INCLUDE, INPUT=sub/x.inc\n*INCLUDE, INPUT=sub/x.inc\n*INCLUDE, INPUT=./sub/../sub//x.inc\n"
                "*INCLUDE, INPUT=link.inc\n*INCLUDE, INPUT=self.inp\n"},
      {"sub/x.inc", "*NODE\n1\n2\n"}, {"link.inc", "@link:sub/x.inc"}, {"self.inp", "@link:c.inp"}},
     js({.includes = {"sub/x.inc", "sub/x.inc", "./sub/../sub//x.inc", "link.inc", "self.inp"}, .node_count = 2})},
    {"targets that are no regular file",
     {{"a.inp", "*INCLUDE, INPUT=missing.inc\n*INCLUDE, INPUT=folder.inc\n*INCLUDE, INPUT=pipe.inc\n"
                "*INCLUDE, INPUT=dangling.inc\n*INCLUDE, INPUT=\n*INCLUDE, INPUT=a\0b.inc\n*NODE\n1\n"s},
      {"folder.inc", "@dir"}, {"pipe.inc", "@fifo"}, {"dangling.inc", "@link:nowhere.inc"}},
     js({.includes = {"missing.inc", "folder.inc", "pipe.inc", "dangling.inc", "", "a\0b.inc"s}, .node_count = 1})},
    {"quotes stay",
     {{"a.inp", "*INCLUDE, INPUT=\"q.inc\"\n"}, {"q.inc", "*NODE\n1\n"}, {"\"q.inc\"", "*ELEMENT\n1\n"}},
     js({.includes = {"\"q.inc\""}, .element_count = 1})},
    {"invalid UTF-8 in a nested deck",
     {{"a.inp", "*INCLUDE, INPUT=s/b.inc\n"}, {"s/b.inc", "*INCLUDE, INPUT=../c.inc\n"}, {"c.inc", "*NODE\n\xC3(\n"}},
     kInvalidUtf8},
    // A deck is wholly read and checked before its includes are followed.
    {"an include that fails to read", {{"a.inp", "*NODE\n1\n" + M + "*NODE\n2\n"}}, kIo5},
    {"invalid text after it", {{"a.inp", M + "*NODE\n2\n\xFF"}}, kInvalidUtf8},
    {"... one level down",
     {{"a.inp", "*INCLUDE, INPUT=b.inc\n"}, {"b.inc", "*INCLUDE, INPUT=g\n" + M + "\xFE"}, {"g", ""}}, kInvalidUtf8},
    {"... in the including deck", {{"a.inp", "*INCLUDE, INPUT=b.inc\n\xFE"}, {"b.inc", M}}, kInvalidUtf8},
    {"... nowhere", {{"a.inp", "*INCLUDE, INPUT=b.inc"}, {"b.inc", "*INCLUDE, INPUT=g\n" + M}, {"g", ""}}, kIo5},
    {"a directory", {{"x.inp", "@dir"}}, "ERROR io error: Is a directory (os error 21)"},
    {"CR LF, blank and comment lines", {{"a.inp", "\n  \t\n**\n** c\n  ** c\r\n**" + nbsp + "\n" + ideo +
                                         "\n*HEADING\r\nT\r\n*Material, name=Steel\r\n*NODE\r\n1, 2\r\n\r\n2, 3\r\n"}},
     js({.title = "T", .node_count = 2, .materials = {"Steel"}})},
    {"CR alone ends no line", {{"a.inp", "*NODE\r1\r*Cload\r"}}, js({.unknown_keywords = {"NODE\r1\r*CLOAD"}})},
    {"Unicode white space is trimmed, U+FEFF is not",
     {{"a.inp", nbsp + "*node, nset=all" + ideo + "\n" + ideo + " 1, 2" + nbsp + "\n*MATERIAL, NAME=" + nbsp +
                    "Steel" + ideo + "\n*MATERIAL, NAME" + nbsp + "\xE2\x80\x83=\xE2\x80\xA8" "Em\xC2\x85\n" +
                    "*MATERIAL, NA" + nbsp + "ME=Split\n*MATERIAL, NAME=" + bom + "X" + bom + "\n*" + ideo + "Cload" +
                    ideo + "," + nbsp + "\n"}},
     js({.node_count = 1, .materials = {"Em", "Steel", bom + "X" + bom}, .load_keywords = {"CLOAD"}})},
    {"a byte order mark makes a data line", {{"a.inp", bom + "*HEADING\nNo title\n*NODE\n1\n"}}, js({.node_count = 1})},
    {"last lines without a line feed",
     {{"a.inp", "*NODE\n1\n*INCLUDE, INPUT=c\n*INCLUDE, INPUT=b"}, {"b", "*Heading\n last "}, {"c", "*"}},
     js({.title = "last", .includes = {"c", "b"}, .node_count = 1, .unknown_keywords = {""}})},
    {"sorted by bytes and merged across decks",
     {{"a.inp", "*MATERIAL, NAME=a\n*MATERIAL, NAME=B\n*INCLUDE, INPUT=b.inc\n*ZETA\n*CLOAD\n*INCLUDE, INPUT=b.inc"},
      {"b.inc", "*MATERIAL, NAME=a\n*Zeta\n*alpha\n*Cload\n*MATERIAL, NAME=Last"}},
     js({.includes = {"b.inc", "b.inc"}, .materials = {"B", "Last", "a"}, .load_keywords = {"CLOAD"},
         .unknown_keywords = {"ALPHA", "ZETA"}})},
};

std::string with_dir(std::string s, const std::string& dir) {
  for (std::size_t at; (at = s.find("$DIR")) != std::string::npos;) s.replace(at, 4, dir);
  return s;
}

TEST(Abaqus, Decks) {
  for (const Case& c : kCases) {
    TempDir dir;
    for (const auto& [name, content] : c.files) {
      if (content == "@dir") fs::create_directories(dir.str(name));
      else if (content == "@fifo") ASSERT_EQ(::mkfifo(dir.str(name).c_str(), 0600), 0);
      else if (content.rfind("@link:", 0) == 0) fs::create_symlink(content.substr(6), dir.str(name));
      else dir.write(name, with_dir(content, dir.str()));
    }
    EXPECT_EQ(scan(dir.str(c.files[0].first)), with_dir(c.expected, dir.str())) << c.what;
  }
}

TEST(Abaqus, TopLevelDecks) {
  TempDir dir;
  EXPECT_EQ(outcome(dispatch::inspect_path(dir.write("a.inp"), InspectOptions{})),
            R"({"file_name":"a.inp","format":"abaqus-inp","ok":true,"warnings":[],)"
            R"("summary":{"kind":"abaqus-inp","data":{"title":null,"includes":[],"node_count":0,)"
            R"("element_count":0,"materials":[],"sections":[],"steps":[],"boundary_keywords":[],)"
            R"("load_keywords":[],"output_keywords":[],"unknown_keywords":[]}}})");
  EXPECT_EQ(scan(dir.str("missing.inp")), "ERROR io error: No such file or directory (os error 2)");
  EXPECT_EQ(outcome(abaqus::inspect_abaqus_inp("a\0.inp"s)),
            "ERROR io error: file name contained an unexpected NUL byte");
  for (const std::string bad : {"\xFF*N\n", "*NO\xE2\x82" "DE\n", "*N\n1\xE3\x80", "*N, A=\xED\xA0\x80\n", "\xC0\xAF"})
    EXPECT_EQ(scan(dir.write("bad.inp", bad)), kInvalidUtf8) << bad;
  // A pipe cannot be read twice, so it is held in memory; includes still work.
  dir.write("b.inc", "*ELEMENT\n1\n");
  ASSERT_EQ(::mkfifo(dir.str("pipe.inp").c_str(), 0600), 0);
  std::thread writer([&] { dir.write("pipe.inp", "*NODE\n1\n*INCLUDE, INPUT=b.inc\n2\n*NODE\n3\n"); });
  const std::string got = outcome(abaqus::inspect_abaqus_inp(dir.str("pipe.inp"), {1, 1, text::Kernel::Portable}));
  writer.join();
  EXPECT_EQ(got, js({.includes = {"b.inc"}, .node_count = 2, .element_count = 1}));
  // A relative path keeps relative includes relative to the working directory.
  dir.write("r.inp", "*INCLUDE, INPUT=b.inc\n");
  const fs::path old = fs::current_path();
  fs::current_path(dir.path());
  const std::string relative = scan("r.inp", {64});
  fs::current_path(old);
  EXPECT_EQ(relative, js({.includes = {"b.inc"}, .element_count = 1}));
}

// Long runs of data lines go through the kernels: every kind of line start, with leading
// blanks of every length up to beyond a block, is classified as byte by byte; and decks
// pieced together at random from what matters to the scanner give one summary however read.
TEST(Abaqus, KernelsAgreeWithTheByteByByteScan) {
  const std::pair<std::string, bool> rows[] = {  // a line, and whether it counts under *NODE
      {"1, 2., 3.", true}, {"", false}, {"\t", false}, {" \t 7, 8", true}, {"\r", false}, {"12,\t3.,\t4.\r", true},
      {"** comment", false}, {"\t** comment", false}, {"\xC2\xA0" "9", true}, {"\xC2\xA0\xE3\x80\x80", false},
      {"\x0B" "1", true}, {"\x0C", false}, {"\x01", true}, {std::string(1, '\0'), true}, {"\xC3\xA9t", true},
      {"\x7F", true}, {"\xEF\xBB\xBF", true}, {std::string(150, '9'), true}};
  std::string body;
  std::uint64_t expected = 0;
  for (int i = 0; i < 4000; ++i) {
    const auto& [text, counts] = rows[i % std::size(rows)];
    body += std::string(static_cast<std::size_t>(i * 7 % 131), i % 3 ? ' ' : '\t') + text + "\n";
    expected += counts;
  }
  TempDir dir;
  const std::string deck = "*HEADING\n" + std::string(200, ' ') + "T i t l e\n" + body + "*NODE\n" + body +
                           "*ELEMENT\n" + body + "*NSET\n" + body;
  EXPECT_EQ(scan(dir.write("a.inp", deck), {7, 64, 1000}),
            js({.title = "T i t l e", .node_count = expected, .element_count = expected}));

  const std::string pieces[] = {
      "*", "**", ",", "=", " ", "\t", "\r", "\n", "\n", "\n", "\r\n", "\xC2\xA0", "\xE3\x80\x80",
      "\xC2\x85", "\xEF\xBB\xBF", "\xF0\x9F\x98\x80", "\xC3\xA9", "NODE", "node", "ELEMENT",
      "NAME", "name", "MATERIAL", "SECTION", "Solid Section", "HEADING", "INCLUDE", "INPUT",
      "STEP", "END STEP", "STATIC", "OUTPUT", "PRINT", "1, 2., 3.", "      17", "x",
      std::string(70, ' '), std::string(40, 'k')};
  std::mt19937 random(20240611);
  for (int n = 0; n < 150; ++n) {
    std::string text;
    for (int i = random() % 400; i > 0; --i) text += pieces[random() % std::size(pieces)];
    const std::string got = scan(dir.write("r.inp", text), {7, 64, 1000});
    EXPECT_EQ(got.rfind("{", 0), 0u) << got;  // a summary, not an error
  }
}

// Very long lines cost no more memory than the texts kept from them; here they straddle
// many reads of the default chunk.
TEST(Abaqus, LongLines) {
  TempDir dir;
  const std::string name(300000, 'm'), blanks(270000, ' '), junk(400000, 'j');
  const std::string deck = "*HEADING\n" + blanks + "Title" + blanks + "x" + blanks + "\n*MATERIAL, JUNK=" +
                           junk + ", NAME=" + blanks + name + blanks + ", MORE=" + junk + "\n*" + blanks + "NODE" +
                           blanks + ",\n" + blanks + "1, 2\n*Cload" + std::string(70000, ',') + "\n";
  EXPECT_EQ(scan(dir.write("long.inp", deck), {7, 64, 1000}),
            js({.title = "Title" + blanks + "x", .node_count = 1, .materials = {name}, .load_keywords = {"CLOAD"}}));
}

// Include chains far deeper than the C++ stack or the open-file limit would allow if each
// deck kept a frame and a descriptor, and decks that include the next one twice (2^40 reads
// without the visited set).
TEST(Abaqus, DeepAndDoubledIncludes) {
  TempDir dir;
  constexpr int kDecks = 6000;
  std::vector<std::string> chain;
  for (int i = 0; i < kDecks; ++i) {
    chain.push_back("d" + std::to_string((i + 1) % kDecks) + ".inc");
    const std::string n = std::to_string(i);
    dir.write("d" + n + ".inc", "*NODE\n" + n + "\n*INCLUDE, INPUT=" + chain.back() + "\nnot counted\n*ELEMENT\n1\n");
  }
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const std::string got = scan(dir.str("d0.inc"), {64});
  ::setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(got, js({.includes = chain, .node_count = kDecks, .element_count = kDecks}));

  std::vector<std::string> doubled;
  for (int i = 0; i <= 40; ++i) {
    const std::string next = "e" + std::to_string(i + 1) + ".inc";
    const std::string inc = i < 40 ? "*INCLUDE, INPUT=" + next + "\n" : "";
    dir.write("e" + std::to_string(i) + ".inc", inc + "*NODE\n1\n" + inc);
    if (i < 40) doubled.insert(doubled.begin() + i, 2, next);
  }
  EXPECT_EQ(scan(dir.str("e0.inc"), {7, 1000}), js({.includes = doubled, .node_count = 41}));
}

}  // namespace
