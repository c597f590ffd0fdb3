#include "tolvanex/text/text.hpp"

#include <cstdint>
#include <vector>

namespace tolvanex::text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// For a lead byte of a multi-byte sequence: how many continuation bytes follow and the range
// of the first; false for a byte that cannot start a sequence.
bool lead_byte(unsigned char b0, int& need, unsigned char& lo, unsigned char& hi) {
  const Utf8Lead lead = utf8_lead(b0);
  need = lead.length - 1;
  lo = lead.lo;
  hi = lead.hi;
  return lead.length != 0;
}

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 with `bad` set to the
// length of the maximal ill-formed subsequence (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& bad) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  int need = 0;
  unsigned char lo, hi;
  if (!lead_byte(b0, need, lo, hi)) {
    bad = 1;
    return 0;
  }
  std::size_t j = i + 1;
  for (int k = 0; k < need; ++k, ++j) {
    if (j >= s.size()) {
      bad = j - i;
      return 0;
    }
    const auto b = static_cast<unsigned char>(s[j]);
    if (b < lo || b > hi) {
      bad = j - i;
      return 0;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  return static_cast<std::size_t>(need) + 1;
}

// Decodes one code point of valid UTF-8 at s[i]; sets len.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    len = 1;
    return b0;
  }
  std::size_t bad = 0;
  len = sequence_length(s, i, bad);
  if (len == 0) {
    len = bad;
    return 0xFFFD;
  }
  char32_t cp = b0 & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

char32_t decode_valid_at(std::string_view s, std::size_t i, std::size_t& len) { return decode_at(s, i, len); }

void LossyDecoder::feed(std::string_view chunk, std::string& out) {
  // First the sequence held from the last chunk: it takes bytes while they continue it, and
  // ends complete, or ill-formed at the first byte that does not (which then starts afresh).
  while (held_ != 0 && !chunk.empty()) {
    held_bytes_[held_] = chunk.front();
    Utf8Validator v;
    v.feed(std::string_view(held_bytes_, held_ + 1));
    if (!v.valid()) {
      append_lossy(out, std::string_view(held_bytes_, held_));
      held_ = 0;
      break;
    }
    ++held_;
    chunk.remove_prefix(1);
    if (v.finish()) {
      out.append(held_bytes_, held_);
      held_ = 0;
    }
  }
  if (held_ != 0) return;
  // A lead byte always starts a sequence, so the chunk may be cut before the last one when
  // the bytes from it on are a well-formed start that the next chunk may complete.
  for (std::size_t k = 1; k <= 3 && k <= chunk.size(); ++k) {
    const auto b = static_cast<unsigned char>(chunk[chunk.size() - k]);
    if (b < 0xC0) continue;
    Utf8Validator v;
    v.feed(chunk.substr(chunk.size() - k));
    if (v.valid() && !v.finish()) held_ = k;
    break;
  }
  append_lossy(out, chunk.substr(0, chunk.size() - held_));
  chunk.substr(chunk.size() - held_).copy(held_bytes_, held_);
}

void LossyDecoder::finish(std::string& out) {
  append_lossy(out, std::string_view(held_bytes_, held_));
  held_ = 0;
}

void append_lossy(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  std::size_t run = 0;  // start of the current run of bytes that need no replacement
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t len = sequence_length(bytes, i, bad);
    if (len != 0) {
      i += len;
      continue;
    }
    out.append(bytes.substr(run, i - run));
    out.append(kReplacement);
    i += bad;
    run = i;
  }
  out.append(bytes.substr(run));
}

std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_lossy(out, bytes);
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  Utf8Validator v;
  v.feed(bytes);
  return v.finish();
}

bool Utf8Validator::feed(std::string_view chunk) {
  if (!valid_) return false;
  for (const char ch : chunk) {
    const auto b = static_cast<unsigned char>(ch);
    if (need_ > 0) {
      if (b < lo_ || b > hi_) return valid_ = false;
      lo_ = 0x80;
      hi_ = 0xBF;
      --need_;
      continue;
    }
    if (b < 0x80) continue;
    if (!lead_byte(b, need_, lo_, hi_)) return valid_ = false;
  }
  return true;
}

std::string_view trim_unicode(std::string_view s) {
  // Leading side: decode forward.
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t len = 0;
    const char32_t c = decode_at(s, begin, len);
    if (!is_white_space(c)) break;
    begin += len;
  }
  // Trailing side: step back to each character start.
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4) --start;
    std::size_t len = 0;
    const char32_t c = decode_at(s, start, len);
    if (start + len != end || !is_white_space(c)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::string_view trim_xml(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && is_xml_space(s[b])) ++b;
  while (e > b && is_xml_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::optional<std::string_view> file_name_bytes(std::string_view path) {
  std::optional<std::string_view> last;
  bool last_is_leading_dot = false;
  std::size_t i = 0;
  bool first_piece = true;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    const std::string_view piece = path.substr(i, j - i);
    if (!piece.empty()) {
      if (piece != "." ) {
        last = piece;
        last_is_leading_dot = false;
      } else if (first_piece) {
        last = piece;
        last_is_leading_dot = true;
      }
    }
    first_piece = false;
    i = j + 1;
  }
  if (!last || last_is_leading_dot || *last == "..") return std::nullopt;
  return last;
}

std::optional<std::string> file_name(std::string_view path) {
  const auto name = file_name_bytes(path);
  if (!name) return std::nullopt;
  return decode_lossy(*name);
}

}  // namespace tolvanex::text
