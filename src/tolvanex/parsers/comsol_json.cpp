// The serialised model ("smodel.json"): one strict reading of the member that checks it and
// collects its tags in the same pass.
//
// The member streams by in chunks and is never held whole. What is kept is what the summary
// may need: the value of a "tag" key, the first bytes of other keys and of class names (enough
// to compare them with the words sought), the first significant digits of a number (enough to
// tell whether it fits a double) and one frame per open array or object.
//
// Errors read "syntax error while parsing {context} - {what}[; expected {token}]" (or "number
// overflow", or "recursion limit exceeded"), in the words of nlohmann-json's parser, and stand
// at the byte where the reading stopped: the offending byte, the last byte of a token that may
// not stand there (its closing quote, its last digit or letter), or the end of the member.
// Lines and byte columns count from 1; only white space between tokens may hold a line feed,
// so the line is counted there.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "tolvanex/parsers/comsol.hpp"

namespace tolvanex::parsers::comsol {

namespace {

constexpr std::size_t kInputChunk = 64 * 1024;
// Nesting allowed: 127 levels parse, the bracket opening the 128th fails.
constexpr std::size_t kMaxDepth = 127;
// The longest word a key or a class name is compared with ("apiClass", "material").
constexpr std::size_t kWordLimit = 8;
// A number from 0.17976931348623158079...e309 up (halfway between the largest double and 2^1024)
// rounds to infinity. That boundary has 309 significant digits, so a number's first 309 and
// whether any later one is nonzero decide on which side of it the number lies.
constexpr std::size_t kSignificant = 309;
constexpr std::int64_t kClamp = 1'000'000'000'000'000;  // 1e15: "huge" for every count below

enum class Tok : std::uint8_t {
  True, False, Null, String, Number, BeginArray, EndArray, BeginObject, EndObject, Colon, Comma,
  End, Bad,  // the end of the member; a malformed token
};

const char* token_name(Tok t) {
  switch (t) {
    case Tok::True: return "true literal";
    case Tok::False: return "false literal";
    case Tok::Null: return "null literal";
    case Tok::String: return "string literal";
    case Tok::Number: return "number literal";
    case Tok::BeginArray: return "'['";
    case Tok::EndArray: return "']'";
    case Tok::BeginObject: return "'{'";
    case Tok::EndObject: return "'}'";
    case Tok::Colon: return "':'";
    case Tok::Comma: return "','";
    case Tok::End: return "end of input";
    case Tok::Bad: break;
  }
  return "<parse error>";
}

struct Token {
  Tok type;
  std::uint64_t at;  // where an error about this token stands
};

// What a string is read for: nothing kept, a key or class name (its first bytes), a tag (all).
enum class Role : std::uint8_t { Skip, Word, Tag };

// The keys that matter in an object.
enum class Key : std::uint8_t { Other, Tag, ApiClass, Type };

// Bytes inside a string.
enum : std::uint8_t { kPlain, kQuote, kBackslash, kControl, kLead, kIllFormed };
constexpr std::array<std::uint8_t, 256> kStringBytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = kControl;
  t['"'] = kQuote;
  t['\\'] = kBackslash;
  for (int c = 0x80; c < 0x100; ++c) t[c] = text::utf8_lead(static_cast<unsigned char>(c)).length ? kLead : kIllFormed;
  return t;
}();

bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string control_message(int c) {
  static constexpr const char* kNames[32] = {
      "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF",  "VT", "FF", "CR", "SO", "SI",
      "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM", "SUB", "ESC", "FS", "GS", "RS", "US"};
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string code = std::string("00") + kHex[c >> 4] + kHex[c & 0xF];
  std::string m = "invalid string: control character U+" + code + " (" + kNames[c] + ") must be escaped to \\u" + code;
  // The five that have a short escape name it too.
  static constexpr std::string_view kShort = "btn?fr";
  if (c >= '\b' && c <= '\r' && kShort[c - '\b'] != '?') m += std::string(" or \\") + kShort[c - '\b'];
  return m;
}

// The facts of one open array or object; an object's "tag", "apiClass" and "type" are known
// only at its end, since a repeated key keeps its last value.
struct Frame {
  struct ClassName {
    bool present = false;
    std::optional<NodeKind> kind;  // set only for a string naming a kind
  };
  bool object = false;
  Key key = Key::Other;  // the key whose value is read next
  bool has_tag = false;
  std::string tag;
  ClassName api_class, type;
};

class SmodelReader {
 public:
  SmodelReader(ByteSource& source, TreeInfo& tree)
      : source_(source), tree_(tree), buffer_(kInputChunk), frames_(kMaxDepth) {
    p_ = end_ = buffer_.data();
  }

  Status run();

 private:
  // ---- input

  // Reads the next chunk once the current one is used up; false at the end of the member (a
  // failing source ends it too: the member stream keeps that failure for the caller).
  bool refill() {
    if (eof_) return false;
    base_ += static_cast<std::uint64_t>(end_ - buffer_.data());
    p_ = end_ = buffer_.data();
    const Result<std::size_t> got = source_.read(buffer_.data(), buffer_.size());
    if (!got || got.value() == 0) {
      eof_ = true;
      return false;
    }
    end_ += got.value();
    return true;
  }
  // The next byte, not taken, or -1 at the end.
  int peek() {
    if (p_ == end_ && !refill()) return -1;
    return static_cast<unsigned char>(*p_);
  }
  std::uint64_t offset() const { return base_ + static_cast<std::uint64_t>(p_ - buffer_.data()); }

  // Skips white space, counting lines; returns the next byte, or -1 at the end.
  int skip_space() {
    for (;;) {
      for (; p_ != end_; ++p_) {
        const auto c = static_cast<unsigned char>(*p_);
        if (c > ' ' || !is_space(c)) return c;
        if (c == '\n') {
          ++line_;
          line_start_ = offset() + 1;
        }
      }
      if (!refill()) return -1;
    }
  }

  // ---- tokens

  Token bad(std::string message, std::uint64_t at) {
    bad_ = std::move(message);
    return {Tok::Bad, at};
  }

  // The next token; a string is kept as `role` asks (a tag into `sink`).
  Token scan(Role role, std::string* sink = nullptr) {
    const int c = skip_space();
    const std::uint64_t at = offset();
    switch (c) {
      case -1: return {Tok::End, at};
      case '[': ++p_; return {Tok::BeginArray, at};
      case ']': ++p_; return {Tok::EndArray, at};
      case '{': ++p_; return {Tok::BeginObject, at};
      case '}': ++p_; return {Tok::EndObject, at};
      case ':': ++p_; return {Tok::Colon, at};
      case ',': ++p_; return {Tok::Comma, at};
      case 't': return literal("true", Tok::True);
      case 'f': return literal("false", Tok::False);
      case 'n': return literal("null", Tok::Null);
      case '"': return string(role, sink);
      default:
        if (c == '-' || is_digit(c)) return number();
        return bad("invalid literal", at);
    }
  }

  Token literal(std::string_view word, Tok type) {
    ++p_;
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (peek() != static_cast<unsigned char>(word[i])) return bad("invalid literal", offset());
      ++p_;
    }
    return {type, offset() - 1};
  }

  void keep(Role role, std::string* sink, const char* data, std::size_t n) {
    if (role == Role::Tag) {
      sink->append(data, n);
    } else if (role == Role::Word && !word_long_) {
      if (word_length_ + n > kWordLimit) {
        word_long_ = true;
      } else {
        for (std::size_t i = 0; i < n; ++i) word_[word_length_++] = data[i];
      }
    }
  }
  // The last string read as a word, when it is short enough to be one of the words sought.
  std::optional<std::string_view> word() const {
    if (word_long_) return std::nullopt;
    return std::string_view(word_.data(), word_length_);
  }

  Token string(Role role, std::string* sink) {
    ++p_;
    if (role == Role::Tag) sink->clear();
    word_length_ = 0;
    word_long_ = false;
    for (;;) {
      const char* run = p_;
      while (p_ != end_ && kStringBytes[static_cast<unsigned char>(*p_)] == kPlain) ++p_;
      if (p_ != run) keep(role, sink, run, static_cast<std::size_t>(p_ - run));
      const int c = peek();
      if (c < 0) return bad("invalid string: missing closing quote", offset());
      switch (kStringBytes[c]) {
        case kPlain: break;  // a new chunk
        case kQuote: ++p_; return {Tok::String, offset() - 1};
        case kBackslash:
          if (!escape(role, sink)) return {Tok::Bad, bad_at_};
          break;
        case kControl: return bad(control_message(c), offset());
        case kLead:
          if (!sequence(role, sink, c)) return {Tok::Bad, bad_at_};
          break;
        default: return bad("invalid string: ill-formed UTF-8 byte", offset());
      }
    }
  }

  bool fail_in_string(std::string message, std::uint64_t at) {
    bad_ = std::move(message);
    bad_at_ = at;
    return false;
  }

  // A multi-byte UTF-8 character from its lead byte c.
  bool sequence(Role role, std::string* sink, int c) {
    const text::Utf8Lead lead = text::utf8_lead(static_cast<unsigned char>(c));
    char bytes[4] = {static_cast<char>(c)};
    ++p_;
    for (int i = 1; i < lead.length; ++i) {
      const int b = peek();
      if (b < (i == 1 ? lead.lo : 0x80) || b > (i == 1 ? lead.hi : 0xBF))
        return fail_in_string("invalid string: ill-formed UTF-8 byte", offset());
      bytes[i] = static_cast<char>(b);
      ++p_;
    }
    keep(role, sink, bytes, static_cast<std::size_t>(lead.length));
    return true;
  }

  // Four hex digits after "\u", or -1 with the error set.
  int code_unit() {
    int v = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = hex_value(peek());
      if (h < 0) return fail_in_string("invalid string: '\\u' must be followed by 4 hex digits", offset()), -1;
      v = v * 16 + h;
      ++p_;
    }
    return v;
  }

  // An escape, from its reverse solidus.
  bool escape(Role role, std::string* sink) {
    static constexpr std::string_view kHigh =
        "invalid string: surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF";
    ++p_;
    const int c = peek();
    char one = 0;
    switch (c) {
      case '"': case '\\': case '/': one = static_cast<char>(c); break;
      case 'b': one = '\b'; break;
      case 'f': one = '\f'; break;
      case 'n': one = '\n'; break;
      case 'r': one = '\r'; break;
      case 't': one = '\t'; break;
      case 'u': break;
      default: return fail_in_string("invalid string: forbidden character after backslash", offset());
    }
    ++p_;
    if (c != 'u') {
      keep(role, sink, &one, 1);
      return true;
    }
    int cp = code_unit();
    if (cp < 0) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF)
      return fail_in_string("invalid string: surrogate U+DC00..U+DFFF must follow U+D800..U+DBFF", offset() - 1);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (peek() != '\\') return fail_in_string(std::string(kHigh), offset());
      ++p_;
      if (peek() != 'u') return fail_in_string(std::string(kHigh), offset());
      ++p_;
      const int low = code_unit();
      if (low < 0) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail_in_string(std::string(kHigh), offset() - 1);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    char utf8[4];
    std::size_t n = 0;
    if (cp < 0x80) {
      utf8[n++] = static_cast<char>(cp);
    } else if (cp < 0x800) {
      utf8[n++] = static_cast<char>(0xC0 | (cp >> 6));
      utf8[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      utf8[n++] = static_cast<char>(0xE0 | (cp >> 12));
      utf8[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      utf8[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      utf8[n++] = static_cast<char>(0xF0 | (cp >> 18));
      utf8[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      utf8[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      utf8[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    keep(role, sink, utf8, n);
    return true;
  }

  // Takes a run of digits, across chunks, handing each piece to `on`; returns its length.
  template <class On>
  std::uint64_t digits(On&& on) {
    std::uint64_t n = 0;
    for (;;) {
      const char* run = p_;
      while (p_ != end_ && is_digit(*p_)) ++p_;
      if (p_ != run) {
        on(run, p_);
        n += static_cast<std::uint64_t>(p_ - run);
      }
      if (p_ != end_ || !refill()) return n;
    }
  }

  // A number: its shape is checked here; whether it fits a double is left in number_finite_.
  // Its value is 0.D x 10^E, D its significant digits (from the first nonzero one) and E the
  // count of integer digits from there, less the zeros that open the fraction before it, plus
  // the exponent.
  Token number() {
    significant_ = 0;
    sticky_ = false;
    std::uint64_t leading_zeros = 0;
    const auto take = [&](const char* from, const char* to) {
      for (; from != to && significant_ == 0 && *from == '0'; ++from) ++leading_zeros;
      for (; from != to && significant_ < kSignificant; ++from) digits_[significant_++] = *from;
      sticky_ = sticky_ || std::find_if(from, to, [](char c) { return c != '0'; }) != to;
    };
    if (*p_ == '-') {
      ++p_;
      if (!is_digit(peek())) return bad("invalid number; expected digit after '-'", offset());
    }
    std::uint64_t integer_digits = 0;
    if (*p_ == '0') {
      ++p_;
    } else {
      integer_digits = digits(take);
    }
    if (peek() == '.') {
      ++p_;
      if (!is_digit(peek())) return bad("invalid number; expected digit after '.'", offset());
      digits(take);
    }
    std::int64_t exponent = 0;
    if (const int c = peek(); c == 'e' || c == 'E') {
      ++p_;
      bool negative = false;
      if (const int s = peek(); s == '+' || s == '-') {
        negative = s == '-';
        ++p_;
        if (!is_digit(peek())) return bad("invalid number; expected digit after exponent sign", offset());
      } else if (!is_digit(s)) {
        return bad("invalid number; expected '+', '-', or digit after exponent", offset());
      }
      digits([&](const char* from, const char* to) {
        for (; from != to && exponent < kClamp; ++from) exponent = exponent * 10 + (*from - '0');
      });
      if (negative) exponent = -exponent;
    }
    const auto clamp = [](std::uint64_t v) { return static_cast<std::int64_t>(std::min<std::uint64_t>(v, kClamp)); };
    const std::int64_t e = clamp(integer_digits) - clamp(leading_zeros) + exponent;
    number_finite_ = significant_ == 0 || e <= 308 || (e == 309 && below_largest_double());
    return {Tok::Number, offset() - 1};
  }

  // For a number with 309 integer digits: whether it stays finite once rounded to a double.
  bool below_largest_double() const {
    std::string text = "0." + std::string(digits_.data(), significant_) + (sticky_ ? "1" : "") + "e309";
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    return ec != std::errc::result_out_of_range && std::isfinite(value);
  }

  // ---- structure

  Status error_at(const std::string& message, std::uint64_t at) const {
    return TolvanexError::json_at(message, line_, at - line_start_ + 1);
  }

  Status fail(const char* context, const Token& t, const char* expected) const {
    std::string m = "syntax error while parsing ";
    m += context;
    m += " - ";
    if (t.type == Tok::Bad) {
      m += bad_;
    } else {
      m += "unexpected ";
      m += token_name(t.type);
    }
    if (expected) {
      m += "; expected ";
      m += expected;
    }
    return error_at(m, t.at);
  }

  Frame* innermost_object() { return depth_ > 0 && frames_[depth_ - 1].object ? &frames_[depth_ - 1] : nullptr; }

  // A value read in the innermost object, a string or not (a string read for a tag is already
  // in the frame, one read as a word in word_).
  void value(bool is_string) {
    Frame* f = innermost_object();
    if (!f) return;
    if (f->key == Key::Tag) {
      f->has_tag = is_string;
    } else if (f->key == Key::ApiClass || f->key == Key::Type) {
      Frame::ClassName& cls = f->key == Key::ApiClass ? f->api_class : f->type;
      cls.present = true;
      const auto w = word();
      cls.kind = is_string && w ? node_kind(*w) : std::nullopt;
    }
    f->key = Key::Other;
  }

  void open(bool object) {
    Frame& f = frames_[depth_++];
    f.object = object;
    f.key = Key::Other;
    f.has_tag = false;
    f.api_class = f.type = {};
  }

  void close_object() {
    Frame& f = frames_[--depth_];
    // "apiClass" decides when present, string or not; "type" only in its absence.
    const Frame::ClassName& cls = f.api_class.present ? f.api_class : f.type;
    if (f.has_tag && cls.kind) tree_.tags_of(*cls.kind).push_back(f.tag);
  }

  // One member of the innermost object, from its key token on: the key, the colon, and the
  // token of the value, left in t.
  Status member(Token& t) {
    if (t.type != Tok::String) return fail("object key", t, "string literal");
    Frame& f = frames_[depth_ - 1];
    const auto w = word();
    f.key = !w ? Key::Other
            : *w == "tag" ? Key::Tag
            : *w == "apiClass" ? Key::ApiClass
            : *w == "type" ? Key::Type
                           : Key::Other;
    if (skip_space() == ':') {
      ++p_;
    } else {
      t = scan(Role::Skip);
      return fail("object separator", t, "':'");
    }
    t = f.key == Key::Tag ? scan(Role::Tag, &f.tag) : scan(f.key == Key::Other ? Role::Skip : Role::Word);
    return ok_status();
  }

  ByteSource& source_;
  TreeInfo& tree_;
  std::vector<char> buffer_;
  const char* p_;
  const char* end_;
  std::uint64_t base_ = 0;  // offset of buffer_[0] in the member
  bool eof_ = false;
  std::uint64_t line_ = 1, line_start_ = 0;

  std::string bad_;  // what a Bad token or failed string part is
  std::uint64_t bad_at_ = 0;
  std::array<char, kWordLimit> word_{};  // the first bytes of the last string read as a word
  std::size_t word_length_ = 0;
  bool word_long_ = false;  // longer than any word sought
  std::array<char, kSignificant> digits_{};
  std::size_t significant_ = 0;
  bool sticky_ = false;
  bool number_finite_ = true;

  std::vector<Frame> frames_;
  std::size_t depth_ = 0;
};

Status SmodelReader::run() {
  Token t = scan(Role::Skip);
  for (;;) {
    // t stands where a value must.
    switch (t.type) {
      case Tok::BeginArray:
      case Tok::BeginObject: {
        if (depth_ == kMaxDepth) return error_at("recursion limit exceeded", t.at);
        const bool object = t.type == Tok::BeginObject;
        value(false);
        open(object);
        t = scan(object ? Role::Word : Role::Skip);
        if (t.type == (object ? Tok::EndObject : Tok::EndArray)) {
          if (object) close_object();
          else --depth_;
          break;
        }
        if (object) {
          if (Status st = member(t); !st) return st;
        }
        continue;
      }
      case Tok::String: value(true); break;
      case Tok::Number:
        if (!number_finite_) return error_at("number overflow", t.at);
        value(false);
        break;
      case Tok::True:
      case Tok::False:
      case Tok::Null: value(false); break;
      case Tok::Bad: return fail("value", t, nullptr);
      default: return fail("value", t, "'[', '{', or a literal");
    }
    // After a value: close what ends here, up to the next value.
    for (;;) {
      if (depth_ == 0) {
        t = scan(Role::Skip);
        if (t.type != Tok::End) return fail("value", t, "end of input");
        return ok_status();
      }
      const bool object = frames_[depth_ - 1].object;
      const int c = skip_space();
      if (c == ',') {
        ++p_;
        t = scan(object ? Role::Word : Role::Skip);
        if (object) {
          if (Status st = member(t); !st) return st;
        }
        break;
      }
      if (c != (object ? '}' : ']')) {
        t = scan(Role::Skip);
        return fail(object ? "object" : "array", t, object ? "'}'" : "']'");
      }
      ++p_;
      if (object) close_object();
      else --depth_;
    }
  }
}

}  // namespace

Status read_smodel(ByteSource& source, TreeInfo& tree) {
  SmodelReader reader(source, tree);
  if (Status st = reader.run(); !st) return st;
  tree.sort_tags();
  return ok_status();
}

}  // namespace tolvanex::parsers::comsol
