#include "tolvanex/markup/xml.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <utility>

#include "tolvanex/text/text.hpp"
#include "tolvanex/text/trailing_space.hpp"

namespace tolvanex::xml {

namespace {

int lower_ascii(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

TolvanexError syntax(const char* what) { return TolvanexError::xml(std::string("syntax error: ") + what); }
TolvanexError ill_formed(const std::string& what) { return TolvanexError::xml("ill-formed document: " + what); }

// Names inside messages are shown as text, cut to kQuotedName bytes (at a character boundary,
// with an ellipsis): a hostile name can be as long as the input. A name that is not UTF-8
// shows as nothing.
std::string shown(std::string_view name) {
  return text::is_valid_utf8(name) ? text::cut_text(name, kQuotedName) : std::string();
}

// A name, trailing XML white space trimmed, as shown() shows it, taken as it streams by: only
// its first bytes are held, and of the rest only whether it is UTF-8 and where its last byte
// other than white space lies.
class ShownName {
 public:
  void add(const char* p, std::size_t n) {
    utf8_.feed(std::string_view(p, n));
    const std::size_t take = std::min(n, head_.size() - held_);
    std::memcpy(head_.data() + held_, p, take);
    held_ += take;
    for (std::size_t i = n; i-- > 0;) {
      if (!is_xml_space(p[i])) {
        trimmed_ = size_ + i + 1;
        break;
      }
    }
    size_ += n;
  }
  std::string text() const {
    if (!utf8_.finish()) return {};
    // A head cut short of the trimmed name still holds one byte past the bound, so it is cut.
    return text::cut_text(std::string_view(head_.data(), std::min<std::uint64_t>(held_, trimmed_)), kQuotedName);
  }

 private:
  std::array<char, kQuotedName + 1> head_;
  std::size_t held_ = 0;
  std::uint64_t size_ = 0;     // bytes seen
  std::uint64_t trimmed_ = 0;  // up to the last that is not white space
  text::Utf8Validator utf8_;
};

std::string_view trim_trailing_space(std::string_view s) {
  while (!s.empty() && is_xml_space(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Element names

namespace {

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The bytes of a string shorter than eight, zero-padded, as a little-endian number.
std::uint64_t short_word(const char* p, std::size_t n) {
  std::uint64_t w = 0;
  for (std::size_t i = n; i-- > 0;) w = w << 8 | static_cast<unsigned char>(p[i]);
  return w;
}

}  // namespace

NameKey NameKey::of(std::string_view name) {
  const std::size_t n = name.size();
  if (n >= 8) return {load<std::uint64_t>(name.data()), load<std::uint64_t>(name.data() + n - 8), n};
  const std::uint64_t w = short_word(name.data(), n);
  return {w, w, n};
}

NameKey NameKey::of_padded(std::string_view name) {
  const std::size_t n = name.size();
  if (n >= 8) return NameKey::of(name);
  // The eight bytes as a little-endian number, cut to the name.
  std::uint64_t head = load<std::uint64_t>(name.data());
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  head = __builtin_bswap64(head);
#endif
  head &= n == 0 ? 0 : ~std::uint64_t{0} >> (64 - 8 * n);
  return {head, head, n};
}

namespace {

// True when two strings hold the same bytes; short ones compared in a few wide loads.
[[gnu::always_inline]] inline bool same_bytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
  return NameKey::of(a) == NameKey::of(b);
}

}  // namespace

std::uint32_t NameTable::find(std::string_view name) const {
  if (slots_.empty() || name.size() > kMaxNameSize) return kNone;
  return slots_[slot(name, NameKey::of(name))].id;
}

std::uint32_t NameTable::add(std::string_view name, const NameKey& key) {
  if (name.size() > kMaxNameSize || names_.size() == kMaxNames) return kNone;
  if (slots_.empty()) slots_.resize(64);
  const std::size_t at = slot(name, key);
  if (slots_[at].id != kNone) return slots_[at].id;
  // Blocks of a fixed size that never move, so that the names' bytes stay where they are.
  constexpr std::size_t kBlock = 4096;
  if (blocks_.empty() || kBlock - block_used_ < name.size()) {
    blocks_.push_back(std::make_unique<char[]>(kBlock));
    block_used_ = 0;
  }
  char* bytes = blocks_.back().get() + block_used_;
  if (!name.empty()) std::memcpy(bytes, name.data(), name.size());
  block_used_ += name.size();
  names_.emplace_back(bytes, name.size());
  keys_.push_back(key);
  const auto id = static_cast<std::uint32_t>(names_.size());
  slots_[at] = {key, id};
  if (names_.size() * 4 > slots_.size()) {
    slots_.assign(slots_.size() * 2, Slot{});
    for (std::uint32_t k = 1; k <= names_.size(); ++k) slots_[slot(names_[k - 1], keys_[k - 1])] = {keys_[k - 1], k};
  }
  return id;
}

bool NameStack::grow(std::size_t n) {
  if (n > kMaxBytes - used_) return false;
  const std::size_t want = std::min(std::max({capacity_ * 2, used_ + n, std::size_t{256}}), kMaxBytes);
  char* grown = static_cast<char*>(std::realloc(data_.get(), want));
  if (grown == nullptr) throw std::bad_alloc();
  data_.release();
  data_.reset(grown);
  capacity_ = want;
  return true;
}

bool NameStack::push_tagged(std::string_view name, std::uint32_t id) {
  const std::size_t begin = used_;
  // The tag's low seven bits first with the high bit clear, then the higher groups with it
  // set: read backwards, the set bits run up to the tag's first byte.
  std::size_t tag = id != NameTable::kNone ? std::size_t{id} << 1 | 1 : name.size() << 1;
  if (!reserve((id == NameTable::kNone ? name.size() : 0) + kMaxTag)) return false;
  char* at = data_.get() + used_;
  if (id == NameTable::kNone) {
    if (!name.empty()) std::memcpy(at, name.data(), name.size());
    at += name.size();
  }
  *at++ = static_cast<char>(tag & 0x7F);
  for (tag >>= 7; tag != 0; tag >>= 7) *at++ = static_cast<char>(0x80 | (tag & 0x7F));
  used_ = static_cast<std::size_t>(at - data_.get());
  ++count_;
  top_begin_ = begin;
  top_.id = id;
  top_.name = id != NameTable::kNone ? table_.name(id) : std::string_view(data_.get() + begin, name.size());
  return true;
}

OpenName NameStack::entry_before(std::size_t end, std::size_t& begin) const {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data_.get());
  std::size_t i = end;
  std::size_t tag = 0;
  while (p[i - 1] & 0x80) tag = (tag << 7) | (p[--i] & 0x7F);
  tag = (tag << 7) | p[--i];
  if (tag & 1) {
    begin = i;
    const auto id = static_cast<std::uint32_t>(tag >> 1);
    return {id, table_.name(id)};
  }
  begin = i - (tag >> 1);
  return {NameTable::kNone, std::string_view(data_.get() + begin, tag >> 1)};
}

OpenName NameStack::from_top(std::size_t k) const {
  std::size_t end = top_begin_;
  std::size_t begin = 0;
  OpenName name = top_;
  for (; k != 0; --k) {
    name = entry_before(end, begin);
    end = begin;
  }
  return name;
}

// ---------------------------------------------------------------------------------------
// Attributes of a start tag, read as the tag streams by

namespace {

// The keys seen in one tag, in one buffer: a short list, and a hash set once the tag has many
// keys, so that a tag with a huge number of them is not checked in quadratic time.
class KeySet {
 public:
  // What one remembered key is taken to cost beside its bytes (list entry, set node, bucket).
  static constexpr std::size_t kPerKey = 48;

  KeySet() : many_(0, Hash{&bytes_}, Equal{&bytes_}) {}
  KeySet(const KeySet&) = delete;
  KeySet& operator=(const KeySet&) = delete;

  void clear() {
    bytes_.clear();
    list_.clear();
    // A fresh set rather than clear(), which would wipe all the buckets of the largest tag
    // ever seen at every later tag.
    if (!many_.empty()) many_ = Set(0, Hash{&bytes_}, Equal{&bytes_});
    count_ = 0;
  }
  // True when `key` was seen before in this tag; otherwise it is remembered if `remember`.
  bool seen(std::string_view key, bool remember) {
    const Span span{bytes_.size(), key.size()};
    if (list_.size() < kListLimit) {
      for (const Span s : list_) {
        if (view(s) == key) return true;
      }
      if (!remember) return false;
      bytes_.append(key);
      list_.push_back(span);
      ++count_;
      if (list_.size() == kListLimit) many_.insert(list_.begin(), list_.end());
      return false;
    }
    bytes_.append(key);  // looked up in place, taken back unless remembered
    const bool found = many_.count(span) != 0;
    if (found || !remember) {
      bytes_.resize(span.at);
      return found;
    }
    many_.insert(span);
    ++count_;
    return false;
  }
  std::size_t cost() const { return bytes_.size() + count_ * kPerKey; }

 private:
  static constexpr std::size_t kListLimit = 16;
  struct Span {
    std::size_t at, size;
  };
  struct Hash {
    const std::string* bytes;
    std::size_t operator()(Span s) const {
      return std::hash<std::string_view>{}(std::string_view(*bytes).substr(s.at, s.size));
    }
  };
  struct Equal {
    const std::string* bytes;
    bool operator()(Span a, Span b) const {
      const std::string_view all(*bytes);
      return all.substr(a.at, a.size) == all.substr(b.at, b.size);
    }
  };
  using Set = std::unordered_set<Span, Hash, Equal>;

  std::string_view view(Span s) const { return std::string_view(bytes_).substr(s.at, s.size); }

  std::string bytes_;
  std::vector<Span> list_;
  Set many_;
  std::size_t count_ = 0;
};

}  // namespace

// Reads a start tag's payload byte by byte exactly as XmlAttributes reads a whole tag, and
// writes the name and the accepted attributes into the scratch buffer. A `/` is held back one
// byte: the one right before `>` makes the tag Empty and is not part of the payload.
class TagFilter {
 public:
  void begin(std::string* out, XmlPullReader::KeyFilter keep) {
    out_ = out;
    keep_ = keep;
    state_ = State::Name;
    slash_ = false;
    kept_ = false;
    keys_.clear();
  }

  void feed(const char* p, std::size_t n) {
    if (n == 0) return;
    if (slash_) {
      slash_ = false;
      run("/", 1);
    }
    slash_ = p[n - 1] == '/';
    run(p, slash_ ? n - 1 : n);
  }

  // End of the payload.
  void finish() {
    slash_ = false;
    switch (state_) {
      case State::Key:
        end_key();
        if (state_ == State::AfterKey) drop();  // a key without `=`
        break;
      case State::AfterKey:     // a key without `=`
      case State::AfterEquals:  // `=` without a value
      case State::Value:        // a value without its closing quote
        drop();
        break;
      default: break;
    }
  }

 private:
  enum class State {
    Name,          // the raw name, up to the first white space
    BeforeKey,     // white space before a key
    Key,           // a key, up to `=` or white space
    RepeatedKey,   // after a key seen before: white space, then maybe `=`
    SkipRepeated,  // from that `=` to the next white space
    AfterKey,      // white space before `=`
    AfterEquals,   // white space before the opening quote
    Unquoted,      // a value without quotes, up to the next white space
    Value,         // inside a quoted value
    Rest,          // nothing more is kept (names only)
  };

  void run(const char* p, std::size_t n) {
    const char* const end = p + n;
    while (p != end) {
      // The long runs (names, values, keys) go in one piece.
      if (state_ == State::Rest) return;
      if (state_ == State::Name) {
        const char* stop = std::find_if(p, end, is_xml_space);
        out_->append(p, static_cast<std::size_t>(stop - p));
        p = stop;
        if (p != end) {
          ++p;
          state_ = keep_ == nullptr ? State::Rest : State::BeforeKey;
        }
        continue;
      }
      if (state_ == State::Value) {
        const char* stop = std::find(p, end, quote_);
        if (kept_) out_->append(p, static_cast<std::size_t>(stop - p));
        p = stop;
        if (p != end) {
          ++p;
          if (kept_) out_->push_back(quote_);
          kept_ = false;
          state_ = State::BeforeKey;
        }
        continue;
      }
      if (state_ == State::Key) {
        const char* stop = std::find_if(p, end, [](char c) { return c == '=' || is_xml_space(c); });
        const std::size_t room = key_.size() < XmlPullReader::kKeyMemory ? XmlPullReader::kKeyMemory - key_.size() : 0;
        const std::size_t len = static_cast<std::size_t>(stop - p);
        key_.append(p, std::min(len, room));
        if (len > room) overlong_ = true;
        p = stop;
        if (p != end) end_key();  // the stopping byte is read in the next state
        continue;
      }
      if (step(*p)) ++p;
    }
  }

  // One byte in the remaining states; false when the byte is to be read again in the new one.
  bool step(char c) {
    const bool space = is_xml_space(c);
    switch (state_) {
      case State::BeforeKey:
        if (space) return true;
        key_.clear();
        overlong_ = false;
        state_ = State::Key;
        return false;
      case State::RepeatedKey:
        if (space) return true;
        if (c == '=') {
          state_ = State::SkipRepeated;
          return true;
        }
        state_ = State::BeforeKey;
        return false;
      case State::SkipRepeated:
        if (space) state_ = State::BeforeKey;
        return true;
      case State::AfterKey:
        if (space) return true;
        if (c == '=') {
          state_ = State::AfterEquals;
          return true;
        }
        drop();  // a key without `=`: what follows starts the next key
        state_ = State::BeforeKey;
        return false;
      case State::AfterEquals:
        if (space) return true;
        if (c == '"' || c == '\'') {
          quote_ = c;
          if (kept_) out_->push_back(c);
          state_ = State::Value;
          return true;
        }
        drop();
        state_ = State::Unquoted;
        return true;
      case State::Unquoted:
        if (space) state_ = State::BeforeKey;
        return true;
      case State::Name:
      case State::Key:
      case State::Value:
      case State::Rest:
        break;
    }
    return true;
  }

  // A key is complete: a repeated one is skipped, a new one read on and, when it is kept,
  // written out (taken back again if its value turns out malformed).
  void end_key() {
    const bool keep = !overlong_ && keep_ != nullptr && keep_(key_);
    const bool remember = keep || keys_.cost() + key_.size() + KeySet::kPerKey <= XmlPullReader::kKeyMemory;
    // A key longer than any remembered one cannot be a repetition of one.
    if (!overlong_ && keys_.seen(key_, remember)) {
      state_ = State::RepeatedKey;
      return;
    }
    state_ = State::AfterKey;
    if (keep) {
      kept_ = true;
      mark_ = out_->size();
      out_->push_back(' ');
      out_->append(key_);
      out_->push_back('=');
    }
  }

  void drop() {
    if (kept_) out_->resize(mark_);
    kept_ = false;
  }

  std::string* out_ = nullptr;
  XmlPullReader::KeyFilter keep_ = nullptr;
  State state_ = State::Name;
  bool slash_ = false;     // a `/` held back
  bool kept_ = false;      // the attribute being read is written out
  std::size_t mark_ = 0;   // the size of the output before it
  char quote_ = '"';
  std::string key_;        // the key being read, at most kKeyMemory bytes of it
  bool overlong_ = false;  // it was longer
  KeySet keys_;
};

namespace {

// Where the bytes of one construct go: nowhere (markup, whose content no reader uses), to the
// name of a tag (whole, or its tail in skim mode), or through the attribute filter. Either way
// it remembers how many bytes passed and the last two, which is all the terminator checks
// ("-->", "]]>", "?>", "/>") need. The bytes come in chunks of the reader's buffer, in order;
// an empty chunk with `refill` set says that the buffer is about to be refilled.
struct Collector {
  enum class Mode { Drop, Name, NameTail, Tail, Filter };
  Mode mode = Mode::Drop;
  std::string* out = nullptr;
  TagFilter* filter = nullptr;
  std::uint64_t count = 0;
  char last = 0, before_last = 0;
  char head[4] = {};  // the first bytes, for telling an XML declaration from a PI
  bool name_done = false;
  bool clipped = false;
  // Name mode: the name read so far, in place in the buffer while it lies in one stretch of
  // it, else copied to `out`.
  std::string_view in_place;
  bool copied = false;

  void add(const char* p, std::size_t n, bool refill) {
    if (n != 0) {
      before_last = n >= 2 ? p[n - 2] : last;
      last = p[n - 1];
      const std::uint64_t before = count;
      count += n;
      switch (mode) {
        case Mode::Drop:
          for (std::size_t i = 0; before + i < sizeof head && i < n; ++i) head[before + i] = p[i];
          break;
        case Mode::Name:
        case Mode::NameTail: {
          if (name_done) break;
          const char* stop = std::find_if(p, p + n, is_xml_space);
          const auto k = static_cast<std::size_t>(stop - p);
          if (mode == Mode::NameTail) append_tail(p, k);
          else if (!copied && (in_place.empty() || in_place.data() + in_place.size() == p)) in_place = {in_place.empty() ? p : in_place.data(), in_place.size() + k};
          else copy(p, k);
          if (stop != p + n) name_done = true;
          break;
        }
        case Mode::Tail: append_tail(p, n); break;
        case Mode::Filter: filter->feed(p, n); break;
      }
    }
    if (refill && mode == Mode::Name && !copied) copy(p, 0);
  }
  bool ends_with(char a, char b) const { return count >= 2 && before_last == a && last == b; }

  // The kept bytes, clipped to the limit in the tail modes.
  std::string_view view() const {
    if (mode == Mode::Drop) return {};
    if (mode == Mode::Name && !copied) return in_place;
    const std::string_view v = *out;
    if (tail() && v.size() > XmlPullReader::kSkimNameLimit) {
      return v.substr(v.size() - XmlPullReader::kSkimNameLimit);
    }
    return v;
  }
  bool was_clipped() const { return clipped || (tail() && out->size() > XmlPullReader::kSkimNameLimit); }

 private:
  bool tail() const { return mode == Mode::NameTail || mode == Mode::Tail; }
  // Moves the name to `out` (before its bytes leave the buffer), then appends.
  void copy(const char* p, std::size_t n) {
    if (!copied) {
      out->assign(in_place);
      copied = true;
    }
    out->append(p, n);
  }
  // Keeps the last kSkimNameLimit bytes (and at times up to twice as many: the front is cut
  // only then, so the cost stays linear).
  void append_tail(const char* p, std::size_t n) {
    constexpr std::size_t kLimit = XmlPullReader::kSkimNameLimit;
    if (n > kLimit) {
      p += n - kLimit;
      n = kLimit;
      out->clear();
      clipped = true;
    }
    out->append(p, n);
    if (out->size() > 2 * kLimit) {
      out->erase(0, out->size() - kLimit);
      clipped = true;
    }
  }
};

// A run of bytes that goes to `put` chunk by chunk, except for white space at the end of a
// chunk: that is held until other bytes show that it is not at the end of the run, and
// dropped at its end. Of such white space at most `cap` bytes are held; the rest goes to
// `unheld` as a count.
template <class Put, class Unheld>
class TrimmedRun {
 public:
  TrimmedRun(Put& put, Unheld& unheld, std::uint64_t cap) : put(put), unheld(unheld), cap(cap) {}

  void add(const char* begin, std::size_t n, bool /*refill*/) {
    const char* const stop = begin + n;
    const char* tail = stop;  // the white space at the end
    while (tail != begin && is_xml_space(tail[-1])) --tail;
    if (tail != begin) {
      if (space && !space->empty()) {
        if (const std::uint64_t count = space->release(put)) unheld(count);
      }
      put(begin, static_cast<std::size_t>(tail - begin));
    }
    if (tail != stop) {
      if (!space) space.emplace(cap);
      space->add(std::string_view(tail, static_cast<std::size_t>(stop - tail)));
    }
  }

 private:
  Put& put;
  Unheld& unheld;
  std::uint64_t cap;
  std::optional<text::TrailingSpace> space;  // made when first needed
};

// The name of an end tag as it streams by. It is compared with the innermost open name while it
// can still be that one (open names hold no white space, so only white space may follow a
// whole match); either way an error would show it, and that needs only its first bytes. So the
// name is never held: an end tag that matches yields the open name's bytes. In skim mode the
// comparison is left to the caller, on the name's tail.
struct EndTagName {
  std::string_view want;   // the innermost open name
  bool differs = false;    // known not to be it (or nothing is open)
  std::size_t matched = 0; // bytes of it matched so far
  bool spaced = false;     // white space after a whole match
  ShownName shown;
  Collector* tail = nullptr;  // skim mode: keeps the tail

  void add(const char* p, std::size_t n, bool refill) {
    if (tail != nullptr) tail->add(p, n, refill);
    if (n == 0) return;
    shown.add(p, n);
    if (differs || tail != nullptr) return;
    std::string_view rest(p, n);
    if (!spaced) {
      const std::size_t k = std::min(n, want.size() - matched);
      if (!same_bytes(want.substr(matched, k), rest.substr(0, k))) {
        differs = true;
        return;
      }
      matched += k;
      rest.remove_prefix(k);
    }
    if (rest.empty()) return;
    spaced = std::all_of(rest.begin(), rest.end(), is_xml_space);
    differs = !spaced;
  }
};

// The byte classes that the scanner stops at, found a block at a time, and the sets of them
// (bits of Stop) that each construct looks for.
constexpr text::ByteClasses kClasses{"<", ">", "&", ";", "\"", "'", " \t\n\r"};
enum Stop : unsigned {
  kLt = 1u << 0,
  kGt = 1u << 1,
  kAmp = 1u << 2,
  kSemi = 1u << 3,
  kDoubleQuote = 1u << 4,
  kSingleQuote = 1u << 5,
  kSpace = 1u << 6,
  kNotSpace = 1u << 7,  // any byte but XML white space
};

template <unsigned Stops>
std::uint64_t stops_in(const text::BitMasks& m, std::uint64_t valid) {
  std::uint64_t s = 0, space = 0;
  for (std::size_t k = 0; k < kClasses.bits(); ++k) {
    if (Stops & (1u << kClasses.owner(k))) s |= m[k];
    if (kClasses.owner(k) == 6) space |= m[k];
  }
  if (Stops & kNotSpace) s |= ~space & valid;
  return s;
}

// The longest tag whose attributes are filtered from the whole tag: each key in it costs at
// most KeySet::kPerKey and one byte of its own and comes with a separator, so all fit in
// XmlPullReader::kKeyMemory.
constexpr std::size_t kWholeTagLimit = 8192;
static_assert(kWholeTagLimit / 2 * (KeySet::kPerKey + 1) <= XmlPullReader::kKeyMemory);

constexpr int kEnd = -1;     // end of input
constexpr int kFailed = -2;  // the source failed

}  // namespace

// The scanning routines. Each works on the reader's buffer in chunks and refills it as it
// goes, so no construct depends on where a refill happens.
class XmlScanner {
 public:
  XmlScanner(XmlPullReader& r, std::string& scratch) : r_(r), scratch_(scratch) {}

  // The next event of the kinds shown.
  [[gnu::always_inline]] inline XmlEvent next();

 private:
  // The next event of any kind.
  [[gnu::always_inline]] inline XmlEvent step();
  // The next byte without consuming it, or kEnd, or kFailed.
  int peek() {
    const int more = r_.fill();
    if (more <= 0) return more == 0 ? kEnd : kFailed;
    return static_cast<unsigned char>(r_.buf_[r_.pos_]);
  }
  void advance() { ++r_.pos_; }
  // Hands `col` the byte just consumed, in place in the buffer.
  void pass_consumed(Collector& col) { col.add(r_.buf_.data() + r_.pos_ - 1, 1, false); }

  // Where the first byte of `Stops` at or after `from` lies in the buffer; len_ when none
  // does. The one loop over blocks that every scan goes through.
  template <unsigned Stops>
  std::size_t find(std::size_t from) {
    for (std::size_t at = from; at < r_.len_;) {
      const std::size_t block = at & ~std::size_t{63};
      const std::uint64_t hits = stops_in<Stops>(r_.block_masks(block), r_.block_valid(block)) >> (at - block);
      if (hits != 0) return at + static_cast<std::size_t>(__builtin_ctzll(hits));
      at = block + 64;
    }
    return r_.len_;
  }

  // Passes bytes to `col` (when given) until a byte of `Stops`, which it returns and leaves
  // unread, or the end of input (kEnd) or a failure (kFailed). The buffer goes by in the same
  // chunks whatever the kernel: from where it starts to the stop or the buffer's end; before
  // the buffer is refilled, `col` gets an empty chunk that says so.
  template <unsigned Stops, class Col>
  int scan(Col* col) {
    for (;;) {
      if (col && r_.pos_ == r_.len_) col->add(r_.buf_.data() + r_.len_, 0, true);
      const int more = r_.fill();
      if (more <= 0) return more == 0 ? kEnd : kFailed;
      const std::size_t from = r_.pos_;
      const std::size_t at = find<Stops>(from);
      if (col) col->add(r_.buf_.data() + from, at - from, false);
      r_.pos_ = at;
      if (at != r_.len_) return static_cast<unsigned char>(r_.buf_[at]);
    }
  }
  template <unsigned Stops>
  int skip() {
    return scan<Stops, Collector>(nullptr);
  }

  // Consumes the bytes of `word` while they match (ASCII case ignored when asked): 1 when all
  // matched, else 0 (a mismatching byte is left unread) or kFailed.
  int expect(std::string_view word, bool ignore_case) {
    for (char w : word) {
      const int c = peek();
      if (c == kFailed) return kFailed;
      if (c < 0) return 0;
      const int want = static_cast<unsigned char>(w);
      const bool same = c == want || (ignore_case && lower_ascii(c) == lower_ascii(want));
      if (!same) return 0;
      advance();
    }
    return 1;
  }

  Collector collector(Collector::Mode mode) {
    Collector col;
    col.out = &scratch_;
    col.mode = mode;
    return col;
  }
  XmlEvent event(XmlEventKind kind, std::string_view bytes = {}, std::uint32_t id = NameTable::kNone) {
    return XmlEvent{kind, bytes, id};
  }
  // Ends reading with the error `e`: next_event returns it in place of this Eof.
  XmlEvent fail(TolvanexError e) {
    r_.state_ = XmlPullReader::State::Exit;
    r_.failure_ = std::move(e);
    return event(XmlEventKind::Eof);
  }
  // The source's failure, which fill keeps.
  XmlEvent source_failed() { return event(XmlEventKind::Eof); }
  // A start tag that the stack of open names has no room for.
  XmlEvent too_deep() {
    return fail(ill_formed("elements nested too deeply: open element names exceed " +
                           std::to_string(NameStack::kMaxBytes >> 20) + " MiB"));
  }
  // The source's failure, or a construct cut off by the end of input (`c` says which).
  XmlEvent cut_off(int c, const char* not_closed) {
    return c == kFailed ? source_failed() : fail(syntax(not_closed));
  }

  [[gnu::always_inline]] inline XmlEvent text(std::string_view head);
  // The same into a sink: out of line, so that the frame of the common path stays small.
  [[gnu::noinline]] XmlEvent sunk_text(std::string_view head);
  XmlEvent reference();
  [[gnu::always_inline]] inline XmlEvent markup();
  XmlEvent bang();
  XmlEvent delimited(XmlEventKind kind, char a, char b, const char* not_closed);
  XmlEvent doctype();
  XmlEvent processing_instruction();
  XmlEvent end_tag();
  XmlEvent start_tag();

  XmlPullReader& r_;
  std::string& scratch_;
};

inline XmlEvent XmlScanner::next() {
  for (;;) {
    const XmlEvent ev = step();
    if ((r_.shown_ >> static_cast<unsigned>(ev.kind) & 1) != 0 || ev.kind == XmlEventKind::Eof ||
        (ev.kind == XmlEventKind::Text && r_.text_sink_ != nullptr)) {
      return ev;
    }
    scratch_.clear();
    r_.clipped_ = false;
  }
}

inline XmlEvent XmlScanner::step() {
  using State = XmlPullReader::State;
  if (r_.state_ == State::Exit) [[unlikely]] return event(XmlEventKind::Eof);

  if (r_.state_ == State::Initial) [[unlikely]] {
    r_.state_ = State::Text;
    // A byte-order mark at the very start is not text; a partial one is.
    static constexpr char kBom[] = "\xEF\xBB\xBF";
    for (int i = 0; i < 3; ++i) {
      const int c = peek();
      if (c == kFailed) return source_failed();
      if (c == static_cast<unsigned char>(kBom[i])) {
        advance();
        continue;
      }
      if (i == 0) break;
      return text(std::string_view(kBom, static_cast<std::size_t>(i)));
    }
  }

  // A reader that sees no text (Text not shown, no sink) needs only where the next markup or
  // reference begins: white space and the text after it are passed over in one scan. What a
  // text could change, an error at a reference or the end of input, comes all the same.
  const bool texts_seen = (r_.shown_ >> static_cast<unsigned>(XmlEventKind::Text) & 1) != 0 || r_.text_sink_ != nullptr;
  const int c = texts_seen ? skip<kNotSpace>() : skip<kLt | kAmp>();
  if (c == kFailed) return source_failed();
  if (c == kEnd) {
    r_.state_ = State::Exit;
    return event(XmlEventKind::Eof);
  }
  if (c == '<') {
    advance();
    return markup();
  }
  if (c == '&') {
    advance();
    return reference();
  }
  return text({});
}

// The tags that lie whole in the buffer and have nothing but a name (the bulk of most
// documents) are read in place; any other, and a tag whose name does not match, is read by
// start_tag or end_tag, from its start.
inline XmlEvent XmlScanner::markup() {
  const int c = peek();
  if (c < 0) return cut_off(c, "tag not closed: `>` not found before end of input");
  if (c == '!') {
    advance();
    return bang();
  }
  if (c == '?') {
    advance();
    return processing_instruction();
  }
  const char* const base = r_.buf_.data();
  if (c == '/') {
    advance();
    const std::size_t begin = r_.pos_;
    const std::size_t gt = find<kGt>(begin);
    if (gt != r_.len_ && !r_.skim_ && !r_.open_.empty()) [[likely]] {
      const std::string_view name = trim_trailing_space(std::string_view(base + begin, gt - begin));
      const OpenName& open = r_.open_.top();
      if (open.id != NameTable::kNone ? r_.open_.table().is(open.id, name, NameKey::of_padded(name))
                                      : same_bytes(name, open.name)) [[likely]] {
        r_.pos_ = gt + 1;
        const OpenName closed = r_.open_.pop();
        return event(XmlEventKind::End, closed.name, closed.id);
      }
    }
    return end_tag();
  }
  if (!r_.skim_) [[likely]] {
    // A start tag runs to the first `>` outside quotes; its name to the first white space. One
    // whose name holds a quote is left to start_tag.
    const std::size_t begin = r_.pos_;
    const std::size_t name_end = find<kGt | kDoubleQuote | kSingleQuote | kSpace>(begin);
    std::size_t end = name_end;
    if (end != r_.len_ && (base[end] == '"' || base[end] == '\'')) {
      end = r_.len_;
    } else if (end != r_.len_ && base[end] != '>') {  // attributes follow
      for (;;) {
        end = find<kGt | kDoubleQuote | kSingleQuote>(end);
        if (end == r_.len_ || base[end] == '>') break;
        const std::size_t close = base[end] == '"' ? find<kDoubleQuote>(end + 1) : find<kSingleQuote>(end + 1);
        end = close == r_.len_ ? close : close + 1;
      }
    }
    // With an attribute filter, a tag short enough that every key in it is remembered (see
    // kKeyMemory) is iterated as it stands.
    if (end != r_.len_ && base[end] == '>' && (r_.filter_ == nullptr || end - begin <= kWholeTagLimit)) [[likely]] {
      r_.pos_ = end + 1;
      const bool empty = end != begin && base[end - 1] == '/';
      // A name that runs up to the `/` of an empty tag ends before it.
      const std::string_view name(base + begin, name_end - begin - (empty && name_end == end ? 1 : 0));
      const NameKey key = NameKey::of_padded(name);
      std::string_view payload = name;
      if (r_.filter_ != nullptr) {
        scratch_.assign(name);
        XmlAttributes attributes(std::string_view(base + begin, end - begin - (empty ? 1 : 0)));
        while (const std::optional<XmlAttrItem> item = attributes.next()) {
          if (!item->ok() || !r_.filter_(item->attribute.key)) continue;
          const char quote = item->attribute.value.data()[-1];
          scratch_.append(" ").append(item->attribute.key).append("=").append(1, quote);
          scratch_.append(item->attribute.value).append(1, quote);
        }
        payload = scratch_;
      }
      if (empty) return event(XmlEventKind::Empty, payload, r_.open_.table().intern(name, key));
      if (!r_.open_.push(name, key)) [[unlikely]] return too_deep();
      return event(XmlEventKind::Start, payload, r_.open_.top().id);
    }
  }
  return start_tag();
}

// Character data up to the next `<`, `&` or end of input, after the bytes `head`, into the
// text sink. Called at a byte that is not white space; white space at the end is trimmed
// without being held.
inline XmlEvent XmlScanner::text(std::string_view head) {
  text::TextSink* const sink = r_.text_sink_;
  if (sink == nullptr) {
    const int c = skip<kLt | kAmp>();
    if (c == kFailed) return source_failed();
    return event(XmlEventKind::Text);
  }
  return sunk_text(head);
}

XmlEvent XmlScanner::sunk_text(std::string_view head) {
  text::TextSink* const sink = r_.text_sink_;
  r_.text_offset_ = r_.base_ + r_.pos_ - head.size();  // the head was consumed just before
  auto put = [&](const char* p, std::size_t n) { sink->piece(std::string_view(p, n)); };
  auto unheld = [&](std::uint64_t count) { sink->unheld_space(count); };
  if (!head.empty()) put(head.data(), head.size());
  TrimmedRun run(put, unheld, sink->room());
  const int c = scan<kLt | kAmp>(&run);
  if (c == kFailed) return source_failed();
  return event(XmlEventKind::Text);
}

XmlEvent XmlScanner::reference() {
  const int c = skip<kSemi | kLt | kAmp>();
  if (c == kFailed) return source_failed();
  if (c != ';') {
    return fail(ill_formed("entity or character reference not closed: `;` not found before end of input"));
  }
  advance();
  return event(XmlEventKind::GeneralRef);
}

XmlEvent XmlScanner::bang() {
  const int c = peek();
  int matched = 0;
  if (c == '[') {
    matched = expect("[CDATA[", false);
    if (matched == 1) {
      return delimited(XmlEventKind::CData, ']', ']', "CDATA not closed: `]]>` not found before end of input");
    }
  } else if (c == '-') {
    matched = expect("--", false);
    if (matched == 1) {
      return delimited(XmlEventKind::Comment, '-', '-', "comment not closed: `-->` not found before end of input");
    }
  } else if (c == 'D' || c == 'd') {
    matched = expect("doctype", true);
    if (matched == 1) return doctype();
  }
  if (c == kFailed || matched == kFailed) return source_failed();
  return fail(syntax("unknown or missed symbol in markup"));
}

// Content up to the first `a b >` that follows the opener (the two never overlap it).
XmlEvent XmlScanner::delimited(XmlEventKind kind, char a, char b, const char* not_closed) {
  Collector col;
  for (;;) {
    const int c = scan<kGt>(&col);
    if (c < 0) return cut_off(c, not_closed);
    advance();
    if (col.ends_with(a, b)) return event(kind);
    pass_consumed(col);
  }
}

XmlEvent XmlScanner::doctype() {
  static constexpr const char* kNotClosed = "DOCTYPE not closed: `>` not found before end of input";
  int c = skip<kNotSpace>();
  if (c == kFailed) return cut_off(c, kNotClosed);
  Collector col;
  std::uint64_t depth = 1;  // the `<` of `<!DOCTYPE`
  for (;;) {
    c = scan<kLt | kGt>(&col);
    if (c < 0) return cut_off(c, kNotClosed);
    advance();
    if (c == '<') {
      ++depth;
    } else if (--depth == 0) {
      break;
    }
    pass_consumed(col);
  }
  if (col.count == 0) {
    return fail(ill_formed("`<!DOCTYPE>` declaration does not contain a name of a document type"));
  }
  return event(XmlEventKind::DocType);
}

XmlEvent XmlScanner::processing_instruction() {
  Collector col;
  for (;;) {
    const int c = scan<kGt>(&col);
    if (c < 0) {
      return cut_off(c, "processing instruction or xml declaration not closed: `?>` not found before end of input");
    }
    advance();
    if (col.count >= 1 && col.last == '?') break;
    pass_consumed(col);
  }
  // The target "xml" alone, followed by white space or the closing `?>`, is the declaration.
  const std::uint64_t content = col.count - 1;
  const bool decl = content >= 3 && std::memcmp(col.head, "xml", 3) == 0 &&
                    (content == 3 || is_xml_space(col.head[3]));
  return event(decl ? XmlEventKind::Decl : XmlEventKind::PI);
}

XmlEvent XmlScanner::end_tag() {
  static constexpr const char* kNotClosed = "tag not closed: `>` not found before end of input";
  NameStack& open = r_.open_;
  EndTagName col;
  col.differs = open.empty();
  OpenName want;
  if (!col.differs) want = open.top();
  col.want = want.name;
  Collector tail = collector(Collector::Mode::Tail);
  if (r_.skim_) col.tail = &tail;
  const int c = scan<kGt>(&col);
  if (c < 0) return cut_off(c, kNotClosed);
  advance();
  std::string_view name = want.name;
  if (r_.skim_) {
    name = trim_trailing_space(tail.view());
    r_.clipped_ = tail.was_clipped();
    col.differs = col.differs || name != want.name;
  } else {
    col.differs = col.differs || col.matched != want.name.size();
  }
  if (open.empty()) {
    return fail(ill_formed("close tag `</" + col.shown.text() + ">` does not match any open tag"));
  }
  if (col.differs) {
    return fail(ill_formed("expected `</" + shown(want.name) + ">`, but `</" + col.shown.text() + ">` was found"));
  }
  open.pop();
  return event(XmlEventKind::End, name, want.id);
}

// A start or empty tag, ending at the first `>` outside quotes.
XmlEvent XmlScanner::start_tag() {
  static constexpr const char* kNotClosed = "tag not closed: `>` not found before end of input";
  Collector col = collector(r_.skim_ ? Collector::Mode::NameTail : Collector::Mode::Name);
  if (!r_.skim_ && r_.filter_ != nullptr) {
    if (!r_.tag_filter_) r_.tag_filter_ = std::make_unique<TagFilter>();
    r_.tag_filter_->begin(&scratch_, r_.filter_);
    col.mode = Collector::Mode::Filter;
    col.filter = r_.tag_filter_.get();
  }
  for (;;) {
    int c = scan<kGt | kDoubleQuote | kSingleQuote>(&col);
    if (c < 0) return cut_off(c, kNotClosed);
    advance();
    if (c == '>') break;
    pass_consumed(col);
    c = c == '"' ? scan<kDoubleQuote>(&col) : scan<kSingleQuote>(&col);
    if (c < 0) return cut_off(c, kNotClosed);
    advance();
    pass_consumed(col);
  }
  const bool empty = col.count >= 1 && col.last == '/';
  if (col.mode == Collector::Mode::Filter) col.filter->finish();  // it held the `/` back
  std::string_view payload = col.view();
  // A name that runs up to the `/` of an empty tag ends before it.
  if (empty && col.mode != Collector::Mode::Filter && !payload.empty() && !col.name_done) payload.remove_suffix(1);
  r_.clipped_ = r_.skim_ && col.was_clipped();
  XmlEvent ev = event(empty ? XmlEventKind::Empty : XmlEventKind::Start, payload);
  const std::string_view name = col.mode == Collector::Mode::Filter ? ev.name() : payload;
  if (empty) {
    ev.id = r_.open_.table().intern(name);
    return ev;
  }
  if (!r_.open_.push(name)) return too_deep();
  ev.id = r_.open_.top().id;
  return ev;
}

// ---------------------------------------------------------------------------------------

XmlAttributes::XmlAttributes(std::string_view tag) : tag_(tag) {
  while (pos_ < tag_.size() && !is_xml_space(tag_[pos_])) ++pos_;
}

bool XmlAttributes::seen_before(std::string_view key) {
  if (seen_ < kFew) {
    for (std::size_t i = 0; i < seen_; ++i) {
      if (tag_.substr(few_[i].at, few_[i].size) == key) return true;
    }
    few_[seen_++] = {static_cast<std::size_t>(key.data() - tag_.data()), key.size()};
    if (seen_ < kFew) return false;
    many_ = std::make_unique<std::unordered_set<std::string_view>>();
    for (const Span& s : few_) many_->insert(tag_.substr(s.at, s.size));
    return false;
  }
  return !many_->insert(key).second;
}

std::optional<XmlAttrItem> XmlAttributes::next() {
  const std::size_t n = tag_.size();
  auto skip_space = [&] {
    while (pos_ < n && is_xml_space(tag_[pos_])) ++pos_;
  };
  skip_space();
  if (pos_ >= n) return std::nullopt;

  const std::size_t key_start = pos_;
  while (pos_ < n && tag_[pos_] != '=' && !is_xml_space(tag_[pos_])) ++pos_;
  const std::string_view key = tag_.substr(key_start, pos_ - key_start);

  if (seen_before(key)) {
    // Skip from the `=` to the next white space: a quoted value without white space goes
    // whole, the rest of one with white space is read as further attributes.
    skip_space();
    if (pos_ < n && tag_[pos_] == '=') {
      while (pos_ < n && !is_xml_space(tag_[pos_])) ++pos_;
    }
    return XmlAttrItem{XmlAttrError::Duplicated, {}};
  }

  skip_space();
  if (pos_ >= n || tag_[pos_] != '=') return XmlAttrItem{XmlAttrError::MissingEquals, {}};
  ++pos_;
  skip_space();
  if (pos_ >= n) return XmlAttrItem{XmlAttrError::MissingValue, {}};
  const char quote = tag_[pos_];
  if (quote != '"' && quote != '\'') {
    while (pos_ < n && !is_xml_space(tag_[pos_])) ++pos_;
    return XmlAttrItem{XmlAttrError::Unquoted, {}};
  }
  const std::size_t close = tag_.find(quote, pos_ + 1);
  if (close == std::string_view::npos) {
    pos_ = n;
    return XmlAttrItem{XmlAttrError::Unterminated, {}};
  }
  const std::string_view value = tag_.substr(pos_ + 1, close - pos_ - 1);
  pos_ = close + 1;
  return XmlAttrItem{XmlAttrError::None, {key, value}};
}

std::string_view XmlEvent::name() const {
  std::size_t i = 0;
  while (i < bytes.size() && !is_xml_space(bytes[i])) ++i;
  return bytes.substr(0, i);
}

XmlPullReader::XmlPullReader(ByteSource& source, std::size_t buffer_size, text::Kernel kernel)
    : source_(source),
      buffer_size_(std::max<std::size_t>(buffer_size, 1)),
      buf_(((buffer_size_ + 63) & ~std::size_t{63}) + 64),
      classifier_(kClasses, kernel),
      masks_((buffer_size_ + 63) / 64) {}

XmlPullReader::~XmlPullReader() = default;

int XmlPullReader::refill() {
  if (eof_) return 0;
  base_ += len_;
  pos_ = len_ = 0;
  Result<std::size_t> got = source_.read(buf_.data(), buffer_size_);
  if (!got) {
    state_ = State::Exit;
    failure_ = TolvanexError::xml("I/O error: " + got.error().payload());
    return -1;
  }
  len_ = got.value();
  if (len_ == 0) {
    eof_ = true;
    return 0;
  }
  // Every byte is looked at by some scan, so the whole buffer is classified at once.
  const std::size_t blocks = (len_ + 63) / 64;
  classifier_.classify(buf_.data(), blocks, masks_.data());
  last_valid_ = len_ % 64 == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << (len_ % 64)) - 1;
  for (std::uint64_t& m : masks_[blocks - 1]) m &= last_valid_;
  return 1;
}

Result<XmlEvent> XmlPullReader::next_event(std::string& scratch) {
  scratch.clear();
  clipped_ = false;
  XmlEvent ev = XmlScanner(*this, scratch).next();
  if (failure_) return *failure_;
  return ev;
}

void XmlPullReader::show_only(std::initializer_list<XmlEventKind> kinds) {
  shown_ = 0;
  for (const XmlEventKind kind : kinds) shown_ |= 1u << static_cast<unsigned>(kind);
}

}  // namespace tolvanex::xml
