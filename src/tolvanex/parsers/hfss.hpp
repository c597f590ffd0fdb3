// HFSS and Icepak projects (AEDT project text, also the member of an AEDTZ archive).
//
// A project is a tree of named blocks: "$begin 'Name'" opens one, "$end 'Name'" closes it,
// and between them stand assignments (Key='value', Key:='value', some keys in single quotes)
// and call-like lines such as Version(2024, 1, 0) and VariableProp('w', 'UD', '', '1mm').
// Real projects are mostly geometry and mesh data, so the reader (hfss.cpp) keeps only the
// lines that `is_relevant_aedt_line` accepts, within a byte budget, and hands that kept text
// to `parse_aedt_text` (hfss_blocks.cpp), which builds the record in one pass. The reader's
// entry point, `inspect_hfss_aedt`, is declared with the other readers in readers.hpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvanex/error.hpp"
#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/schema.hpp"
#include "tolvanex/text/lines.hpp"

namespace tolvanex::parsers::hfss {

// The lines of project text that the parser can use, each decoded (invalid UTF-8 replaced),
// trimmed of white space and followed by a line feed, in their order, as long as they fit the
// budget together; `truncated` when a relevant line was dropped for want of room. A line
// ends at a line feed only. Memory is bounded by the budget and the splitter's chunk,
// however long a line is. `options` set the splitter's chunk and kernel (tests, benchmarks).
struct KeptText {
  std::string text;
  bool truncated = false;
};
Result<KeptText> keep_relevant_lines(ByteSource& source, std::uint64_t byte_budget,
                                     text::LineSplitter::Options options = {});

// The record of a project's kept text. The caller's own findings (the archive member read,
// whether its budget dropped a line, the two neighbouring paths) are copied in unchanged.
// Never fails: unbalanced blocks and unknown lines are handled by the rules, and text that
// is not UTF-8 is read as its lossy decoding.
HfssAedtSummary parse_aedt_text(std::string_view text, std::optional<std::string> source_member,
                                bool truncated, bool lock_file_present, bool results_dir_present);

// The starts of the lines that matter to the parser, declared once: the line filter keeps the
// lines that start so, and the parser names what it looks for through the types below, which
// compile only for a text declared here, so a key the parser reads is never a key the filter
// drops. Keys written in single quotes by the tools carry their quotes (the parser asks for the
// bare name); a block keyword carries the blank that must follow it.
struct AedtLineStart {
  enum Kind : std::uint8_t {
    Block,  // "$begin 'Name'": the keyword and a blank
    Call,   // "Version(2024, 1, 0)": the call's name and its "("
    Key,    // "Name='x'", "Name:='x'": the key followed at once by "=" or ":="
  };
  std::string_view text;
  Kind kind;
};
inline constexpr std::array<AedtLineStart, 24> AEDT_LINE_STARTS = {{
    {"$begin ", AedtLineStart::Block},
    {"$end ", AedtLineStart::Block},
    {"Version(", AedtLineStart::Call},
    {"VariableProp(", AedtLineStart::Call},
    {"PostProcessingVariableProp(", AedtLineStart::Call},
    {"ProjectName", AedtLineStart::Key},
    {"Product", AedtLineStart::Key},
    {"Name", AedtLineStart::Key},
    {"SolutionType", AedtLineStart::Key},
    {"DesignName", AedtLineStart::Key},
    {"Factory", AedtLineStart::Key},
    {"IsSolved", AedtLineStart::Key},
    {"BoundType", AedtLineStart::Key},
    {"SolutionTypeOption", AedtLineStart::Key},
    {"ProblemOption", AedtLineStart::Key},
    {"AmbientTemperature", AedtLineStart::Key},
    {"AmbientPressure", AedtLineStart::Key},
    {"AmbientRadiationTemperature", AedtLineStart::Key},
    {"'Default Fluid Material'", AedtLineStart::Key},
    {"'Default Solid Material'", AedtLineStart::Key},
    {"'Default Surface Material'", AedtLineStart::Key},
    {"'Thermal Condition'", AedtLineStart::Key},
    {"'Total Power'", AedtLineStart::Key},
    {"Temperature", AedtLineStart::Key},
}};

// A text the parser looks for, as it looks for it: a key by its bare name, a call with its
// "(", a block keyword without its blank. Built from a literal at compile time; a text that
// AEDT_LINE_STARTS does not declare with that kind does not compile.
template <AedtLineStart::Kind K>
struct AedtWord {
  template <std::size_t N>
  consteval AedtWord(const char (&literal)[N]) : text(literal, N - 1) {  // NOLINT: implicit by design
    for (const AedtLineStart& start : AEDT_LINE_STARTS)
      if (start.kind == K && as_looked_for(start) == text) return;
    undeclared_aedt_line_start();
  }
  std::string_view text;

 private:
  static constexpr std::string_view as_looked_for(const AedtLineStart& start) {
    std::string_view s = start.text;
    if (start.kind == AedtLineStart::Block) s.remove_suffix(1);
    if (start.kind == AedtLineStart::Key && s.starts_with('\'')) s = s.substr(1, s.size() - 2);
    return s;
  }
  static void undeclared_aedt_line_start() {}  // not constexpr: reaching it fails the build
};
using AedtKey = AedtWord<AedtLineStart::Key>;
using AedtCall = AedtWord<AedtLineStart::Call>;
using AedtBlockKeyword = AedtWord<AedtLineStart::Block>;

// Whether a line, trimmed of white space, can matter to the parser: it starts as one of
// AEDT_LINE_STARTS says. Byte-exact and case-sensitive.
bool is_relevant_aedt_line(std::string_view trimmed_line);
// The answer depends only on this many leading bytes of the trimmed line (the longest start
// and, for a key, ":="), so a reader may decide on a line's head without holding a long line
// whole.
inline constexpr std::size_t AEDT_RELEVANCE_PREFIX_BYTES = [] {
  std::size_t n = 0;
  for (const AedtLineStart& start : AEDT_LINE_STARTS)
    n = std::max(n, start.text.size() + (start.kind == AedtLineStart::Key ? 2 : 0));
  return n;
}();

// The value that `line` assigns to `key`: the key side (before the first "="), trimmed and
// with its single quotes at both ends removed, must equal `key`; a ":" before the "=" belongs
// to the sign (Key:=). The value is `extract_quoted_or_word` of what follows the "=".
std::optional<std::string> extract_assignment(std::string_view line, std::string_view key);

// The text between the first two single quotes (else double quotes), or else the first word
// ending at a blank, ")" or ","; leading "(" and then "," are skipped first. No value when
// nothing is left.
std::optional<std::string> extract_quoted_or_word(std::string_view text);

// Adds `design` to `designs`, or merges it into the design of the same name: the fields it
// has replace the existing ones, the existing design keeps its place.
void merge_design(std::vector<HfssDesign>& designs, HfssDesign design);

// Sorts designs stably by name in byte order and keeps the first of each name.
void sort_dedup_designs(std::vector<HfssDesign>& designs);

}  // namespace tolvanex::parsers::hfss
