// The AEDT project reader. A project is saved as AEDT text (".aedt"), or packed as an AEDTZ
// archive (".aedtz"): a ZIP archive holding the project text as one member, often under a
// folder and next to other members (images, scripts, results). The reader streams the text,
// keeps the few lines that the block parser can use within a byte budget, notes whether the
// project's lock file and results directory stand beside it, and hands over to the parser.
//
// Projects run to hundreds of megabytes, nearly all of it geometry and mesh data, so the line
// loop rarely looks at a line: the splitter passes over every line that cannot start with a
// relevant prefix at vector speed, and a line that does is judged on its first bytes. A line
// is never held whole: what is read of it is what the budget can still keep.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "tolvanex/container/zip.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/hfss.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/text/budgeted_text.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::parsers::hfss {
namespace {

struct ProjectText {
  KeptText kept;
  std::optional<std::string> source_member;  // the archive member read
};
Result<ProjectText> read_project(const std::string& path, std::uint64_t byte_budget,
                                 fsio::Interrupt* interrupt);

}  // namespace

Result<HfssAedtSummary> inspect_hfss_aedt(const std::string& path, std::uint64_t byte_budget,
                                          fsio::Interrupt* interrupt) {
  TVX_TRY_ASSIGN(ProjectText project, read_project(path, byte_budget, interrupt));
  // Probed on the path's own bytes, so that a name that is not UTF-8 still finds them.
  const bool lock = fsio::kind_of(path + ".lock", /*follow_links=*/true) != fsio::Kind::Missing;
  const bool results = fsio::kind_of(path + "results", /*follow_links=*/true) == fsio::Kind::Directory;
  return parse_aedt_text(project.kept.text, std::move(project.source_member), project.kept.truncated,
                         lock, results);
}

namespace {

// ---------------------------------------------------------------------------------------
// The file or the archive member

// The first entry whose name ends in ".aedt", ASCII case ignored. Every entry ahead of it is
// checked as opening it would (encryption, method, local header): a damaged or encrypted
// entry ahead of the project fails the archive; the project's own checks come when it opens.
Result<std::size_t> find_project_member(const container::ZipArchive& zip) {
  for (std::size_t i = 0; i < zip.entry_count(); ++i) {
    if (text::ends_with(text::ascii_lower(zip.entry(i).name), ".aedt")) return i;
    TVX_TRY(zip.check_entry(i));
  }
  return TolvanexError::message("AEDTZ archive did not contain an .aedt member");
}

// Reads the text and closes the file before the neighbouring paths are probed.
Result<ProjectText> read_project(const std::string& path, std::uint64_t byte_budget,
                                 fsio::Interrupt* interrupt) {
  const std::optional<std::string> name = text::file_name(path);
  const bool archive = name && text::ends_with(text::ascii_lower(*name), ".aedtz");
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path, interrupt));
  ProjectText project;
  if (!archive) {
    FileSource source(file);
    TVX_TRY_ASSIGN(project.kept, keep_relevant_lines(source, byte_budget));
    return project;
  }
  TVX_TRY_ASSIGN(const container::ZipArchive zip, container::ZipArchive::open(std::move(file)));
  TVX_TRY_ASSIGN(const std::size_t index, find_project_member(zip));
  TVX_TRY_ASSIGN(container::ZipEntryReader member, zip.open_entry(index));
  project.source_member = zip.entry(index).name;
  TVX_TRY_ASSIGN(project.kept, keep_relevant_lines(member, byte_budget));
  return project;
}

// ---------------------------------------------------------------------------------------
// Relevant lines: those that start as AEDT_LINE_STARTS declares.

// The first eight bytes of a text (fewer when it is shorter, the rest zero) as one word.
using Word = std::array<char, 8>;
constexpr std::uint64_t first_word(std::string_view s) {
  Word w{};
  for (std::size_t i = 0; i < w.size() && i < s.size(); ++i) w[i] = s[i];
  return std::bit_cast<std::uint64_t>(w);
}

// The prefixes grouped by their first byte, each with its first eight bytes as a word and
// a mask of the bytes it has there: a line is compared with the few prefixes that share its
// first byte (five at most), and mostly turned away by one comparison of words.
struct IndexedPrefix {
  AedtLineStart prefix;
  std::uint64_t word = 0;
  std::uint64_t mask = 0;
};
struct PrefixIndex {
  std::array<IndexedPrefix, AEDT_LINE_STARTS.size()> sorted{};
  std::array<std::array<unsigned char, 2>, 256> group{};  // [begin, end) in `sorted`
};
constexpr PrefixIndex make_prefix_index() {
  PrefixIndex index;
  for (std::size_t i = 0; i < AEDT_LINE_STARTS.size(); ++i) {
    const std::string_view text = AEDT_LINE_STARTS[i].text;
    index.sorted[i] = {AEDT_LINE_STARTS[i], first_word(text),
                       first_word(std::string_view("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", std::min<std::size_t>(text.size(), 8)))};
  }
  std::sort(index.sorted.begin(), index.sorted.end(),
            [](const IndexedPrefix& a, const IndexedPrefix& b) { return a.prefix.text[0] < b.prefix.text[0]; });
  for (std::size_t i = 0; i < index.sorted.size(); ++i) {
    const auto b = static_cast<unsigned char>(index.sorted[i].prefix.text[0]);
    if (index.group[b][1] == 0) index.group[b][0] = static_cast<unsigned char>(i);
    index.group[b][1] = static_cast<unsigned char>(i + 1);
  }
  return index;
}
constexpr PrefixIndex kIndex = make_prefix_index();

// The lines the splitter stops at: those whose first two bytes may start a prefix.
constexpr std::array<std::string_view, AEDT_LINE_STARTS.size()> prefix_texts() {
  std::array<std::string_view, AEDT_LINE_STARTS.size()> texts{};
  for (std::size_t i = 0; i < texts.size(); ++i) texts[i] = AEDT_LINE_STARTS[i].text;
  return texts;
}
constexpr std::array<std::string_view, AEDT_LINE_STARTS.size()> kPrefixTexts = prefix_texts();
constexpr text::LineStarts kLineStarts{std::span<const std::string_view>(kPrefixTexts)};
constexpr std::size_t kHead = AEDT_RELEVANCE_PREFIX_BYTES;

// The fewest bytes that a relevant line takes of the budget, its line feed counted: a key
// needs its sign, and a prefix that ends in a space a character after it, or trimming cuts
// the space off ("Name=" and a line feed).
constexpr std::size_t shortest_relevant_line() {
  std::size_t n = SIZE_MAX;
  for (const AedtLineStart& p : AEDT_LINE_STARTS)
    n = std::min(n, p.text.size() + (p.kind == AedtLineStart::Key || p.text.back() == ' ' ? 1 : 0) + 1);
  return n;
}
constexpr std::size_t kShortestRelevantLine = shortest_relevant_line();

}  // namespace

bool is_relevant_aedt_line(std::string_view line) {
  if (line.empty()) return false;
  const auto [begin, end] = kIndex.group[static_cast<unsigned char>(line[0])];
  if (begin == end) return false;
  std::uint64_t word;
  if (line.size() >= sizeof word) {
    std::memcpy(&word, line.data(), sizeof word);
  } else {
    Word head{};
    std::memcpy(head.data(), line.data(), line.size());
    word = std::bit_cast<std::uint64_t>(head);
  }
  for (std::size_t i = begin; i < end; ++i) {
    const auto& [prefix, prefix_word, mask] = kIndex.sorted[i];
    const std::string_view text = prefix.text;
    if ((word & mask) != prefix_word || line.size() < text.size()) continue;
    if (text.size() > 8 && std::string_view(line.data() + 8, text.size() - 8) != text.substr(8)) continue;
    if (prefix.kind != AedtLineStart::Key) return true;
    const std::string_view sign = line.substr(prefix.text.size());
    if (sign.starts_with('=') || sign.starts_with(":=")) return true;
  }
  return false;
}

// A line is judged on its head, its first bytes from the first character that is not white
// space: a relevance test on it agrees with one on the decoded, trimmed line, since every
// prefix is ASCII, except where trimming cuts the line inside the head ("$end " of
// "$end \r\n"), so the test is repeated on the head cut to the trimmed size. A relevant line
// is taken into a BudgetedText, which holds it only while it can still fit.
Result<KeptText> keep_relevant_lines(ByteSource& source, std::uint64_t byte_budget,
                                     text::LineSplitter::Options options) {
  text::LineSplitter lines(source, kLineStarts, options);
  text::BudgetedText line;
  KeptText kept;
  std::uint64_t remaining = byte_budget;
  for (;;) {
    // A line was dropped and none fits any more: the rest changes nothing, but is still read.
    if (kept.truncated && remaining < kShortestRelevantLine) {
      TVX_TRY(lines.read_to_end());
      break;
    }
    TVX_TRY_ASSIGN(const bool more, lines.next());
    if (!more) break;
    const std::string_view head = lines.head(kHead);
    // Once a line was dropped, one whose head already shows it too long changes nothing.
    if (!is_relevant_aedt_line(head) || (kept.truncated && text::trimmed_size_at_least(head) >= remaining)) {
      lines.skip();
      continue;
    }
    char copy[kHead];  // read() moves the buffer that `head` points into
    const std::string_view held_head(copy, head.copy(copy, kHead));
    line.begin(remaining, kHead);
    TVX_TRY(lines.read(line));
    const bool held = line.finish();
    if (!is_relevant_aedt_line(held_head.substr(0, line.size()))) continue;
    if (!held || line.size() + 1 > remaining) {
      kept.truncated = true;
      continue;
    }
    kept.text.append(line.kept()).push_back('\n');
    remaining -= line.size() + 1;
  }
  return kept;
}

}  // namespace tolvanex::parsers::hfss
