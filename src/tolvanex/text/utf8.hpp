// UTF-8: the lead-byte table, lossy decoding (each maximal ill-formed subsequence becomes one
// U+FFFD) and validation, each whole or streaming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// In text already known to be well-formed: the length of the sequence that `lead` starts.
constexpr std::size_t valid_sequence_length(unsigned char lead) {
  return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}
// The code point of the well-formed sequence s[0, len).
inline char32_t decode_valid(const unsigned char* s, std::size_t len) {
  if (len == 1) return s[0];
  char32_t cp = s[0] & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (s[i] & 0x3F);
  return cp;
}

// Length of the well-formed sequence at s[i]; or 0, with `bad` set to the length of the
// maximal ill-formed subsequence there (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& bad);
// The code point at s[i] and its length in `len`; U+FFFD for a maximal ill-formed subsequence.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len);

// Index of the first byte at or after `i` that is not ASCII, or `n`; 64 bytes at a time with
// SSE2, else 32 in 64-bit words.
inline std::size_t skip_ascii(const char* p, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  while (i + 64 <= n) {
    const auto* v = reinterpret_cast<const __m128i*>(p + i);
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                     _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
    if (_mm_movemask_epi8(any) != 0) break;
    i += 64;
  }
#endif
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  while (i + 32 <= n) {
    std::uint64_t w[4];
    std::memcpy(w, p + i, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3]) & kHigh) break;
    i += 32;
  }
  while (i < n && static_cast<unsigned char>(p[i]) < 0x80) ++i;
  return i;
}

// Steps through text that comes in chunks, a character at a time: the sequence that a lead
// byte announces (valid_sequence_length), whose bytes are not checked; a reader that needs
// well-formed text checks it apart. A character cut by a chunk's end is carried over (at most
// four bytes) and completed by the next chunk.
class Utf8Carry {
 public:
  // The character at chunk[pos] (or the carried one that the chunk goes on with) in `ch`,
  // borrowed from the chunk or the carry until the next call, and pos moved past its bytes in
  // the chunk; false when the chunk ends inside it.
  bool next(std::string_view chunk, std::size_t& pos, std::string_view& ch) {
    if (need_ == 0) [[likely]] {
      const std::size_t len = valid_sequence_length(static_cast<unsigned char>(chunk[pos]));
      if (len <= chunk.size() - pos) {
        ch = chunk.substr(pos, len);
        pos += len;
        return true;
      }
      need_ = len;
    }
    while (held_ < need_ && pos < chunk.size()) bytes_[held_++] = chunk[pos++];
    if (held_ < need_) return false;
    ch = std::string_view(bytes_, need_);
    held_ = need_ = 0;
    return true;
  }
  // True while a character is carried.
  bool carrying() const { return need_ != 0; }
  // The bytes of the carried character, cut short (the input ended or was broken off), and
  // forgets them.
  std::string_view take_cut() {
    const std::string_view cut(bytes_, held_);
    held_ = need_ = 0;
    return cut;
  }

 private:
  char bytes_[4] = {};
  std::size_t held_ = 0;  // bytes carried
  std::size_t need_ = 0;  // of the carried character's; 0 when none is
};

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

// U+2026, which ends a text cut to a bound.
inline constexpr std::string_view kEllipsis = "\xE2\x80\xA6";
// A text of at most `limit` bytes is copied; a longer one is cut at the last character
// boundary at or before byte `limit` (the character that straddles it is dropped whole) and
// followed by the ellipsis.
std::string cut_text(std::string_view text, std::size_t limit);

// Streaming UTF-8 validation: feed chunks in order, then finish(). A sequence may straddle
// chunks; the verdict equals that of validating the concatenation whole. Runs of ASCII pass
// 32 bytes at a time.
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

}  // namespace tolvanex::text
