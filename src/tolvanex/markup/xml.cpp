#include "tolvanex/markup/xml.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "tolvanex/text/text.hpp"

namespace tolvanex::xml {

namespace {

using ByteSet = std::array<bool, 256>;

constexpr ByteSet make_set(std::string_view bytes) {
  ByteSet set{};
  for (char c : bytes) set[static_cast<unsigned char>(c)] = true;
  return set;
}

constexpr ByteSet kTextStops = make_set("<&");
constexpr ByteSet kRefStops = make_set(";<&");
constexpr ByteSet kGt = make_set(">");
constexpr ByteSet kTagStops = make_set(">\"'");
constexpr ByteSet kDoubleQuote = make_set("\"");
constexpr ByteSet kSingleQuote = make_set("'");
constexpr ByteSet kAngles = make_set("<>");
constexpr ByteSet kNotSpace = [] {
  ByteSet set{};
  set.fill(true);
  for (char c : {' ', '\t', '\n', '\r'}) set[static_cast<unsigned char>(c)] = false;
  return set;
}();

int lower_ascii(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

TolvanexError syntax(const char* what) { return TolvanexError::xml(std::string("syntax error: ") + what); }
TolvanexError ill_formed(const std::string& what) { return TolvanexError::xml("ill-formed document: " + what); }

// Names inside messages are shown as text; bytes that are not UTF-8 show as nothing.
std::string shown(std::string_view name) { return text::is_valid_utf8(name) ? std::string(name) : std::string(); }

std::string_view trim_trailing_space(std::string_view s) {
  while (!s.empty() && is_xml_space(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Open-tag names

void NameStack::push(std::string_view name) {
  // The length's low seven bits first with the high bit clear, then the higher groups with
  // it set: read backwards, the set bits run up to the first byte of the length.
  unsigned char length[(sizeof(std::size_t) * 8 + 6) / 7];
  std::size_t k = 0;
  std::size_t n = name.size();
  length[k++] = static_cast<unsigned char>(n & 0x7F);
  for (n >>= 7; n != 0; n >>= 7) length[k++] = static_cast<unsigned char>(0x80 | (n & 0x7F));
  const std::size_t need = name.size() + k;
  if (need > capacity_ - used_) {
    const std::size_t want = std::max({capacity_ * 2, used_ + need, std::size_t{256}});
    char* grown = static_cast<char*>(std::realloc(data_.get(), want));
    if (grown == nullptr) throw std::bad_alloc();
    data_.release();
    data_.reset(grown);
    capacity_ = want;
  }
  char* at = data_.get() + used_;
  if (!name.empty()) std::memcpy(at, name.data(), name.size());
  std::memcpy(at + name.size(), length, k);
  used_ += need;
  ++count_;
}

std::string_view NameStack::entry_before(std::size_t end, std::size_t& begin) const {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data_.get());
  std::size_t i = end;
  std::size_t n = 0;
  while (p[i - 1] & 0x80) n = (n << 7) | (p[--i] & 0x7F);
  n = (n << 7) | p[--i];
  begin = i - n;
  return std::string_view(data_.get() + begin, n);
}

std::string_view NameStack::pop() {
  std::size_t begin = 0;
  const std::string_view name = entry_before(used_, begin);
  used_ = begin;
  --count_;
  return name;
}

std::string_view NameStack::from_top(std::size_t k) const {
  std::size_t end = used_;
  std::size_t begin = 0;
  for (;;) {
    const std::string_view name = entry_before(end, begin);
    if (k-- == 0) return name;
    end = begin;
  }
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

// Where the bytes of one construct go: nowhere (markup, whose content no reader uses), into
// the scratch buffer as a name's tail (skim mode), or through the attribute filter. Either way
// it remembers how many bytes passed and the last two, which is all the terminator checks
// ("-->", "]]>", "?>", "/>") need.
struct Collector {
  enum class Mode { Drop, NameTail, Tail, Filter };
  Mode mode = Mode::Drop;
  std::string* out = nullptr;
  TagFilter* filter = nullptr;
  std::uint64_t count = 0;
  char last = 0, before_last = 0;
  char head[4] = {};  // the first bytes, for telling an XML declaration from a PI
  bool name_done = false;
  bool clipped = false;

  void add(const char* p, std::size_t n) {
    if (n == 0) return;
    for (std::size_t i = 0; count + i < sizeof head && i < n; ++i) head[count + i] = p[i];
    before_last = n >= 2 ? p[n - 2] : last;
    last = p[n - 1];
    count += n;
    switch (mode) {
      case Mode::Drop: break;
      case Mode::NameTail: {
        if (name_done) break;
        const char* stop = std::find_if(p, p + n, is_xml_space);
        append_tail(p, static_cast<std::size_t>(stop - p));
        if (stop != p + n) name_done = true;
        break;
      }
      case Mode::Tail: append_tail(p, n); break;
      case Mode::Filter: filter->feed(p, n); break;
    }
  }
  void add_byte(char c) { add(&c, 1); }
  bool ends_with(char a, char b) const { return count >= 2 && before_last == a && last == b; }

  // The kept bytes, clipped to the limit in the tail modes.
  std::string_view view() const {
    if (mode == Mode::Drop) return {};
    const std::string_view v = *out;
    if (mode != Mode::Filter && v.size() > XmlPullReader::kSkimNameLimit) {
      return v.substr(v.size() - XmlPullReader::kSkimNameLimit);
    }
    return v;
  }
  bool was_clipped() const { return clipped || (mode != Mode::Filter && out->size() > XmlPullReader::kSkimNameLimit); }

 private:
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

// Bytes held with their runs of XML white space packed, for white space whose fate is known
// only at the next other byte: at the end of a text or of an end tag's name it is trimmed off,
// before more bytes it is part of them. A run of four or more costs a few bytes however long
// it is. Packed form: a 0, the white-space byte and its count in base 128; a 0 of the bytes is
// written as two; every other byte stands for itself. White space past `cap` bytes is only
// counted.
class PackedBytes {
 public:
  explicit PackedBytes(std::uint64_t cap = UINT64_MAX) : cap_(cap) {}

  void append(const char* p, std::size_t n) {
    for (const char* end = p + n; p != end; ++p) {
      if (is_xml_space(*p)) {
        if (held_ >= cap_) {
          ++unheld_;
          continue;
        }
        ++held_;
        if (*p != run_byte_) close_run();
        run_byte_ = *p;
        ++run_count_;
        continue;
      }
      close_run();
      if (*p == 0) packed_ += '\0';
      packed_ += *p;
    }
  }
  bool empty() const { return packed_.empty() && run_count_ == 0 && unheld_ == 0; }
  // Passes the bytes to `put` in pieces of bounded size, and forgets them; returns the count
  // of white space not held.
  template <class Put>
  std::uint64_t unpack(Put& put) {
    close_run();
    char piece[4096];
    std::size_t n = 0;
    const auto emit = [&](char c) {
      piece[n++] = c;
      if (n == sizeof piece) {
        put(piece, n);
        n = 0;
      }
    };
    for (std::size_t i = 0; i < packed_.size();) {
      const char c = packed_[i++];
      if (c != 0) {
        emit(c);
        continue;
      }
      const char b = packed_[i++];
      std::uint64_t count = 1;
      if (b != 0) {
        count = 0;
        for (int shift = 0;; shift += 7) {
          const auto d = static_cast<unsigned char>(packed_[i++]);
          count |= static_cast<std::uint64_t>(d & 0x7F) << shift;
          if (!(d & 0x80)) break;
        }
      }
      for (; count != 0; --count) emit(b);
    }
    if (n != 0) put(piece, n);
    std::string().swap(packed_);
    held_ = 0;
    return std::exchange(unheld_, 0);
  }

 private:
  void close_run() {
    if (run_count_ <= 3) {
      packed_.append(run_count_, run_byte_);
    } else {
      packed_ += '\0';
      packed_ += run_byte_;
      for (; run_count_ >= 0x80; run_count_ >>= 7) packed_ += static_cast<char>(0x80 | (run_count_ & 0x7F));
      packed_ += static_cast<char>(run_count_);
    }
    run_count_ = 0;
  }

  std::string packed_;
  char run_byte_ = 0;
  std::uint64_t run_count_ = 0;  // of run_byte_, not yet in packed_
  std::uint64_t cap_;
  std::uint64_t held_ = 0;    // white-space bytes held
  std::uint64_t unheld_ = 0;  // and those past the cap
};

}  // namespace

// The scanning routines. Each works on the reader's buffer in chunks and refills it as it
// goes, so no construct depends on where a refill happens.
class XmlScanner {
 public:
  XmlScanner(XmlPullReader& r, std::string& scratch) : r_(r), scratch_(scratch) {}

  Result<XmlEvent> next();

 private:
  // The next byte without consuming it, or -1 at end of input.
  Result<int> peek() {
    TVX_TRY_ASSIGN(bool more, r_.fill());
    if (!more) return -1;
    return static_cast<int>(static_cast<unsigned char>(r_.buf_[r_.pos_]));
  }
  void advance() { ++r_.pos_; }

  // Passes bytes to `col` until one of `stops` (left unread) or end of input (-1).
  Result<int> scan(Collector* col, const ByteSet& stops) {
    for (;;) {
      TVX_TRY_ASSIGN(bool more, r_.fill());
      if (!more) return -1;
      const char* begin = r_.buf_.data() + r_.pos_;
      const char* end = r_.buf_.data() + r_.len_;
      const char* p = begin;
      while (p != end && !stops[static_cast<unsigned char>(*p)]) ++p;
      const std::size_t n = static_cast<std::size_t>(p - begin);
      if (col) col->add(begin, n);
      r_.pos_ += n;
      if (p != end) return static_cast<int>(static_cast<unsigned char>(*p));
    }
  }

  // As scan, but white space at the end of what the buffer holds goes to `space`, and reaches
  // `put` only when other bytes follow (what `space` did not hold goes to `unheld` as a count).
  template <class Put, class Unheld>
  Result<int> scan_held(PackedBytes& space, Put& put, Unheld& unheld, const ByteSet& stops) {
    for (;;) {
      TVX_TRY_ASSIGN(bool more, r_.fill());
      if (!more) return -1;
      const char* begin = r_.buf_.data() + r_.pos_;
      const char* end = r_.buf_.data() + r_.len_;
      const char* stop = begin;
      while (stop != end && !stops[static_cast<unsigned char>(*stop)]) ++stop;
      const char* tail = stop;  // the white space at the end
      while (tail != begin && is_xml_space(tail[-1])) --tail;
      if (tail != begin) {
        if (!space.empty()) {
          if (const std::uint64_t count = space.unpack(put)) unheld(count);
        }
        put(begin, static_cast<std::size_t>(tail - begin));
      }
      space.append(tail, static_cast<std::size_t>(stop - tail));
      const std::size_t n = static_cast<std::size_t>(stop - begin);
      r_.pos_ += n;
      if (stop != end) return static_cast<int>(static_cast<unsigned char>(*stop));
    }
  }

  // Consumes the bytes of `word` while they match (ASCII case ignored when asked); true when
  // all matched. A mismatching byte is left unread.
  Result<bool> expect(std::string_view word, bool ignore_case) {
    for (char w : word) {
      TVX_TRY_ASSIGN(int c, peek());
      if (c < 0) return false;
      const int want = static_cast<unsigned char>(w);
      const bool same = c == want || (ignore_case && lower_ascii(c) == lower_ascii(want));
      if (!same) return false;
      advance();
    }
    return true;
  }

  Collector collector(Collector::Mode mode) {
    Collector col;
    col.out = &scratch_;
    col.mode = mode;
    return col;
  }
  XmlEvent event(XmlEventKind kind, std::string_view bytes = {}) { return XmlEvent{kind, bytes}; }
  TolvanexError fail(TolvanexError e) {
    r_.state_ = XmlPullReader::State::Exit;
    return e;
  }

  Result<XmlEvent> text(std::string_view head);
  Result<XmlEvent> reference();
  Result<XmlEvent> markup();
  Result<XmlEvent> bang();
  Result<XmlEvent> delimited(XmlEventKind kind, char a, char b, const char* not_closed);
  Result<XmlEvent> doctype();
  Result<XmlEvent> processing_instruction();
  Result<XmlEvent> end_tag();
  Result<XmlEvent> start_tag();

  XmlPullReader& r_;
  std::string& scratch_;
};

Result<XmlEvent> XmlScanner::next() {
  using State = XmlPullReader::State;
  if (r_.state_ == State::Exit) return event(XmlEventKind::Eof, {});

  if (r_.state_ == State::Initial) {
    r_.state_ = State::Text;
    // A byte-order mark at the very start is not text; a partial one is.
    static constexpr char kBom[] = "\xEF\xBB\xBF";
    for (int i = 0; i < 3; ++i) {
      TVX_TRY_ASSIGN(int c, peek());
      if (c == static_cast<unsigned char>(kBom[i])) {
        advance();
        continue;
      }
      if (i == 0) break;
      return text(std::string_view(kBom, static_cast<std::size_t>(i)));
    }
  }

  TVX_TRY_ASSIGN(int c, scan(nullptr, kNotSpace));
  if (c < 0) {
    r_.state_ = State::Exit;
    return event(XmlEventKind::Eof, {});
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

// Character data up to the next `<`, `&` or end of input, after the bytes `head`, into the
// text sink. Called at a byte that is not white space; white space at the end is trimmed
// without being held.
Result<XmlEvent> XmlScanner::text(std::string_view head) {
  text::TextSink* const sink = r_.text_sink_;
  if (sink == nullptr) {
    TVX_TRY(scan(nullptr, kTextStops));
    return event(XmlEventKind::Text);
  }
  auto put = [&](const char* p, std::size_t n) { sink->piece(std::string_view(p, n)); };
  auto unheld = [&](std::uint64_t count) { sink->unheld_space(count); };
  if (!head.empty()) put(head.data(), head.size());
  PackedBytes space(sink->room());
  TVX_TRY(scan_held(space, put, unheld, kTextStops));
  return event(XmlEventKind::Text);
}

Result<XmlEvent> XmlScanner::reference() {
  Collector col;
  TVX_TRY_ASSIGN(int c, scan(&col, kRefStops));
  if (c != ';') {
    return fail(ill_formed("entity or character reference not closed: `;` not found before end of input"));
  }
  advance();
  return event(XmlEventKind::GeneralRef);
}

Result<XmlEvent> XmlScanner::markup() {
  TVX_TRY_ASSIGN(int c, peek());
  if (c < 0) return fail(syntax("tag not closed: `>` not found before end of input"));
  if (c == '!') {
    advance();
    return bang();
  }
  if (c == '?') {
    advance();
    return processing_instruction();
  }
  if (c == '/') {
    advance();
    return end_tag();
  }
  return start_tag();
}

Result<XmlEvent> XmlScanner::bang() {
  TVX_TRY_ASSIGN(int c, peek());
  if (c == '[') {
    TVX_TRY_ASSIGN(bool cdata, expect("[CDATA[", false));
    if (cdata) {
      return delimited(XmlEventKind::CData, ']', ']',
                       "CDATA not closed: `]]>` not found before end of input");
    }
  } else if (c == '-') {
    TVX_TRY_ASSIGN(bool comment, expect("--", false));
    if (comment) {
      return delimited(XmlEventKind::Comment, '-', '-',
                       "comment not closed: `-->` not found before end of input");
    }
  } else if (c == 'D' || c == 'd') {
    TVX_TRY_ASSIGN(bool doctype_kw, expect("doctype", true));
    if (doctype_kw) return doctype();
  }
  return fail(syntax("unknown or missed symbol in markup"));
}

// Content up to the first `a b >` that follows the opener (the two never overlap it).
Result<XmlEvent> XmlScanner::delimited(XmlEventKind kind, char a, char b, const char* not_closed) {
  Collector col;
  for (;;) {
    TVX_TRY_ASSIGN(int c, scan(&col, kGt));
    if (c < 0) return fail(syntax(not_closed));
    advance();
    if (col.ends_with(a, b)) return event(kind);
    col.add_byte('>');
  }
}

Result<XmlEvent> XmlScanner::doctype() {
  TVX_TRY(scan(nullptr, kNotSpace));
  Collector col;
  std::uint64_t depth = 1;  // the `<` of `<!DOCTYPE`
  for (;;) {
    TVX_TRY_ASSIGN(int c, scan(&col, kAngles));
    if (c < 0) return fail(syntax("DOCTYPE not closed: `>` not found before end of input"));
    advance();
    if (c == '<') {
      ++depth;
    } else if (--depth == 0) {
      break;
    }
    col.add_byte(static_cast<char>(c));
  }
  if (col.count == 0) {
    return fail(ill_formed("`<!DOCTYPE>` declaration does not contain a name of a document type"));
  }
  return event(XmlEventKind::DocType);
}

Result<XmlEvent> XmlScanner::processing_instruction() {
  Collector col;
  for (;;) {
    TVX_TRY_ASSIGN(int c, scan(&col, kGt));
    if (c < 0) {
      return fail(syntax(
          "processing instruction or xml declaration not closed: `?>` not found before end of input"));
    }
    advance();
    if (col.count >= 1 && col.last == '?') break;
    col.add_byte('>');
  }
  // The target "xml" alone, followed by white space or the closing `?>`, is the declaration.
  const std::uint64_t content = col.count - 1;
  const bool decl = content >= 3 && std::memcmp(col.head, "xml", 3) == 0 &&
                    (content == 3 || is_xml_space(col.head[3]));
  return event(decl ? XmlEventKind::Decl : XmlEventKind::PI);
}

Result<XmlEvent> XmlScanner::end_tag() {
  static constexpr const char* kNotClosed = "tag not closed: `>` not found before end of input";
  std::string_view name;
  bool hidden = false;
  if (r_.skim_) {
    Collector col = collector(Collector::Mode::Tail);
    TVX_TRY_ASSIGN(int c, scan(&col, kGt));
    if (c < 0) return fail(syntax(kNotClosed));
    name = trim_trailing_space(col.view());
    r_.clipped_ = col.was_clipped();
  } else {
    // Trailing white space is trimmed without being held. A name that can no longer match the
    // innermost open one (say, with white space inside: open names end at the first) serves
    // only the message, which shows it only when it is UTF-8. Such a name is therefore held
    // packed until the `>`, and dropped as soon as it is known not to be UTF-8.
    const std::string_view want = r_.open_.empty() ? std::string_view() : r_.open_.top();
    bool differs = r_.open_.empty();
    std::size_t matched = 0;  // bytes of `want` matched so far
    text::Utf8Validator utf8;
    PackedBytes kept;
    auto put = [&](const char* p, std::size_t n) {
      if (hidden) return;
      differs = differs || want.substr(matched, n) != std::string_view(p, n);
      matched += n;
      utf8.feed(std::string_view(p, n));
      hidden = differs && !utf8.valid();
      if (hidden) kept = PackedBytes();
      else kept.append(p, n);
    };
    auto unheld = [](std::uint64_t) {};  // white space is always held here
    PackedBytes space;
    TVX_TRY_ASSIGN(int c, scan_held(space, put, unheld, kGt));
    if (c < 0) return fail(syntax(kNotClosed));
    hidden = hidden || (differs && !utf8.finish());
    if (!hidden) {
      auto out = [&](const char* p, std::size_t n) { scratch_.append(p, n); };
      kept.unpack(out);
    }
    name = scratch_;
  }
  advance();
  if (r_.open_.empty()) {
    return fail(ill_formed("close tag `</" + shown(name) + ">` does not match any open tag"));
  }
  if (hidden || r_.open_.top() != name) {
    return fail(ill_formed("expected `</" + shown(r_.open_.top()) + ">`, but `</" + shown(name) +
                           ">` was found"));
  }
  r_.open_.pop();
  return event(XmlEventKind::End, name);
}

// A start or empty tag, ending at the first `>` outside quotes.
Result<XmlEvent> XmlScanner::start_tag() {
  static constexpr const char* kNotClosed = "tag not closed: `>` not found before end of input";
  Collector col = collector(Collector::Mode::NameTail);
  if (!r_.skim_) {
    if (!r_.tag_filter_) r_.tag_filter_ = std::make_unique<TagFilter>();
    r_.tag_filter_->begin(&scratch_, r_.filter_);
    col.mode = Collector::Mode::Filter;
    col.filter = r_.tag_filter_.get();
  }
  for (;;) {
    TVX_TRY_ASSIGN(int c, scan(&col, kTagStops));
    if (c < 0) return fail(syntax(kNotClosed));
    advance();
    if (c == '>') break;
    col.add_byte(static_cast<char>(c));
    TVX_TRY_ASSIGN(int q, scan(&col, c == '"' ? kDoubleQuote : kSingleQuote));
    if (q < 0) return fail(syntax(kNotClosed));
    advance();
    col.add_byte(static_cast<char>(q));
  }
  const bool empty = col.count >= 1 && col.last == '/';
  if (col.mode == Collector::Mode::Filter) col.filter->finish();  // it held the `/` back
  std::string_view payload = col.view();
  if (empty && r_.skim_ && !payload.empty() && !col.name_done) payload.remove_suffix(1);
  r_.clipped_ = r_.skim_ && col.was_clipped();
  if (empty) return event(XmlEventKind::Empty, payload);
  XmlEvent ev = event(XmlEventKind::Start, payload);
  r_.open_.push(ev.name());
  return ev;
}

// ---------------------------------------------------------------------------------------

XmlAttributes::XmlAttributes(std::string_view tag) : tag_(tag) {
  while (pos_ < tag_.size() && !is_xml_space(tag_[pos_])) ++pos_;
}

bool XmlAttributes::seen_before(std::string_view key) {
  constexpr std::size_t kListLimit = 16;
  if (seen_.size() < kListLimit) {
    if (std::find(seen_.begin(), seen_.end(), key) != seen_.end()) return true;
    seen_.push_back(key);
    if (seen_.size() == kListLimit) many_.insert(seen_.begin(), seen_.end());
    return false;
  }
  return !many_.insert(key).second;
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

XmlPullReader::XmlPullReader(ByteSource& source, std::size_t buffer_size)
    : source_(source), buf_(buffer_size == 0 ? 1 : buffer_size) {}

XmlPullReader::~XmlPullReader() = default;

Result<bool> XmlPullReader::fill() {
  if (pos_ < len_) return true;
  if (eof_) return false;
  pos_ = len_ = 0;
  Result<std::size_t> got = source_.read(buf_.data(), buf_.size());
  if (!got) {
    state_ = State::Exit;
    return TolvanexError::xml("I/O error: " + got.error().payload());
  }
  len_ = got.value();
  if (len_ == 0) eof_ = true;
  return len_ != 0;
}

Result<XmlEvent> XmlPullReader::next_event(std::string& scratch) {
  scratch.clear();
  clipped_ = false;
  return XmlScanner(*this, scratch).next();
}

}  // namespace tolvanex::xml
