// The COMSOL model archive reader (.mph, a ZIP archive) and the pieces it is built from.
//
// One pass over the archive lists and sizes every entry and streams five root members:
// "fileversion" and "usedlicenses.txt" (plain text), "modelinfo.xml" and "dmodel.xml" (XML,
// through the pull tokenizer) and "smodel.json" (JSON, through a strict reading of its own). No
// member is held whole: each is consumed as it is decompressed, and what the summary keeps is
// collected on the way. A malformed model member does not stop the pass, because a failing
// entry later in the archive (unreadable, corrupt, not UTF-8) is the error to report; the
// first model error of each member is remembered and reported after the pass, model
// information first, then model tree, then serialised model.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/error.hpp"
#include "tolvanex/schema.hpp"
#include "tolvanex/text/text.hpp"
#include "tolvanex/text/trailing_space.hpp"

namespace tolvanex::parsers::comsol {

// ---------------------------------------------------------------------------------------
// Archive inventory

// The size class of an entry name: "solution", "mesh", "geometry", "binary" or "data".
std::string_view size_bucket(std::string_view entry_name);

// The five members read from the archive root; names compare byte for byte.
enum class Member { None, DModel, FileVersion, SModel, ModelInfo, UsedLicenses };
Member member_of(std::string_view entry_name);

// ---------------------------------------------------------------------------------------
// Model tags

enum class NodeKind { Physics = 0, Study = 1, Material = 2 };
// The kind named by a word, compared after ASCII lower-casing.
std::optional<NodeKind> node_kind(std::string_view word);

// The facts of one model: declared parameters and the tags of its physics, study and
// material nodes.
struct TreeInfo {
  std::vector<NamedValue> parameters;
  std::array<std::vector<std::string>, 3> tags;  // indexed by NodeKind

  std::vector<std::string>& tags_of(NodeKind kind) { return tags[static_cast<int>(kind)]; }
  // Sorts each tag list by bytes and drops repeated tags.
  void sort_tags();
};

// a followed by b, sorted by bytes (stable), each run of equal items cut to its first.
std::vector<std::string> merge_sorted(std::vector<std::string> a, std::vector<std::string> b);

// ---------------------------------------------------------------------------------------
// Texts taken again

// Bytes [begin, end) of a member.
struct ByteRange {
  std::uint64_t begin = 0, end = 0;
};

// The bytes of each range, from a read of the member: the ranges ascending and disjoint.
Result<std::vector<std::string>> read_ranges(ByteSource& member, const std::vector<ByteRange>& ranges);

// ---------------------------------------------------------------------------------------
// Model information ("modelinfo.xml")

struct ModelInfo {
  std::optional<std::string> title;
  std::optional<std::string> description;
  std::optional<std::string> comsol_version;
  std::optional<std::string> node_type;
  std::optional<bool> is_runnable;
  // Texts that were not held as they streamed by (a long run of white space inside them), for
  // the four text fields above in their order: where the field's value lies in the member, to
  // be taken from a second read. The field itself holds the empty text meanwhile.
  std::array<std::optional<ByteRange>, 4> unread;
};

// Stores one key/value pair: keys "title", "description", "version"/"comsolversion",
// "nodetype" and "runnable"/"isrunnable" in any ASCII case; the last assignment wins.
void assign_modelinfo(ModelInfo& info, std::string_view key, std::string_view value);

// ---------------------------------------------------------------------------------------
// Member readers. Each consumes `source` until it ends or the member is found malformed and
// returns the member's own error (Xml or Json); a failure of the source itself is the
// caller's to report and may surface here as any error.

Status read_modelinfo(ByteSource& source, ModelInfo& info);
// Fills the fields that read_modelinfo left unread, from a second read of the member.
Status read_unread(ByteSource& again, ModelInfo& info);
Status read_dmodel(ByteSource& source, TreeInfo& tree);
// Collects the tags of the serialised model into `tree` (its parameters stay untouched). The
// parse is strict: no byte-order mark, one value, nesting below 128 levels, every number
// within the range of a double. Memory stays bounded by the tags kept: string contents and
// number texts that cannot matter are not held.
Status read_smodel(ByteSource& source, TreeInfo& tree);

// ---------------------------------------------------------------------------------------
// Plain-text members

// Splits streamed text into segments and trims each of Unicode white space, holding no more
// than the kept text plus a bounded run of pending white space. Lines mode splits at every
// line feed and drops empty segments; colon mode splits once, at the first colon, and keeps
// empty segments. When a run of white space inside a segment grows past the bound, the texts
// are given up and only their byte ranges kept; `extract` then takes them from a second read.
class TrimmedSegments {
 public:
  // Lines: one segment a line; FirstColon: the text before the first colon and after it;
  // Whole: the text as one segment, none when it is all white space.
  enum class Mode { Lines, FirstColon, Whole };
  using Range = ByteRange;
  static constexpr std::size_t kPendingLimit = 64 * 1024;

  explicit TrimmedSegments(Mode mode) : mode_(mode) {}
  void feed(std::string_view chunk);
  // A run of `count` bytes of ASCII white space, not given (Whole mode): taken as a run past
  // the holding limit.
  void unheld_white(std::uint64_t count);
  void finish();

  bool split() const { return split_; }  // colon mode: a colon was found
  // True when the texts were given up; ranges() still describes them.
  bool needs_extract() const { return spilled_; }
  const std::vector<Range>& ranges() const { return ranges_; }
  // The segment texts (finish() first; empty vector while needs_extract()).
  std::vector<std::string> take_texts() { return std::move(texts_); }
  // Rebuilds the texts from a second read of the same bytes.
  Status extract(ByteSource& again);

 private:
  void character(std::string_view bytes);
  void flush_carry();  // a sequence cut short counts as one character
  void give_up();
  void close_segment();

  Mode mode_;
  bool split_ = false;
  bool spilled_ = false;
  std::uint64_t offset_ = 0;  // bytes consumed
  text::Utf8Carry carry_;     // a character cut by a chunk's end
  // The open segment.
  bool started_ = false;
  Range current_;
  std::string kept_;     // from its first to its last non-white character
  text::TrailingSpace pending_{kPendingLimit};  // white space after its last non-white character
  std::vector<Range> ranges_;
  std::vector<std::string> texts_;
};

// The "fileversion" text split into (schema, saved_in).
struct FileVersion {
  std::optional<std::string> schema;
  std::optional<std::string> saved_in;
};
FileVersion file_version_from(bool split, std::vector<std::string> segments);

// ---------------------------------------------------------------------------------------
// Member stream

// Wraps a member's decompressed content: checks that it is UTF-8 as a whole and remembers
// the first read failure. After either, the consumer sees the end of input; finish() reads
// whatever the consumer left (so a CRC or decompression failure at the very end is still
// found) and returns the member's verdict.
class MemberStream final : public ByteSource {
 public:
  explicit MemberStream(ByteSource& raw) : raw_(raw) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override;
  Status finish();

 private:
  ByteSource& raw_;
  text::Utf8Validator utf8_;
  std::optional<TolvanexError> failure_;
  bool cut_ = false;  // ill-formed UTF-8 seen: the consumer gets no more bytes
};

}  // namespace tolvanex::parsers::comsol
