// The serialised model ("smodel.json"): nlohmann's SAX parser, fed by a filter that keeps its
// memory bounded.
//
// nlohmann's lexer holds each string and number token whole (string contents twice over), and
// it keeps every byte read since the last string or number for its error messages: white
// space, brackets, commas and the literals true, false and null. So a member holding one
// enormous token, a gigabyte of white space or a long array of empty arrays would be held in
// memory at once. The feed between the member and the parser therefore lexes alongside it and
// hands on a stream that parses the same way, fails at the same place with the same message
// and yields the same tags, but in which no such run grows:
//   - a run of white space becomes its first byte;
//   - of a string, the first kKeepContent content bytes are passed on, and the rest of a
//     well-formed string is dropped unit by unit (a character or an escape), unless the
//     string may be the value of a "tag" key, since tags are what the summary keeps. Keys and
//     class names are compared with words of at most eight characters, which a string of that
//     length never equals. Anything nlohmann would reject (a control character, a bad escape,
//     a lone surrogate) is passed on with everything after it in that string, so the parser
//     fails there just as on the whole text;
//   - a number longer than kNumberLimit bytes becomes a short one of the same shape (sign,
//     integer part, fraction, exponent and their markers) that is finite exactly when the
//     original is: values are never used, but a number beyond a double is an error;
//   - a NUL byte between tokens becomes another control byte (see refill);
//   - where a value must stand (at the start, after "[", after ":", after "," inside an
//     array), a literal or an empty array or object becomes the number 0, which carries no
//     tag either but makes the lexer start afresh. Not when a ".", "e" or "E" follows (that
//     would make a longer number) or when an empty container would be one level too deep.
// Every byte handed to the parser carries its place in the member, so an error position is
// that of the member's own byte, whatever was dropped or replaced before it.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tolvanex/nlohmann_json.hpp"
#include "tolvanex/parsers/comsol.hpp"

namespace tolvanex::parsers::comsol {

namespace {

constexpr std::size_t kKeepContent = 4096;
constexpr std::size_t kNumberLimit = 4096;
// Nesting allowed: 127 levels parse, the bracket opening the 128th fails.
constexpr std::size_t kMaxDepth = 127;
constexpr std::size_t kInputChunk = 64 * 1024;

struct Pos {
  std::uint64_t line = 1;
  std::uint64_t column = 1;
};

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// The lexical shape of a JSON number, followed byte by byte as nlohmann's lexer does, with
// what is needed to tell whether its value fits a double.
class NumberShape {
 public:
  // Takes the next byte (-1 at end of input) when it continues the number.
  bool accept(int c) {
    switch (state_) {
      case State::Start:
        if (c == '-') return minus_ = true, to(State::Minus);
        return int_digit(c);
      case State::Minus: return is_digit(c) && int_digit(c);
      case State::Zero:
        if (c == '.') return dot(c);
        if (c == 'e' || c == 'E') return exp(c);
        return false;
      case State::Int:
        if (is_digit(c)) return int_digit(c);
        if (c == '.') return dot(c);
        if (c == 'e' || c == 'E') return exp(c);
        return false;
      case State::Dot:
      case State::Frac:
        if (is_digit(c)) {
          ++frac_digits_;
          digit(c);
          return to(State::Frac);
        }
        if (state_ == State::Frac && (c == 'e' || c == 'E')) return exp(c);
        return false;
      case State::Exp:
        if (c == '+' || c == '-') return exp_sign_ = static_cast<char>(c), to(State::ExpSign);
        [[fallthrough]];
      case State::ExpSign:
      case State::ExpDigits:
        if (!is_digit(c)) return false;
        ++exp_digits_;
        if (exp_value_ < kClamp) exp_value_ = exp_value_ * 10 + (c - '0');
        return to(State::ExpDigits);
    }
    return false;
  }

  // Takes the digits at the start of [p, p + n) where a digit keeps the state (an integer part
  // past its first digit, a fraction or exponent past its first) in one go, as accept() would
  // one by one; returns how many. Long numbers are mostly such runs.
  std::size_t accept_run(const char* p, std::size_t n) {
    if (state_ != State::Int && state_ != State::Frac && state_ != State::ExpDigits) return 0;
    std::size_t r = 0;
    while (r < n && is_digit(p[r])) ++r;
    if (state_ == State::ExpDigits) {
      exp_digits_ += r;
      for (std::size_t i = 0; i < r && exp_value_ < kClamp; ++i) exp_value_ = exp_value_ * 10 + (p[i] - '0');
      return r;
    }
    (state_ == State::Int ? int_digits_ : frac_digits_) += r;
    std::size_t i = 0;
    for (; i < r && significant_.size() < kSignificant; ++i) digit(p[i]);
    for (; i < r && !sticky_; ++i) sticky_ = p[i] != '0';
    return r;
  }

  // A short number of the same shape, finite exactly when this one is, each byte with its
  // offset in the original text. A replaced run's first digit stands for the original run's
  // first digit and its other digits for the last one: the parser may stop at a number's
  // first byte (inside a broken literal) or at its last (when the number is unexpected or
  // too large), and both are then the member's own places. Runs that may end the number have
  // at least two digits, so those two places never share a byte.
  template <class Emit>
  void condensed(Emit&& emit) const {
    const bool ill_formed = state_ == State::Minus || state_ == State::Dot || state_ == State::Exp ||
                            state_ == State::ExpSign;
    const bool infinite = !ill_formed && !finite();
    const bool zero_int = int_first_ == '0';
    std::uint64_t at = 0;
    auto run = [&](std::uint64_t length, const std::string& digits) {
      if (length == 0) return;
      for (std::size_t i = 0; i < digits.size(); ++i) emit(digits[i], i == 0 ? at : at + length - 1);
      at += length;
    };
    if (minus_) emit('-', at++);
    // An integer part alone, when long, is always beyond a double.
    run(int_digits_, zero_int ? "0" : infinite ? "1" + std::string(400, '0') : "1");
    if (dot_) emit('.', at++);
    run(frac_digits_, infinite && zero_int ? "1" : "00");
    if (exp_char_) emit(exp_char_, at++);
    if (exp_sign_) emit(exp_sign_, at++);
    run(exp_digits_, infinite && zero_int ? "400" : "00");
  }

 private:
  enum class State { Start, Minus, Zero, Int, Dot, Frac, Exp, ExpSign, ExpDigits };
  static constexpr std::uint64_t kClamp = 1'000'000'000'000'000;  // 1e15
  static constexpr std::size_t kSignificant = 800;

  bool to(State s) {
    state_ = s;
    return true;
  }
  bool int_digit(int c) {
    if (int_digits_ == 0) int_first_ = static_cast<char>(c);
    ++int_digits_;
    digit(c);
    return to(int_first_ == '0' ? State::Zero : State::Int);
  }
  bool dot(int) { return dot_ = true, to(State::Dot); }
  bool exp(int c) { return exp_char_ = static_cast<char>(c), to(State::Exp); }
  void digit(int c) {
    if (significant_.empty() && c == '0') {
      ++leading_zeros_;
    } else if (significant_.size() < kSignificant) {
      significant_.push_back(static_cast<char>(c));
    } else if (c != '0') {
      sticky_ = true;
    }
  }

  // The value is 0.SIGNIFICANT x 10^E with E = integer digits - leading zeros + exponent;
  // the digits beyond the first 800 significant ones only need to say whether any is nonzero.
  bool finite() const {
    if (significant_.empty()) return true;
    const auto clamp = [](std::uint64_t v) { return static_cast<std::int64_t>(std::min(v, kClamp)); };
    std::int64_t e = clamp(int_digits_) - clamp(leading_zeros_);
    e += exp_sign_ == '-' ? -clamp(exp_value_) : clamp(exp_value_);
    if (e > 400) return false;
    if (e < -400) return true;
    const std::string text = "0." + significant_ + (sticky_ ? "1" : "") + "e" + std::to_string(e);
    double value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) return e <= 0;
    return std::isfinite(value);
  }

  State state_ = State::Start;
  bool minus_ = false, dot_ = false, sticky_ = false;
  char int_first_ = 0, exp_char_ = 0, exp_sign_ = 0;
  std::uint64_t int_digits_ = 0, frac_digits_ = 0, exp_digits_ = 0, exp_value_ = 0;
  std::uint64_t leading_zeros_ = 0;
  std::string significant_;
};

// The filter between the member and nlohmann (see the top of this file). It reads the member
// in chunks and hands the parser one byte at a time, each with its line and column.
class JsonFeed {
 public:
  explicit JsonFeed(ByteSource& source) : source_(source), in_(kInputChunk) {}

  // The parser's side.
  bool at_end() {
    if (out_pos_ == out_.size()) refill();
    return out_pos_ == out_.size();
  }
  char front() const { return out_[out_pos_].c; }
  void pop() {
    before_last_ = last_;
    last_ = out_[out_pos_].pos;
    ++out_pos_;
    ++pulled_;
  }

  // Where the parser stands after `consumed` bytes (its own count, in which the end of input
  // counts as one more byte and a byte put back counts off).
  Pos position_after(std::uint64_t consumed) const {
    if (consumed > pulled_) return here_;  // at the end of input
    if (consumed + 1 == pulled_ && pulled_ >= 2) return before_last_;
    return last_;
  }
  Pos last_pulled() const { return last_; }

 private:
  struct Out {
    char c;
    Pos pos;
  };
  // What the bytes since the last value tell about the next string: whether it may be the
  // value of a "tag" key.
  enum class Recent { Other, TagKey, TagColon };

  // The k-th unread input byte, or -1 past the end. A failing source ends the input; the
  // member stream keeps the failure for the caller.
  int peek(std::size_t k) {
    while (in_len_ - in_pos_ <= k) {
      if (eof_) return -1;
      if (in_pos_ > 0) {
        std::copy(in_.begin() + static_cast<std::ptrdiff_t>(in_pos_),
                  in_.begin() + static_cast<std::ptrdiff_t>(in_len_), in_.begin());
        in_len_ -= in_pos_;
        in_pos_ = 0;
      }
      Result<std::size_t> got = source_.read(in_.data() + in_len_, in_.size() - in_len_);
      if (!got || got.value() == 0) {
        eof_ = true;
      } else {
        in_len_ += got.value();
      }
    }
    return static_cast<unsigned char>(in_[in_pos_ + k]);
  }

  // Consumes n input bytes (already peeked), passing them on or dropping them.
  void take(std::size_t n, bool pass) {
    for (std::size_t i = 0; i < n; ++i) {
      const char c = in_[in_pos_++];
      if (pass) out_.push_back(Out{c, here_});
      if (c == '\n') {
        ++here_.line;
        here_.column = 1;
      } else {
        ++here_.column;
      }
    }
  }

  void refill() {
    out_.clear();
    out_pos_ = 0;
    while (out_.size() < kBatch) {
      const int c = peek(0);
      if (c < 0) return;
      if (first_) {
        first_ = false;
        // nlohmann skips a byte-order mark, and reads any other leading 0xEF as a broken one.
        // A space in front makes it see the byte as what it is: an invalid literal.
        if (c == 0xEF) out_.push_back(Out{' ', here_});
      }
      if (in_string_) {
        string_part();
      } else if (is_space(c)) {
        const Out first{static_cast<char>(c), here_};
        skip_space();
        out_.push_back(first);
      } else if (c == '"') {
        in_string_ = true;
        protect_ = recent_ == Recent::TagColon;
        poisoned_ = false;
        content_ = 0;
        head_.clear();
        raw_length_ = 0;
        take(1, true);
      } else if (c == '-' || is_digit(c)) {
        number();
        after_value();
      } else if (c == '[' || c == '{') {
        open(c);
      } else if (expect_value_ && literal(c)) {
        after_value();
      } else {
        if (c == ']' || c == '}') {
          if (!stack_.empty()) stack_.pop_back();
          expect_value_ = false;
        } else if (c == ':') {
          expect_value_ = true;
        } else if (c == ',') {
          expect_value_ = !stack_.empty() && stack_.back() == '[';
        } else {
          expect_value_ = false;
        }
        recent_ = c == ':' && recent_ == Recent::TagKey ? Recent::TagColon : Recent::Other;
        if (c == 0) {
          // Between tokens nlohmann takes a NUL byte for the end of the input (it reads C
          // strings so), which would accept anything after it. Another control byte is what
          // the NUL is: an invalid literal, at the same place.
          out_.push_back(Out{'\x01', here_});
          take(1, false);
        } else {
          take(1, true);
        }
      }
    }
  }

  void after_value() {
    expect_value_ = false;
    recent_ = Recent::Other;
  }

  // Whether the byte after a replaced value would run on into a number.
  bool continues_number(std::size_t k) {
    const int c = peek(k);
    return c == '.' || c == 'e' || c == 'E';
  }

  // Consumes a run of white space, wherever the input's chunks end.
  void skip_space() {
    for (;;) {
      std::size_t n = 0;
      while (in_pos_ + n < in_len_ && is_space(static_cast<unsigned char>(in_[in_pos_ + n]))) ++n;
      take(n, false);
      if (in_pos_ < in_len_ || peek(0) < 0 || !is_space(peek(0))) return;
    }
  }

  // "[" or "{": an empty one where a value stands becomes 0, else it opens a level.
  void open(int c) {
    const Out bracket{static_cast<char>(c), here_};
    const bool value_place = expect_value_;
    take(1, false);
    std::optional<Out> space;
    if (peek(0) >= 0 && is_space(peek(0))) {
      space = Out{static_cast<char>(peek(0)), here_};
      skip_space();
    }
    const int close = c == '[' ? ']' : '}';
    // Level stack_.size() + 1 is the one this bracket opens; only one that parses is replaced.
    if (value_place && peek(0) == close && stack_.size() + 1 <= kMaxDepth && !continues_number(1)) {
      out_.push_back(Out{'0', here_});
      take(1, false);
      after_value();
      return;
    }
    out_.push_back(bracket);
    if (space) out_.push_back(*space);
    stack_.push_back(static_cast<char>(c));
    expect_value_ = c == '[';
    recent_ = Recent::Other;
  }

  // A whole literal where a value stands becomes 0; false when the bytes are no literal.
  bool literal(int c) {
    const std::string_view word = c == 't' ? "true" : c == 'f' ? "false" : c == 'n' ? "null" : "";
    if (word.empty()) return false;
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (peek(i) != static_cast<unsigned char>(word[i])) return false;
    }
    if (continues_number(word.size())) return false;
    take(word.size() - 1, false);
    out_.push_back(Out{'0', here_});
    take(1, false);
    return true;
  }

  static bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  // String content that stands for itself: printable ASCII other than quote and backslash.
  static bool is_plain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

  bool dropping() const { return !poisoned_ && !protect_ && content_ >= kKeepContent; }

  // A run of plain string content in bulk, else one unit.
  void string_part() {
    std::size_t m = 0;
    while (in_pos_ + m < in_len_ && is_plain(static_cast<unsigned char>(in_[in_pos_ + m]))) ++m;
    if (m == 0) return string_unit();
    for (std::size_t i = 0; i < m && head_.size() < kHead; ++i) head_.push_back(in_[in_pos_ + i]);
    if (dropping()) {
      raw_length_ += m;
      in_pos_ += m;
      here_.column += m;
      return;
    }
    const std::size_t n = poisoned_ || protect_ ? m : std::min<std::uint64_t>(m, kKeepContent - content_);
    raw_length_ += n;
    content_ += n;
    take(n, true);
  }

  // One unit of string content: a character, an escape, or the closing quote.
  void string_unit() {
    const int c = peek(0);
    if (c == '"') {
      take(1, true);
      in_string_ = false;
      expect_value_ = false;
      // A string that may read "tag" once unescaped makes the next string after a colon a
      // possible tag value.
      const bool may_be_tag =
          raw_length_ <= kHead && (head_ == "tag" || head_.find('\\') != std::string::npos);
      recent_ = may_be_tag ? Recent::TagKey : Recent::Other;
      return;
    }
    const std::size_t n = unit_length(c);
    if (n == 0) poisoned_ = true;
    const std::size_t len = n == 0 ? 1 : n;
    for (std::size_t i = 0; i < len && head_.size() < kHead; ++i) head_.push_back(static_cast<char>(peek(i)));
    raw_length_ += len;
    const bool drop = dropping();
    take(len, !drop);
    if (!drop) content_ += len;
  }

  // The length of the well-formed unit starting with c, or 0 when nlohmann would reject it.
  std::size_t unit_length(int c) {
    if (c < 0x20) return 0;
    if (c == '\\') {
      const int e = peek(1);
      if (std::string_view("\"\\/bfnrt").find(static_cast<char>(e)) != std::string_view::npos) return 2;
      if (e != 'u') return 0;
      const long cp = code_unit(2);
      if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return 0;
      if (cp < 0xD800 || cp > 0xDBFF) return 6;
      if (peek(6) != '\\' || peek(7) != 'u') return 0;
      const long low = code_unit(8);
      return low >= 0xDC00 && low <= 0xDFFF ? 12 : 0;
    }
    if (c < 0x80) return 1;
    const text::Utf8Lead lead = text::utf8_lead(static_cast<unsigned char>(c));
    if (lead.length == 0) return 0;
    const auto len = static_cast<std::size_t>(lead.length);
    for (std::size_t i = 1; i < len; ++i) {
      const int b = peek(i);
      if (b < (i == 1 ? lead.lo : 0x80) || b > (i == 1 ? lead.hi : 0xBF)) return 0;
    }
    return len;
  }

  // Four hex digits at offset k, or -1.
  long code_unit(std::size_t k) {
    long v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const int h = hex_value(peek(k + i));
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    return v;
  }

  // A whole number token, passed on as it stands when short, else condensed.
  void number() {
    NumberShape shape;
    const Pos start = here_;
    std::string text;
    bool condense = false;
    for (;;) {
      if (peek(0) < 0) break;  // also refills the input
      std::size_t i = in_pos_;
      for (;;) {
        std::size_t n = shape.accept_run(in_.data() + i, in_len_ - i);
        if (n == 0 && (i == in_len_ || !shape.accept(static_cast<unsigned char>(in_[i])))) break;
        n = std::max<std::size_t>(n, 1);
        const std::size_t kept = std::min(n, kNumberLimit - text.size());
        text.append(in_.data() + i, kept);
        condense = condense || kept < n;
        i += n;
      }
      here_.column += i - in_pos_;
      const bool stopped = i < in_len_;
      in_pos_ = i;
      if (stopped) break;
    }
    // A number never spans lines, so each byte's column follows from its offset.
    auto at = [&](std::uint64_t offset) { return Pos{start.line, start.column + offset}; };
    if (!condense) {
      for (std::size_t i = 0; i < text.size(); ++i) out_.push_back(Out{text[i], at(i)});
      return;
    }
    shape.condensed([&](char c, std::uint64_t offset) { out_.push_back(Out{c, at(offset)}); });
  }

  static constexpr std::size_t kHead = 32;
  static constexpr std::size_t kBatch = 4096;  // bytes queued for the parser per refill

  ByteSource& source_;
  std::vector<char> in_;
  std::size_t in_pos_ = 0, in_len_ = 0;
  bool eof_ = false;
  Pos here_;  // position of the next input byte

  std::vector<Out> out_;
  std::size_t out_pos_ = 0;
  std::uint64_t pulled_ = 0;
  Pos last_, before_last_;

  bool first_ = true;
  Recent recent_ = Recent::Other;
  bool expect_value_ = true;  // a value must stand next, if the text is well-formed so far
  std::string stack_;         // the open brackets, innermost last
  bool in_string_ = false, protect_ = false, poisoned_ = false;
  std::uint64_t content_ = 0, raw_length_ = 0;
  std::string head_;  // the first raw bytes of the current string
};

// An input iterator over the feed, the form in which nlohmann takes a custom input.
class FeedIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  FeedIterator() = default;
  explicit FeedIterator(JsonFeed* feed) : feed_(feed) {}
  char operator*() const { return feed_->front(); }
  FeedIterator& operator++() {
    feed_->pop();
    return *this;
  }
  FeedIterator operator++(int) {
    FeedIterator old = *this;
    feed_->pop();
    return old;
  }
  // Only comparison with the end iterator is meaningful.
  friend bool operator==(const FeedIterator& a, const FeedIterator& b) { return a.done() == b.done(); }
  friend bool operator!=(const FeedIterator& a, const FeedIterator& b) { return !(a == b); }

 private:
  bool done() const { return feed_ == nullptr || feed_->at_end(); }
  JsonFeed* feed_ = nullptr;
};

// The text of a parser error without the exception's tag, the position nlohmann writes in
// its own form, or the echo of the input it last read.
std::string parser_message(const nlohmann::json::exception& ex, const std::string& last_token) {
  std::string what = ex.what();
  if (what.starts_with("[json.exception.")) {
    if (const auto close = what.find("] "); close != std::string::npos) what.erase(0, close + 2);
  }
  if (what.starts_with("parse error")) {
    if (const auto colon = what.find(": "); colon != std::string::npos) what.erase(0, colon + 2);
  }
  if (what.starts_with("number overflow parsing ")) return "number overflow";
  const std::string echo = "; last read: '" + last_token + "'";
  if (const auto at = what.find(echo); at != std::string::npos) what.erase(at, echo.size());
  return what;
}

// Gathers tags from the SAX events. An object's "tag", "apiClass" and "type" are known only
// at its end (a repeated key keeps its last value), so each open object has a frame.
class TagCollector final : public nlohmann::json_sax<nlohmann::json> {
 public:
  TagCollector(JsonFeed& feed, TreeInfo& tree) : feed_(feed), tree_(tree) {}

  std::optional<TolvanexError> error;

  bool null() override { return value(nullptr); }
  bool boolean(bool) override { return value(nullptr); }
  bool number_integer(number_integer_t) override { return value(nullptr); }
  bool number_unsigned(number_unsigned_t) override { return value(nullptr); }
  bool number_float(number_float_t, const string_t&) override { return value(nullptr); }
  bool string(string_t& s) override { return value(&s); }
  bool binary(binary_t&) override { return value(nullptr); }

  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool key(string_t& k) override {
    Frame& f = frames_.back();
    f.key = k == "tag" ? Key::Tag : k == "apiClass" ? Key::ApiClass : k == "type" ? Key::Type : Key::Other;
    return true;
  }
  bool end_object() override {
    Frame& f = frames_.back();
    // "apiClass" decides when present, string or not; "type" only in its absence.
    const ClassName& cls = f.api_class.present ? f.api_class : f.type;
    if (f.tag && cls.kind) tree_.tags_of(*cls.kind).push_back(std::move(*f.tag));
    frames_.pop_back();
    return true;
  }
  bool end_array() override {
    frames_.pop_back();
    return true;
  }

  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::detail::exception& ex) override {
    const Pos at = feed_.position_after(position);
    error = TolvanexError::json_at(parser_message(ex, last_token), at.line, at.column);
    return false;
  }

 private:
  enum class Key { None, Tag, ApiClass, Type, Other };
  struct ClassName {
    bool present = false;
    std::optional<NodeKind> kind;  // set only for a string naming a kind
  };
  struct Frame {
    bool object = false;
    Key key = Key::None;
    std::optional<std::string> tag;
    ClassName api_class, type;
  };

  // A value inside the innermost frame; `s` is its text when it is a string.
  bool value(string_t* s) {
    if (frames_.empty() || !frames_.back().object) return true;
    Frame& f = frames_.back();
    switch (f.key) {
      case Key::Tag:
        if (s) f.tag = std::move(*s);
        else f.tag.reset();
        break;
      case Key::ApiClass:
      case Key::Type: {
        ClassName& cls = f.key == Key::ApiClass ? f.api_class : f.type;
        cls.present = true;
        cls.kind = s ? node_kind(*s) : std::nullopt;
        break;
      }
      default: break;
    }
    f.key = Key::None;
    return true;
  }

  bool open(bool object) {
    if (frames_.size() >= kMaxDepth) {
      const Pos at = feed_.last_pulled();  // the bracket just read
      error = TolvanexError::json_at("recursion limit exceeded", at.line, at.column);
      return false;
    }
    value(nullptr);
    frames_.push_back(Frame{object, Key::None, std::nullopt, {}, {}});
    return true;
  }

  JsonFeed& feed_;
  TreeInfo& tree_;
  std::vector<Frame> frames_;
};

}  // namespace

Status read_smodel(ByteSource& source, TreeInfo& tree) {
  JsonFeed feed(source);
  TagCollector collector(feed, tree);
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(FeedIterator(&feed), FeedIterator(), &collector,
                                   nlohmann::json::input_format_t::json, /*strict=*/true,
                                   /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& ex) {
    const Pos at = feed.last_pulled();
    return TolvanexError::json_at(parser_message(ex, std::string()), at.line, at.column);
  }
  if (collector.error) return std::move(*collector.error);
  if (!ok) return TolvanexError::json("parse stopped");
  tree.sort_tags();
  return ok_status();
}

}  // namespace tolvanex::parsers::comsol
