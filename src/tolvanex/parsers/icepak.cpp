// Icepak archives (.tzr): a tar stream, stored plain or wrapped in gzip, that holds an Icepak
// project directory. One forward pass over the tar headers lists the entries with their type
// and size, counts files and directories, sums the sizes, finds the project directory that
// holds everything and notes the job and model files; entry contents are passed over.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "tolvanex/codec/codec.hpp"
#include "tolvanex/container/tar.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/saturating.hpp"
#include "tolvanex/text/text.hpp"
#include "tolvanex/text/utf8.hpp"

namespace tolvanex::parsers::icepak {
namespace {

constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kKeptCapacity = 64 * 1024;

// What the record can use of an entry's name, gathered as its raw bytes arrive: the name
// whole while it may still be listed, its first component while it may still be the
// project name, and enough of its last component to compare it with "job" and "model".
// "\" is read as "/" and leading "./" are dropped on the raw bytes; only what is kept is
// decoded. That gives the text decoding first would: "/", "\" and "." are never part of an
// invalid sequence, and a decoded text is never shorter than its bytes (an invalid
// sequence of 1 to 3 bytes becomes the 3 bytes of U+FFFD), so a name that is too long raw
// is too long decoded.
class NameSketch final : public container::TarPathSink {
 public:
  // Bytes beyond both limits are counted, not kept: `whole` of the name, `first` of its
  // first component.
  void set_limits(std::uint64_t whole, std::uint64_t first) {
    whole_limit_ = whole;
    first_limit_ = first;
  }
  void restart() override;
  void append(std::string_view bytes) override;
  // Ends the name: a "." still waiting to see whether "/" follows is part of it.
  void finish();

  // Whether the name is no longer than the whole-name limit, and so was kept whole.
  bool within_limit() const { return length_ <= whole_limit_; }
  // The name, "\" read as "/", its leading "./" dropped: whole, or as far as it was kept.
  std::string_view head() const { return head_; }
  bool has_slash() const { return slash_ != kUnbounded; }
  // The first component was kept when the first "/" lies within what was kept.
  bool first_kept() const { return has_slash() && slash_ <= head_.size(); }
  std::uint64_t slash() const { return slash_; }
  bool last_is(std::string_view word) const { return text::ascii_iequals(tail_, word); }

 private:
  void take(std::string_view body);

  std::uint64_t whole_limit_ = kUnbounded;
  std::uint64_t first_limit_ = kUnbounded;
  bool stripping_ = true;  // still among the leading "./"
  bool dot_ = false;       // a "." whose next byte is not here yet
  std::string head_;
  std::uint64_t length_ = 0;
  std::uint64_t slash_ = kUnbounded;
  std::string tail_;  // the last component; six bytes stand for any longer one
};

// The summary as entries arrive, in archive order.
class Tally {
 public:
  Tally(bool gzip, std::uint64_t byte_budget) : budget_(byte_budget) { summary_.gzip_compressed = gzip; }

  // Where entry names go; before each entry, told how much of its name the record can use.
  NameSketch& names() { return name_; }
  void expect_entry();
  void add(const container::TarEntry& entry);
  bool empty() const { return summary_.entry_count == 0; }
  IcepakTzrSummary finish() &&;

 private:
  IcepakTzrSummary summary_;
  std::uint64_t budget_;
  std::uint64_t listed_bytes_ = 0;
  // The first path component that every entry shares so far: unset before the first entry,
  // empty once two entries disagree or one has no "/".
  std::optional<std::string> project_;
  NameSketch name_;
};

Status read_entries(ByteSource& tar, Tally& tally);

}  // namespace

Result<IcepakTzrSummary> inspect_icepak_tzr(const std::string& path, std::uint64_t byte_budget,
                                            fsio::Interrupt* interrupt) {
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path, interrupt));
  unsigned char magic[2];
  // What can't be read (a directory) is as short as an empty file; a stop asked for while
  // waiting on a FIFO is no fault of the file. Reading and seeking back apart lets a stream
  // that can't seek (a FIFO) fail at the seek, with its own error.
  std::size_t got = 0;
  while (got < sizeof magic) {
    Result<std::size_t> n = file.read(magic + got, sizeof magic - got);
    if (!n && n.error().kind() == ErrorKind::Interrupted) return std::move(n).error();
    if (!n || n.value() == 0) return TolvanexError::message("Icepak TZR archive is too short to contain a tar stream");
    got += n.value();
  }
  TVX_TRY(file.seek(0));

  const bool gzip = magic[0] == 0x1F && magic[1] == 0x8B;
  Tally tally(gzip, byte_budget);
  FileSource plain(file);
  if (gzip) {
    codec::GzipMemberSource inflated(plain);
    TVX_TRY(read_entries(inflated, tally));
  } else {
    TVX_TRY(read_entries(plain, tally));
  }
  if (tally.empty()) return TolvanexError::message("Icepak TZR archive did not contain any tar entries");
  return std::move(tally).finish();
}

namespace {

Status read_entries(ByteSource& tar, Tally& tally) {
  container::TarReader reader(tar, tally.names());
  for (;;) {
    tally.expect_entry();
    TVX_TRY_ASSIGN(const container::TarEntry* entry, reader.next());
    if (!entry) return ok_status();
    tally.add(*entry);
  }
}

const char* type_name(char type) {
  switch (type) {
    case '0': case '\0': return "file";
    case '1': return "hard-link";
    case '2': return "symlink";
    case '5': return "directory";
    default: return "other";
  }
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

void NameSketch::restart() {
  stripping_ = true;
  dot_ = false;
  head_.clear();
  if (head_.capacity() > kKeptCapacity) std::string().swap(head_);  // after a long name
  length_ = 0;
  slash_ = kUnbounded;
  tail_.clear();
}

void NameSketch::append(std::string_view bytes) {
  while (stripping_ && !bytes.empty()) {
    if (!dot_ && bytes.front() == '.') {
      dot_ = true;
    } else if (dot_ && is_separator(bytes.front())) {
      dot_ = false;
    } else {
      stripping_ = false;
      if (dot_) take(".");
      break;
    }
    bytes.remove_prefix(1);
  }
  if (!bytes.empty()) take(bytes);
}

void NameSketch::finish() {
  if (stripping_ && dot_) take(".");
  stripping_ = dot_ = false;
}

void NameSketch::take(std::string_view body) {
  const std::uint64_t at = length_;
  length_ += body.size();
  if (!has_slash()) {
    const std::size_t slash = std::min(body.find('/'), body.find('\\'));
    if (slash != std::string_view::npos) slash_ = at + slash;
  }
  // Only the last six bytes can hold the start of a last component short enough to matter.
  const std::string_view end = body.substr(body.size() - std::min<std::size_t>(body.size(), 6));
  const auto last = std::find_if(end.rbegin(), end.rend(), is_separator);
  if (last != end.rend()) tail_.clear();
  tail_.append(last.base(), end.end());
  if (tail_.size() > 6) tail_.resize(6);
  // The limit only falls as a name goes on (once its "/" is seen), so what is kept is always
  // a prefix of it.
  const std::uint64_t keep = std::max(whole_limit_, std::min(first_limit_, slash_));
  if (head_.size() < keep) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(keep - at, body.size()));
    head_.append(body.substr(0, n));
    std::replace(head_.end() - static_cast<std::ptrdiff_t>(n), head_.end(), '\\', '/');
  }
}

// The whole name is needed while it may fit the budget's rest; the first component while it
// may become or match the project name: any length for the first entry, at most the
// candidate's length after it (raw bytes never decode shorter), none after a conflict.
void Tally::expect_entry() { name_.set_limits(budget_ - listed_bytes_, project_ ? project_->size() : kUnbounded); }

void Tally::add(const container::TarEntry& entry) {
  name_.finish();
  const char type = entry.type;
  summary_.uncompressed_bytes = saturating_add(summary_.uncompressed_bytes, entry.size);
  if (type == '0' || type == '\0') ++summary_.file_count;
  if (type == '5') ++summary_.directory_count;
  ++summary_.entry_count;

  if (name_.last_is("job")) summary_.job_file_present = true;
  if (name_.last_is("model")) summary_.model_file_present = true;

  std::optional<std::string> name;
  if (name_.within_limit()) name = text::decode_lossy(name_.head());
  if (!name_.has_slash()) {
    project_.emplace();
  } else if (!project_ || !project_->empty()) {
    // A first component that was not kept is longer than the candidate; the first entry's is
    // always kept.
    std::string kept;
    std::string_view first;
    if (name) first = std::string_view(*name).substr(0, name->find('/'));
    else if (name_.first_kept()) first = kept = text::decode_lossy(name_.head().substr(0, name_.slash()));
    if (!project_) project_.emplace(first);
    else if (!(name || name_.first_kept()) || *project_ != first) project_->clear();
  }

  // An empty name costs one byte: every listed entry takes some of the budget.
  const std::uint64_t listed = name ? saturating_add(listed_bytes_, std::max<std::size_t>(name->size(), 1)) : kUnbounded;
  if (listed > budget_) {
    summary_.truncated = true;
    return;
  }
  listed_bytes_ = listed;
  summary_.entries.push_back({std::move(*name), type_name(type), entry.size});
}

IcepakTzrSummary Tally::finish() && {
  if (project_ && !project_->empty()) summary_.project_name = std::move(project_);
  return std::move(summary_);
}

}  // namespace
}  // namespace tolvanex::parsers::icepak
