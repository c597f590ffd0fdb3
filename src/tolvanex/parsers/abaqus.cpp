// Abaqus input deck scanner.
//
// A deck is a text file of lines. After trimming white space, a line is empty, a comment
// ("**..."), a keyword line ("*KEYWORD, NAME=value, ...") or a data line. Keyword lines are
// sorted into the summary's lists; data lines under *NODE and *ELEMENT are counted; the
// first data line after a *HEADING gives the title; *INCLUDE, INPUT=file pulls in another
// deck, read in place, depth first, each file at most once per inspection.
//
// Reading is streamed: the line scanner runs over fixed-size chunks and remembers only
// file offsets of the texts it will keep (keyword, parameter value, title); those are
// copied from the chunk, or read again from the file when they straddle chunks. Memory thus
// stays bounded by the chunk and by what ends up in the summary, whatever the deck's size.
//
// Error order matches reading each deck whole before looking at its lines: a failure to
// read a deck comes before invalid UTF-8 anywhere in it, and both come before anything its
// includes might report. Includes are followed at once all the same, so that a deck is read
// only once; only when an included deck fails is the rest of each deck that includes it read
// and checked, outermost first, and the first of their errors wins over the included one.
#include "tolvanex/parsers/abaqus.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tolvanex/io/fsio.hpp"
#include "tolvanex/io/read_buffer.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/text/lines.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::parsers::abaqus {
namespace {
// The deck at `path` and every deck it includes, into one summary (at the end of this file).
Result<AbaqusInpSummary> read_decks(const std::string& path, const DeckReadOptions& options);
}  // namespace

Result<AbaqusInpSummary> inspect_abaqus_inp(const std::string& path, fsio::Interrupt* interrupt) {
  return read_decks(path, DeckReadOptions{.interrupt = interrupt});
}

Result<AbaqusInpSummary> inspect_abaqus_inp(const std::string& path, const DeckReadOptions& options) {
  return read_decks(path, options);
}

namespace {

TolvanexError invalid_utf8() { return TolvanexError::io("stream did not contain valid UTF-8"); }

// Bytes that start a line: ASCII that begins a data line at once (not white space, not '*'),
// and ASCII white space, the line feed included. Anything else is looked at as a character.
struct ByteClasses {
  bool plain[256] = {};
  bool space[256] = {};
};

constexpr ByteClasses make_byte_classes() {
  ByteClasses c;
  for (int b = 0; b < 0x80; ++b) {
    c.space[b] = text::is_white_space(static_cast<char32_t>(b));
    c.plain[b] = !c.space[b] && b != '*';
  }
  return c;
}

constexpr ByteClasses kBytes = make_byte_classes();

// Most of a large deck is data lines: LineBlocks passes them 64 bytes at a time, and stops
// where a line starts with '*' (a keyword or a comment) or with a byte that is not ASCII.
constexpr text::LineStarts kKeywordStarts("*");

// ---------------------------------------------------------------------------------------
// Deck input

// The bytes of one deck. A regular file is read in place at any offset; anything else (a
// pipe, a device) cannot be read twice, so it is read whole into memory when opened.
class DeckInput {
 public:
  static Result<DeckInput> open(const std::string& path, fsio::Interrupt* interrupt) {
    TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path, interrupt));
    if (const std::optional<std::uint64_t> size = file.regular_size())
      return DeckInput(std::move(file), *size);
    std::string bytes;
    std::size_t used = 0;
    for (;;) {
      if (bytes.size() - used < 65536) bytes.resize(std::max<std::size_t>(bytes.size() * 2, 65536));
      TVX_TRY_ASSIGN(const std::size_t n, file.read(bytes.data() + used, bytes.size() - used));
      if (n == 0) break;
      used += n;
    }
    bytes.resize(used);
    return DeckInput(std::move(bytes));
  }

  Result<std::size_t> read_at(char* buffer, std::size_t size, std::uint64_t offset) {
    if (!in_memory_) return file_.read_at(buffer, size, offset);
    if (offset >= memory_.size()) return std::size_t{0};
    const std::size_t n = std::min<std::size_t>(size, memory_.size() - offset);
    std::memcpy(buffer, memory_.data() + offset, n);
    return n;
  }

  bool in_memory() const { return in_memory_; }
  // The size when opened; a file may still change, so this only sizes the reads.
  std::uint64_t size_hint() const { return in_memory_ ? memory_.size() : size_; }

 private:
  DeckInput(fsio::File file, std::uint64_t size) : file_(std::move(file)), size_(size) {}
  explicit DeckInput(std::string bytes) : memory_(std::move(bytes)), in_memory_(true) {}

  fsio::File file_;
  std::uint64_t size_ = 0;
  std::string memory_;
  bool in_memory_ = false;
};

// Reads the deck from `offset` to its end, feeding the validator; a read failure is
// reported before invalid text, however early the text went wrong.
Status check_rest(DeckInput& input, text::Utf8Validator& utf8, fsio::ReadBuffer& buffer,
                  std::uint64_t offset) {
  for (;;) {
    TVX_TRY_ASSIGN(const std::size_t n, input.read_at(buffer.data(), buffer.span_at(offset), offset));
    if (n == 0) break;
    utf8.feed(std::string_view(buffer.data(), n));
    offset += n;
  }
  if (!utf8.finish()) return invalid_utf8();
  return ok_status();
}

// ---------------------------------------------------------------------------------------
// Summary under construction

// The seven keyword lists are kept as sorted sets, so repeated keywords cost nothing.
struct Collector {
  std::optional<std::string> title;
  std::vector<std::string> includes;
  std::uint64_t node_count = 0;
  std::uint64_t element_count = 0;
  std::set<std::string> materials, sections, steps, boundary_keywords, load_keywords,
      output_keywords, unknown_keywords;

  AbaqusInpSummary finish() && {
    auto list = [](std::set<std::string>& s) {
      std::vector<std::string> v;
      v.reserve(s.size());
      while (!s.empty()) v.push_back(std::move(s.extract(s.begin()).value()));
      return v;
    };
    AbaqusInpSummary out;
    out.title = std::move(title);
    out.includes = std::move(includes);
    out.node_count = node_count;
    out.element_count = element_count;
    out.materials = list(materials);
    out.sections = list(sections);
    out.steps = list(steps);
    out.boundary_keywords = list(boundary_keywords);
    out.load_keywords = list(load_keywords);
    out.output_keywords = list(output_keywords);
    out.unknown_keywords = list(unknown_keywords);
    return out;
  }
};

enum class Counted : std::uint8_t { Nothing, Nodes, Elements };

// What one deck carries from line to line; an included deck starts afresh.
struct DeckState {
  Counted counted = Counted::Nothing;  // from the latest keyword: NODE or ELEMENT count
  bool in_step = false;
  bool heading = false;  // a *HEADING waits for its first data line
};

// How a keyword line is treated; the first matching rule wins.
enum class Rule { Load, Material, EndStep, Step, Boundary, Heading, Include, Output, Section,
                  Procedure, Known, Unknown };

bool contains(std::string_view s, std::string_view part) { return s.find(part) != s.npos; }

bool is_known(std::string_view k) {
  static constexpr std::string_view kKnown[] = {
      "HEADING",    "NODE",        "ELEMENT",      "MATERIAL",       "ELASTIC",
      "DENSITY",    "SOLID SECTION", "SHELL SECTION", "BEAM SECTION", "NSET",
      "ELSET",      "STEP",        "END STEP",     "STATIC",         "DYNAMIC",
      "HEAT TRANSFER", "BOUNDARY", "CLOAD",        "DLOAD",          "DSLOAD",
      "OUTPUT",     "NODE OUTPUT", "ELEMENT OUTPUT", "NODE PRINT",   "NODE FILE",
      "EL PRINT",   "EL FILE",     "INCLUDE"};
  return std::find(std::begin(kKnown), std::end(kKnown), k) != std::end(kKnown);
}

Rule rule_of(std::string_view k) {
  if (k == "TEMPERATURE" || k == "DSLOAD" || k == "CLOAD" || k == "DLOAD" || k == "CFLUX" ||
      k == "DFLUX")
    return Rule::Load;
  if (k == "MATERIAL") return Rule::Material;
  if (k == "END STEP") return Rule::EndStep;
  if (k == "STEP") return Rule::Step;
  if (k == "BOUNDARY") return Rule::Boundary;
  if (k == "HEADING") return Rule::Heading;
  if (k == "INCLUDE") return Rule::Include;
  if (contains(k, "OUTPUT") || text::ends_with(k, "PRINT") || text::ends_with(k, "FILE"))
    return Rule::Output;
  if (contains(k, "SECTION")) return Rule::Section;
  if (k == "STATIC" || k == "DYNAMIC" || k == "FREQUENCY" || k == "HEAT TRANSFER")
    return Rule::Procedure;
  return is_known(k) ? Rule::Known : Rule::Unknown;
}

// The one parameter a rule uses; every other parameter is parsed and dropped.
std::string_view used_parameter(Rule rule) {
  switch (rule) {
    case Rule::Material: return "NAME";
    case Rule::Include: return "INPUT";
    case Rule::Section: return "MATERIAL";
    default: return {};
  }
}

// ---------------------------------------------------------------------------------------
// Line scanner

// Scans one deck's lines chunk by chunk. It stops right after the line end of an include
// line that has an INPUT value, so that the caller can read the included deck first.
class LineScanner {
 public:
  LineScanner(Collector& out, DeckState& deck, DeckInput& input, text::LineBlocks& blocks)
      : out_(out), deck_(deck), input_(input), blocks_(blocks) {}

  // Scans data[pos, size) of the chunk that starts at file offset `at`, which `blocks` was
  // last reset to; returns where it stopped (size, or just past an include line; see
  // take_include).
  Result<std::size_t> scan(const char* data, std::size_t size, std::uint64_t at, std::size_t pos);
  // The end of the deck: a last line without a line feed counts.
  Status finish();
  std::optional<std::string> take_include() { return std::exchange(include_, std::nullopt); }

 private:
  enum class State : std::uint8_t { Start, Skip, Star, Keyword, Title };

  struct Char {
    char32_t cp;
    std::uint64_t begin, end;
  };

  // One comma-separated part of a keyword line, by file offsets.
  struct Part {
    static constexpr std::size_t kHeadSize = 8;  // longest parameter name that is used
    bool has_content = false;
    std::uint64_t begin = 0;     // first non-white-space character
    std::uint64_t end = 0;       // end of the last one (keyword part)
    std::uint64_t name_end = 0;  // end of the last one before '=' (parameter part)
    bool has_eq = false;
    bool has_value = false;
    std::uint64_t value_begin = 0, value_end = 0;
    char head[kHeadSize] = {};  // the first bytes from `begin`; non-ASCII stands as 0x80
    std::size_t head_len = 0;
  };

  bool next_char(std::size_t& pos, Char& out);
  void start_data_line(std::uint64_t begin, std::uint64_t end);
  Status keyword_char(const Char& c);
  Status end_part();
  Status end_keyword_line();
  void apply(const std::string& keyword, std::optional<std::string> value);
  Result<std::string> fetch(std::uint64_t begin, std::uint64_t end);

  Collector& out_;
  DeckState& deck_;
  DeckInput& input_;
  text::LineBlocks& blocks_;

  // The current chunk.
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t at_ = 0;

  State state_ = State::Start;
  text::Utf8Carry carry_;  // a multi-byte character cut by the chunk end

  std::uint64_t title_begin_ = 0, title_end_ = 0;

  // The keyword line being read.
  Part part_;
  bool have_keyword_ = false;
  std::string keyword_;
  Rule rule_ = Rule::Unknown;
  std::string_view wanted_;
  bool have_value_ = false;
  std::uint64_t value_begin_ = 0, value_end_ = 0;

  std::optional<std::string> include_;
};

bool LineScanner::next_char(std::size_t& pos, Char& out) {
  std::string_view ch;
  if (!carry_.next(std::string_view(data_, size_), pos, ch)) return false;
  const std::uint64_t end = at_ + pos;  // a carried character ends here too
  out = {text::decode_valid(reinterpret_cast<const unsigned char*>(ch.data()), ch.size()), end - ch.size(), end};
  return true;
}

Result<std::size_t> LineScanner::scan(const char* data, std::size_t size, std::uint64_t at,
                                      std::size_t pos) {
  data_ = data;
  size_ = size;
  at_ = at;
  const auto* d = reinterpret_cast<const unsigned char*>(data);
  while (pos < size) {
    // Runs of ordinary lines, when between lines or inside a line already counted.
    if (!carry_.carrying() && !deck_.heading && (state_ == State::Start || state_ == State::Skip)) {
      bool line_start = state_ == State::Start;
      std::uint64_t lines = 0;
      pos = blocks_.run(pos, line_start, lines);
      state_ = line_start ? State::Start : State::Skip;
      if (deck_.counted == Counted::Nodes) out_.node_count += lines;
      else if (deck_.counted == Counted::Elements) out_.element_count += lines;
      if (pos == size) break;
    }
    // Byte by byte up to the next block boundary (a skipped line may run past it).
    const std::size_t limit = std::min(size, (pos | 63) + 1);
    while (pos < limit) {
      switch (state_) {
        case State::Skip: {
          const std::size_t lf = blocks_.next_line_feed(pos);
          if (lf == size) return size;
          pos = lf + 1;
          state_ = State::Start;
          break;
        }
        case State::Start: {
          const unsigned char b = d[pos];
          if (kBytes.plain[b]) {
            start_data_line(at + pos, at + pos + 1);
            ++pos;
          } else if (kBytes.space[b]) {
            ++pos;
          } else if (b == '*') {
            ++pos;
            state_ = State::Star;
            part_ = Part{};
            have_keyword_ = false;
            have_value_ = false;
          } else {
            Char c;
            if (!next_char(pos, c)) return size;
            if (!text::is_white_space(c.cp)) start_data_line(c.begin, c.end);
          }
          break;
        }
        case State::Star:
          // "**" is a comment; "*" and anything else is a keyword line.
          if (d[pos] == '*') {
            ++pos;
            state_ = State::Skip;
          } else {
            state_ = State::Keyword;
          }
          break;
        case State::Keyword: {
          Char c;
          if (!next_char(pos, c)) return size;
          if (c.cp == '\n') {
            state_ = State::Start;
            TVX_TRY(end_keyword_line());
            if (include_) return pos;
          } else {
            TVX_TRY(keyword_char(c));
          }
          break;
        }
        case State::Title: {
          Char c;
          if (!next_char(pos, c)) return size;
          if (c.cp == '\n') {
            state_ = State::Start;
            TVX_TRY_ASSIGN(std::string title, fetch(title_begin_, title_end_));
            out_.title = std::move(title);
          } else if (!text::is_white_space(c.cp)) {
            title_end_ = c.end;
          }
          break;
        }
      }
    }
  }
  return size;
}

void LineScanner::start_data_line(std::uint64_t begin, std::uint64_t end) {
  if (deck_.counted == Counted::Nodes) ++out_.node_count;
  else if (deck_.counted == Counted::Elements) ++out_.element_count;
  if (deck_.heading && !out_.title) {
    deck_.heading = false;
    title_begin_ = begin;
    title_end_ = end;
    state_ = State::Title;
  } else {
    state_ = State::Skip;
  }
}

Status LineScanner::keyword_char(const Char& c) {
  if (c.cp == ',') return end_part();
  const bool space = text::is_white_space(c.cp);
  Part& p = part_;
  if (!p.has_content) {
    if (space) return ok_status();
    p.has_content = true;
    p.begin = c.begin;
    p.name_end = c.begin;
  }
  if (!have_keyword_) {  // the keyword itself: '=' is an ordinary character here
    if (!space) p.end = c.end;
    return ok_status();
  }
  if (p.has_eq) {
    if (!space) {
      if (!p.has_value) p.value_begin = c.begin;
      p.has_value = true;
      p.value_end = c.end;
    }
    return ok_status();
  }
  if (c.cp == '=') {
    p.has_eq = true;
    return ok_status();
  }
  if (!space) p.name_end = c.end;
  for (std::uint64_t i = c.begin; i < c.end && p.head_len < Part::kHeadSize; ++i)
    p.head[p.head_len++] = c.cp < 0x80 ? static_cast<char>(c.cp) : '\x80';
  return ok_status();
}

Status LineScanner::end_part() {
  Part p = std::exchange(part_, Part{});
  if (!p.has_content) return ok_status();  // empty parts are dropped
  if (!have_keyword_) {
    TVX_TRY_ASSIGN(const std::string keyword, fetch(p.begin, p.end));
    keyword_ = text::ascii_upper(keyword);
    have_keyword_ = true;
    rule_ = rule_of(keyword_);
    wanted_ = used_parameter(rule_);
    return ok_status();
  }
  const std::uint64_t name_len = p.name_end - p.begin;
  if (wanted_.empty() || name_len != wanted_.size()) return ok_status();
  if (text::ascii_upper(std::string_view(p.head, static_cast<std::size_t>(name_len))) != wanted_)
    return ok_status();
  // A later parameter of the same name replaces the value.
  have_value_ = true;
  value_begin_ = p.has_value ? p.value_begin : 0;
  value_end_ = p.has_value ? p.value_end : 0;
  return ok_status();
}

Status LineScanner::end_keyword_line() {
  TVX_TRY(end_part());
  std::optional<std::string> value;
  if (have_value_) {
    TVX_TRY_ASSIGN(value, fetch(value_begin_, value_end_));
  }
  if (!have_keyword_) {
    keyword_.clear();
    rule_ = Rule::Unknown;
  }
  apply(keyword_, std::move(value));
  have_keyword_ = false;
  have_value_ = false;
  return ok_status();
}

void LineScanner::apply(const std::string& k, std::optional<std::string> value) {
  deck_.counted = k == "NODE" ? Counted::Nodes : k == "ELEMENT" ? Counted::Elements : Counted::Nothing;
  deck_.heading = k == "HEADING";
  switch (rule_) {
    case Rule::Load: out_.load_keywords.insert(k); break;
    case Rule::Material:
      if (value) out_.materials.insert(std::move(*value));
      break;
    case Rule::EndStep: deck_.in_step = false; break;
    case Rule::Step: deck_.in_step = true; break;
    case Rule::Boundary: out_.boundary_keywords.insert(k); break;
    case Rule::Heading: break;
    case Rule::Include:
      if (value) {
        out_.includes.push_back(*value);
        include_ = std::move(value);
      }
      break;
    case Rule::Output: out_.output_keywords.insert(k); break;
    case Rule::Section: out_.sections.insert(value ? k + ":" + *value : k); break;
    case Rule::Procedure:
      if (deck_.in_step) out_.steps.insert(k);
      else if (!is_known(k)) out_.unknown_keywords.insert(k);
      break;
    case Rule::Known: break;
    case Rule::Unknown: out_.unknown_keywords.insert(k); break;
  }
}

// The text between two file offsets: from the chunk when it lies there, else read again.
Result<std::string> LineScanner::fetch(std::uint64_t begin, std::uint64_t end) {
  if (begin >= end) return std::string();
  if (begin >= at_ && end <= at_ + size_) return std::string(data_ + (begin - at_), end - begin);
  std::string bytes(static_cast<std::size_t>(end - begin), '\0');
  TVX_TRY_ASSIGN(const std::size_t n, input_.read_at(bytes.data(), bytes.size(), begin));
  // The deck changed under us: the text is no longer the one that was scanned.
  if (n != bytes.size()) return TolvanexError::io("failed to fill whole buffer");
  if (!text::is_valid_utf8(bytes)) return invalid_utf8();
  return bytes;
}

Status LineScanner::finish() {
  size_ = 0;  // no chunk: whatever is still wanted is read again from the deck
  const State state = std::exchange(state_, State::Start);
  if (state == State::Title) {
    TVX_TRY_ASSIGN(std::string title, fetch(title_begin_, title_end_));
    out_.title = std::move(title);
  } else if (state == State::Star || state == State::Keyword) {
    TVX_TRY(end_keyword_line());
  }
  return ok_status();
}

// ---------------------------------------------------------------------------------------
// Include stack

// Parent of a POSIX path; none for "" and "/"; "" for a bare name.
std::optional<std::string> parent_of(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // trailing slashes name the same entry
  if (end == 0 || (end == 1 && path[0] == '/')) return std::nullopt;
  const std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return std::string();
  std::size_t cut = slash;
  while (cut > 0 && path[cut - 1] == '/') --cut;
  if (cut == 0) return std::string("/");
  return path.substr(0, cut);
}

std::string join(const std::string& base, const std::string& value) {
  if (!value.empty() && value.front() == '/') return value;
  if (base.empty()) return value;
  if (base.back() == '/') return base + value;
  return base + "/" + value;
}

// A deck is known by its canonical path, or by the path as given when that fails.
std::string visit_key(const std::string& path) {
  if (fsio::has_nul(path)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string key(resolved);
  std::free(resolved);
  return key;
}

struct Frame {
  std::string path;  // as opened
  std::string base;  // its relative includes resolve against this
  DeckState state;
  std::uint64_t offset = 0;  // where reading resumes after an include
  std::optional<DeckInput> input;
};

// Reads a deck and everything it includes, depth first, on an explicit stack.
class DeckWalker {
 public:
  DeckWalker(Collector& out, const DeckReadOptions& options)
      : out_(out),
        chunk_size_(std::max<std::size_t>(options.chunk_size, 1)),
        max_open_(std::max<std::size_t>(options.max_open_decks, 1)),
        interrupt_(options.interrupt),
        blocks_(kKeywordStarts, options.kernel) {}

  Status run(const std::string& path, const std::string& base);

 private:
  Result<std::optional<Frame>> scan(Frame& frame);
  std::optional<Frame> follow(const Frame& frame, const std::string& value);
  Status including_decks_first(TolvanexError error);

  Collector& out_;
  std::size_t chunk_size_;
  fsio::ReadBuffer buffer_;  // as large as the largest deck met needs, up to the chunk size
  std::size_t max_open_;
  fsio::Interrupt* interrupt_;
  text::LineBlocks blocks_;
  std::unordered_set<std::string> visited_;
  // The first deck, until it is keyed: canonicalising a path costs a lookup per component,
  // and the key of the first deck matters only once a deck is included. So it is taken
  // before the first include is followed, which leaves the set as if taken at the start.
  std::optional<std::string> unkeyed_first_;
  std::vector<Frame> stack_;
};

Status DeckWalker::run(const std::string& path, const std::string& base) {
  unkeyed_first_ = path;
  stack_.push_back(Frame{path, base, {}, 0, std::nullopt});
  while (!stack_.empty()) {
    Result<std::optional<Frame>> next = scan(stack_.back());
    if (!next) return including_decks_first(std::move(next).error());
    std::optional<Frame> child = std::move(next).value();
    if (!child) {
      stack_.pop_back();
      continue;
    }
    stack_.push_back(std::move(*child));
    // Only the innermost decks stay open; an outer one is reopened when the scan returns.
    if (stack_.size() > max_open_) {
      Frame& outer = stack_[stack_.size() - 1 - max_open_];
      if (outer.input && !outer.input->in_memory()) outer.input.reset();
    }
  }
  return ok_status();
}

// The error of the innermost deck, unless a deck that includes it has one of its own after
// the include line: that one came first.
Status DeckWalker::including_decks_first(TolvanexError error) {
  for (std::size_t i = 0; i + 1 < stack_.size(); ++i) {
    Frame& outer = stack_[i];
    if (!outer.input) {
      TVX_TRY_ASSIGN(DeckInput input, DeckInput::open(outer.path, interrupt_));
      outer.input.emplace(std::move(input));
    }
    text::Utf8Validator utf8;  // from a line start, so between characters
    TVX_TRY(check_rest(*outer.input, utf8, buffer_, outer.offset));
  }
  return error;
}

std::optional<Frame> DeckWalker::follow(const Frame& frame, const std::string& value) {
  std::string path = join(frame.base, value);
  // A missing target, a directory or anything else that is not a regular file is skipped.
  if (fsio::kind_of(path, /*follow_links=*/true) != fsio::Kind::Regular) return std::nullopt;
  if (unkeyed_first_) visited_.insert(visit_key(*std::exchange(unkeyed_first_, std::nullopt)));
  if (!visited_.insert(visit_key(path)).second) return std::nullopt;
  std::string base = parent_of(path).value_or(frame.base);
  return Frame{std::move(path), std::move(base), {}, 0, std::nullopt};
}

Result<std::optional<Frame>> DeckWalker::scan(Frame& frame) {
  if (!frame.input) {
    TVX_TRY_ASSIGN(DeckInput input, DeckInput::open(frame.path, interrupt_));
    frame.input.emplace(std::move(input));
  }
  DeckInput& input = *frame.input;
  // A small deck is read whole, with a byte to spare so that the read shows the end.
  constexpr std::size_t kPage = fsio::ReadBuffer::kPageSize;
  const std::uint64_t whole = (input.size_hint() + 1 + kPage - 1) / kPage * kPage;
  buffer_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size_, whole)));
  LineScanner lines(out_, frame.state, input, blocks_);
  text::Utf8Validator utf8;  // resumes at a line start, so between characters
  std::uint64_t at = frame.offset;
  for (bool more = true;;) {
    std::size_t n = 0;
    if (more) {
      const std::size_t want = buffer_.span_at(at);
      TVX_TRY_ASSIGN(n, input.read_at(buffer_.data(), want, at));
      more = n == want;  // a short read has met the end
    }
    if (n == 0) {
      if (!utf8.finish()) return invalid_utf8();
      TVX_TRY(lines.finish());
      if (auto value = lines.take_include()) {
        if (auto child = follow(frame, *value)) {
          frame.offset = at;
          return child;
        }
      }
      return std::optional<Frame>();
    }
    blocks_.reset(buffer_.data(), n);
    if (!utf8.feed(std::string_view(buffer_.data(), n))) {
      Status rest = check_rest(input, utf8, buffer_, at + n);
      return std::move(rest).error();  // a read failure, else the invalid text
    }
    std::size_t pos = 0;
    while (pos < n) {
      TVX_TRY_ASSIGN(pos, lines.scan(buffer_.data(), n, at, pos));
      auto value = lines.take_include();
      if (!value) continue;
      std::optional<Frame> child = follow(frame, *value);
      if (!child) continue;
      frame.offset = at + pos;
      return child;
    }
    at += n;
  }
}

Result<AbaqusInpSummary> read_decks(const std::string& path, const DeckReadOptions& options) {
  Collector out;
  DeckWalker walker(out, options);
  TVX_TRY(walker.run(path, parent_of(path).value_or(std::string())));
  return std::move(out).finish();
}

}  // namespace
}  // namespace tolvanex::parsers::abaqus
