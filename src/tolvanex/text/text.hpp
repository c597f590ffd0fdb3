// Text helpers shared by every reader: UTF-8 decoding and validation, Unicode white-space
// trimming, ASCII case folding, and the file-name rule for paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvanex::text {

// What a byte says as the first of a UTF-8 sequence: the sequence's length (2 to 4; 0 for a
// byte that starts no multi-byte sequence) and the range allowed for the first continuation
// byte, which excludes overlongs, surrogates and code points past U+10FFFF.
struct Utf8Lead {
  int length = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
};
constexpr Utf8Lead utf8_lead(unsigned char b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b >= 0xE0 && b <= 0xEF)
    return {3, static_cast<unsigned char>(b == 0xE0 ? 0xA0 : 0x80),
            static_cast<unsigned char>(b == 0xED ? 0x9F : 0xBF)};
  if (b >= 0xF0 && b <= 0xF4)
    return {4, static_cast<unsigned char>(b == 0xF0 ? 0x90 : 0x80),
            static_cast<unsigned char>(b == 0xF4 ? 0x8F : 0xBF)};
  return {};
}

// Decodes bytes as UTF-8, each maximal ill-formed subsequence replaced by one U+FFFD.
std::string decode_lossy(std::string_view bytes);
// Appends the lossy decoding of `bytes` to `out`.
void append_lossy(std::string& out, std::string_view bytes);

// Streaming form of append_lossy: feed chunks in order, then finish(); the output equals that
// of decoding the concatenation whole. Only the bytes of a sequence cut by a chunk's end are
// held back (at most three).
class LossyDecoder {
 public:
  void feed(std::string_view chunk, std::string& out);
  void finish(std::string& out);

 private:
  char held_bytes_[4] = {};  // the start of a sequence that the next chunk may complete
  std::size_t held_ = 0;
};

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Streaming UTF-8 validation: feed chunks in order, then finish(). A sequence may straddle
// chunks; the verdict equals that of validating the concatenation whole.
class Utf8Validator {
 public:
  // Returns false once an ill-formed sequence has been seen.
  bool feed(std::string_view chunk);
  // Returns false when the input ended inside a sequence (or was already invalid).
  bool finish() const { return valid_ && need_ == 0; }
  bool valid() const { return valid_; }

 private:
  bool valid_ = true;
  int need_ = 0;          // continuation bytes still expected
  unsigned char lo_ = 0;  // bounds of the next continuation byte
  unsigned char hi_ = 0;
};

// The Unicode White_Space property.
bool is_white_space(char32_t c);
// Decodes the code point of well-formed UTF-8 that starts at s[i]; sets its length.
char32_t decode_valid_at(std::string_view s, std::size_t i, std::size_t& len);

// Removes characters with the Unicode White_Space property from both ends of valid UTF-8.
std::string_view trim_unicode(std::string_view s);
// Removes the four XML white-space bytes (space, tab, LF, CR) from both ends.
std::string_view trim_xml(std::string_view s);

// Lower-cases ASCII letters only; every other byte is kept.
std::string ascii_lower(std::string_view s);
bool ascii_iequals(std::string_view a, std::string_view b);
bool ends_with(std::string_view s, std::string_view suffix);

// The raw bytes of a path's file name: split at "/", drop empty pieces and every "." piece
// except a leading one; the last piece when it is an ordinary name (not ".." and not the
// leading "."). No name for "", "/", "..", "." and the like.
std::optional<std::string_view> file_name_bytes(std::string_view path);
// The file name decoded lossily.
std::optional<std::string> file_name(std::string_view path);

}  // namespace tolvanex::text
