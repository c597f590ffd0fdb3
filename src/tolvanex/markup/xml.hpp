// A small streaming XML pull tokenizer, shared by the FloXML reader, the `.xml` root probe and
// the COMSOL model members.
//
// It is deliberately not a general XML parser: names, texts and attribute values come as the
// raw bytes of the file; entity and character references in text arrive as separate
// `GeneralRef` events and are never expanded; attribute values stay as written; namespaces
// are not resolved. The only checks are: tags and markup must be closed, an end tag must match
// the innermost open start tag, an `&` in text needs its `;`, and the names of the open
// elements must fit in a bounded stack (NameStack::kMaxBytes, some 64 million levels of a
// short name). Elements still open at end of input are not an error.
//
// It holds only what its reader uses, so that no construct of a hostile file grows its
// memory: a tag is its name and the attributes whose keys the reader asked for
// (`set_attribute_filter`); a text goes in pieces to the reader's `TextSink` when it has one
// at that place, and is scanned without being held when not; comments, CDATA, declarations,
// processing instructions, the DOCTYPE and references come as events without their content.
// White space that may turn out to be trailing (in a text, or after an end tag's name) is held
// in short form until that is known. Event kinds, their order and the errors never depend on
// what is held, nor on where the buffer refills.
//
// It is fast on documents made mostly of small elements: the buffer is looked at 64 bytes at a
// time through the text layer's byte-class kernels (text/blocks.hpp), a tag that lies whole in
// the buffer is read in place, element names are numbered once (NameTable) so that readers
// follow paths by comparing numbers, and a reader is shown only the kinds of event it asks for.
//
// Usage:
//   std::string scratch;
//   XmlPullReader reader(source);
//   for (;;) {
//     TVX_TRY_ASSIGN(XmlEvent ev, reader.next_event(scratch));
//     if (ev.kind == XmlEventKind::Eof) break;
//     ...  // ev.bytes stays valid until the next call of next_event
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/error.hpp"
#include "tolvanex/text/blocks.hpp"
#include "tolvanex/text/text_sink.hpp"

namespace tolvanex::xml {

enum class XmlEventKind {
  Start,       // <name attrs>: bytes = the raw name and the kept attributes (see the filter)
  Empty,       // <name attrs/>: as Start; no End follows
  End,         // </name>: bytes = the name, trailing XML white space removed
  Text,        // character data, XML white space trimmed at both ends, never empty; its
               // bytes go to the text sink, the event's own are empty
  CData,       // <![CDATA[ ... ]]>
  Comment,     // <!-- ... -->
  Decl,        // <?xml ...?>
  PI,          // any other <? ... ?>
  DocType,     // <!DOCTYPE ...>
  GeneralRef,  // &name; or &#n; in text
  Eof,         // end of input; repeated on every later call
};

struct XmlAttribute {
  std::string_view key;    // raw name, prefix included
  std::string_view value;  // raw bytes between the quotes, nothing expanded
};

enum class XmlAttrError {
  None,          // the item is an attribute
  Duplicated,    // a key already seen in this tag; the first occurrence counts
  MissingEquals, // a key without `=`
  MissingValue,  // `=` with nothing after it
  Unquoted,      // a value not starting with `"` or `'`
  Unterminated,  // a value without its closing quote
};

struct XmlAttrItem {
  XmlAttrError error = XmlAttrError::None;
  XmlAttribute attribute;  // meaningful only when ok()
  bool ok() const { return error == XmlAttrError::None; }
};

// Iterates a tag's attributes in document order. Error items never end the iteration; the
// readers skip them. Borrows the tag bytes.
class XmlAttributes {
 public:
  // `tag` is a Start or Empty payload; the name before the first XML white space is skipped.
  explicit XmlAttributes(std::string_view tag);
  // The next item, or nullopt once the tag is exhausted.
  std::optional<XmlAttrItem> next();

 private:
  // Keys seen so far: a short list, and a hash set once a tag has many attributes, so that
  // a tag with a huge number of them is not checked in quadratic time.
  bool seen_before(std::string_view key);

  std::string_view tag_;
  std::size_t pos_ = 0;
  static constexpr std::size_t kFew = 16;
  struct Span {
    std::size_t at, size;  // of a key in the tag
  };
  Span few_[kFew];      // the first keys, held without allocating
  std::size_t seen_ = 0;  // keys seen so far
  std::unique_ptr<std::unordered_set<std::string_view>> many_;  // all of them, past kFew
};

struct XmlEvent {
  XmlEventKind kind = XmlEventKind::Eof;
  // The payload of a Start, Empty or End event, borrowed from the caller's scratch or from the
  // reader; valid until the next call. Empty for every other kind.
  std::string_view bytes;
  // The number of a Start, Empty or End event's raw name (see NameTable), or NameTable::kNone.
  std::uint32_t id = 0;

  // Raw name of a Start, Empty or End event: the bytes up to the first XML white space.
  std::string_view name() const;
  // Attributes of a Start or Empty event.
  XmlAttributes attributes() const { return XmlAttributes(bytes); }
};

// The most bytes of a name that an error text quotes; a longer name is cut at a character
// boundary and followed by an ellipsis.
inline constexpr std::size_t kQuotedName = 256;

// Space, tab, line feed and carriage return: the only white space the tokenizer knows.
inline bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A name as the name table looks it up: its size and its first and last eight bytes, each
// read as a little-endian number (the same bytes, zero-padded, when it is shorter). Up to 16
// bytes that is the whole name.
struct NameKey {
  std::uint64_t head = 0, tail = 0;
  std::size_t size = 0;

  // Reads the name's bytes only.
  static NameKey of(std::string_view name);
  // The same, read in wider loads: the eight bytes from the name's start must be readable.
  static NameKey of_padded(std::string_view name);
  // One multiplication: a lookup waits on it.
  std::uint32_t hash() const {
    return static_cast<std::uint32_t>(((head ^ (tail >> 7) ^ (tail << 29) ^ size) * 0x9E3779B97F4A7C15ULL) >> 32);
  }
  friend bool operator==(const NameKey&, const NameKey&) = default;
};

// Element names as small numbers, so that readers follow paths by comparing numbers and keep
// what they know of a name by its number. Each distinct raw name gets the next number from 1
// on while the table has room: kMaxNames names of at most kMaxNameSize bytes, so that a
// document of endless distinct names costs a bounded table. Any other name stays kNone and is
// handled by its bytes. Names are stored in blocks that never move: a name's bytes stay valid
// as long as the table.
class NameTable {
 public:
  static constexpr std::uint32_t kNone = 0;
  static constexpr std::size_t kMaxNames = 4096;
  static constexpr std::size_t kMaxNameSize = 256;

  // The number of `name` (whose key is `key`), given now if it is new and there is room; else
  // kNone.
  [[gnu::always_inline]] std::uint32_t intern(std::string_view name, const NameKey& key) {
    if (!slots_.empty()) {
      const std::uint32_t id = slots_[slot(name, key)].id;
      if (id != kNone) return id;
    }
    return add(name, key);
  }
  std::uint32_t intern(std::string_view name) { return intern(name, NameKey::of(name)); }
  // The number of `name`, or kNone.
  std::uint32_t find(std::string_view name) const;
  // The bytes of the name numbered `id` (1 to size()).
  std::string_view name(std::uint32_t id) const { return names_[id - 1]; }
  // True when the name numbered `id` is `name`, whose key is `key`.
  bool is(std::uint32_t id, std::string_view name, const NameKey& key) const {
    return keys_[id - 1] == key && (key.size <= 16 || names_[id - 1] == name);
  }
  std::size_t size() const { return names_.size(); }

 private:
  // A name's key beside its number, so that a lookup reads one place.
  struct Slot {
    NameKey key;
    std::uint32_t id = kNone;  // kNone: a free slot
  };
  // The slot that holds the name, or the free one where it would go.
  [[gnu::always_inline]] std::size_t slot(std::string_view name, const NameKey& key) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = key.hash() & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.id == kNone || (s.key == key && (key.size <= 16 || names_[s.id - 1] == name))) return i;
    }
  }
  // Numbers a name not in the table, when there is room.
  std::uint32_t add(std::string_view name, const NameKey& key);

  std::vector<std::unique_ptr<char[]>> blocks_;  // the bytes of the names
  std::size_t block_used_ = 0;
  std::vector<std::string_view> names_;  // by number - 1
  std::vector<NameKey> keys_;            // likewise
  std::vector<Slot> slots_;              // open addressing, at most a quarter full
};

// An element on the stack of open ones: its raw name and the name's number.
struct OpenName {
  std::uint32_t id = NameTable::kNone;
  std::string_view name;
};

// The names of the open elements, innermost last, in one buffer. A name with a number is kept
// as its number, any other as its bytes; either is followed by a base-128 tag written so that
// it reads backwards from the end: the number times two plus one, or the byte length times two
// (one byte for numbers and lengths below 64, two below 8192). A level of a numbered name thus
// costs a byte or two, however deep the nesting. The buffer grows by `realloc`, which large blocks resize without
// copying, up to kMaxBytes: a document can open elements without end (a small deflated member
// opens billions), and past that bound it is refused rather than held.
class NameStack {
 public:
  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

  NameStack() = default;
  NameStack(const NameStack&) = delete;
  NameStack& operator=(const NameStack&) = delete;

  // Pushes `name` (whose key is `key`), numbered when the table has or takes it (top().id
  // tells); false (and pushes nothing) when the open names would take more than kMaxBytes.
  [[gnu::always_inline]] bool push(std::string_view name, const NameKey& key) {
    const std::uint32_t id = table_.intern(name, key);
    // Most levels are a numbered name whose tag is one byte; they are written here, in line,
    // so that a start tag costs no call.
    // The room asked of reserve() is the same, so that the depth refused is too.
    if (id != NameTable::kNone && id < 64 && capacity_ - used_ >= kMaxTag) [[likely]] {
      top_begin_ = used_;
      data_.get()[used_++] = static_cast<char>(id << 1 | 1);
      ++count_;
      top_ = {id, table_.name(id)};
      return true;
    }
    return push_tagged(name, id);
  }
  bool push(std::string_view name) { return push(name, NameKey::of(name)); }
  // Removes the innermost name and returns it; its bytes stay valid until the next push.
  OpenName pop() {
    const OpenName name = top_;
    used_ = top_begin_;
    if (--count_ == 0) return name;
    // A last byte with its high bit clear and its low bit set is a number's one-byte tag.
    const auto last = static_cast<unsigned char>(data_.get()[used_ - 1]);
    if ((last & 0x81) == 0x01) {
      top_begin_ = used_ - 1;
      top_ = {static_cast<std::uint32_t>(last >> 1), table_.name(last >> 1)};
    } else {
      top_ = entry_before(used_, top_begin_);
    }
    return name;
  }
  // The name `k` levels below the innermost one (0: the innermost); needs k < size().
  OpenName from_top(std::size_t k) const;
  const OpenName& top() const { return top_; }  // needs !empty()
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Bytes held for the open names (the table's not counted).
  std::size_t bytes() const { return used_; }
  NameTable& table() { return table_; }
  const NameTable& table() const { return table_; }

 private:
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  static constexpr std::size_t kMaxTag = (sizeof(std::size_t) * 8 + 6) / 7;  // bytes of a tag
  // Makes room for `n` more bytes; false when that would pass kMaxBytes.
  bool reserve(std::size_t n) { return n <= capacity_ - used_ || grow(n); }
  bool grow(std::size_t n);
  // push() for any name and tag, `id` being its number or kNone.
  bool push_tagged(std::string_view name, std::uint32_t id);
  // The entry that ends at `end`: its name, and where the entry begins.
  OpenName entry_before(std::size_t end, std::size_t& begin) const;

  NameTable table_;
  OpenName top_;             // the innermost entry, kept decoded
  std::size_t top_begin_ = 0;  // and where it begins
  std::unique_ptr<char, Free> data_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::size_t count_ = 0;
};

class TagFilter;  // reads the attributes of a start tag as it streams by (xml.cpp)

class XmlPullReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = 8192;

  // Reads `source` (not owned; must outlive the reader) through a buffer of `buffer_size`
  // bytes, looking at it with `kernel`. The events depend on neither.
  explicit XmlPullReader(ByteSource& source, std::size_t buffer_size = kDefaultBufferSize,
                         text::Kernel kernel = text::Kernel::Auto);
  ~XmlPullReader();

  XmlPullReader(const XmlPullReader&) = delete;
  XmlPullReader& operator=(const XmlPullReader&) = delete;

  // The next event, or an Xml error ("syntax error: ...", "ill-formed document: ...",
  // "I/O error: ..."). `scratch` holds the payload; it is cleared on entry. After an error the
  // reader must not be asked again.
  Result<XmlEvent> next_event(std::string& scratch);

  // The raw names of the open start tags, innermost last: the element path as it stands
  // after the last event (an Empty element is never on it). Its table numbers every name
  // that an event has shown.
  const NameStack& open_names() const { return open_; }

  // Where the bytes of the next Text events go: to `sink`, in order and in pieces of no fixed
  // size, before the event comes. Their concatenation is the text, except for white space
  // given by count. With no sink (the default), a text is scanned, not held.
  void set_text_sink(text::TextSink* sink) { text_sink_ = sink; }
  // Where the last Text event that went to a sink begins in the source: the bytes its sink got,
  // white space given by count included, are the source's from there on. A reader that did not
  // hold a text can so take it from a second read.
  std::uint64_t text_offset() const { return text_offset_; }

  // What a Start or Empty event holds besides the raw name: the attributes whose keys `keep`
  // accepts, each written as ` key=` and its value between its own quotes, in document order:
  // exactly the well-formed first occurrences that iterating the whole tag would yield with
  // those keys, so `XmlEvent::attributes()` reads them. The values of other attributes are
  // scanned, not kept. With no filter (the default), the name alone.
  //
  // Telling a repeated key needs the keys seen earlier in the tag, also those not kept: after a
  // repeated key, reading resumes at the next white space, which decides what the rest of the
  // tag yields. Keys that are kept are always remembered; others only while all the keys
  // remembered in the tag take at most kKeyMemory bytes (with an allowance per key). A key not
  // remembered (one of a tag with a vast number of attributes, or a key longer than the limit)
  // that occurs again is read as a first occurrence.
  using KeyFilter = bool (*)(std::string_view key);
  static constexpr std::size_t kKeyMemory = 256 * 1024;
  void set_attribute_filter(KeyFilter keep) { filter_ = keep; }

  // The kinds of event that next_event returns; the others are read as ever, errors
  // included, and passed over. A Text event comes whenever a text sink is set, and Eof always.
  // All kinds by default.
  void show_only(std::initializer_list<XmlEventKind> kinds);

  // Skim mode, for a reader that looks only at element names (the `.xml` root probe): of a
  // Start, Empty or End event only the last kSkimNameLimit bytes of the name are kept (then
  // `name_clipped()` is true for that event), and end tags are matched on those. Memory then
  // stays bounded whatever the input.
  static constexpr std::size_t kSkimNameLimit = 1024;
  void set_skim(bool on) { skim_ = on; }
  // True when the name of the last Start, Empty or End event was clipped in skim mode.
  bool name_clipped() const { return clipped_; }

 private:
  enum class State { Initial, Text, Exit };

  friend class XmlScanner;  // the scanning routines, kept out of this header

  // Makes at least one unread byte available: 1, or 0 at end of input, or -1 when the source
  // failed (its error is kept in failure_).
  int fill() { return pos_ < len_ ? 1 : refill(); }
  int refill();
  // The masks of the block of the buffer that starts at `block` (a multiple of 64 below len_),
  // made when the buffer was filled; bits past len_ are clear.
  const text::BitMasks& block_masks(std::size_t block) const { return masks_[block >> 6]; }
  // The bytes of that block that are in the buffer.
  std::uint64_t block_valid(std::size_t block) const { return len_ - block >= 64 ? ~std::uint64_t{0} : last_valid_; }

  ByteSource& source_;
  std::size_t buffer_size_;
  // buffer_size_ bytes, the rest of the last block, and a block more that wide loads may read.
  std::vector<char> buf_;
  std::size_t pos_ = 0;  // next unread byte in buf_
  std::size_t len_ = 0;  // valid bytes in buf_
  std::uint64_t base_ = 0;  // bytes of the source before buf_
  std::uint64_t text_offset_ = 0;
  bool eof_ = false;
  std::optional<TolvanexError> failure_;  // the error that ended reading
  text::ByteClassifier classifier_;
  std::vector<text::BitMasks> masks_;  // of each block of the buffer
  std::uint64_t last_valid_ = 0;       // the bytes of its last block that are in the buffer
  State state_ = State::Initial;
  NameStack open_;  // raw names of open start tags, innermost last
  bool skim_ = false;
  bool clipped_ = false;
  KeyFilter filter_ = nullptr;
  unsigned shown_ = ~0u;  // bit k: events of kind k are returned
  text::TextSink* text_sink_ = nullptr;
  std::unique_ptr<TagFilter> tag_filter_;  // made on first use; keeps its buffers between tags
};

}  // namespace tolvanex::xml
