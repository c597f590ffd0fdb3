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

// Whether a line, trimmed of white space, can matter to the parser: a block begin or end, a
// version or variable line, or one of the keys the parser reads followed at once by "=" or
// ":=". Byte-exact and case-sensitive.
bool is_relevant_aedt_line(std::string_view trimmed_line);
// The answer depends only on this many leading bytes of the trimmed line (the longest key,
// "AmbientRadiationTemperature", and ":="), so a reader may decide on a line's head without
// holding a long line whole.
inline constexpr std::size_t AEDT_RELEVANCE_PREFIX_BYTES = 29;

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
