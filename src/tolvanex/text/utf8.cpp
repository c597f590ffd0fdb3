#include "tolvanex/text/utf8.hpp"

namespace tolvanex::text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& bad) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  const Utf8Lead lead = utf8_lead(b0);
  if (lead.length == 0) {
    bad = 1;
    return 0;
  }
  unsigned char lo = lead.lo, hi = lead.hi;
  std::size_t j = i + 1;
  for (int k = 1; k < lead.length; ++k, ++j) {
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
  return static_cast<std::size_t>(lead.length);
}

char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
  std::size_t bad = 0;
  len = sequence_length(s, i, bad);
  if (len == 0) {
    len = bad;
    return 0xFFFD;
  }
  return decode_valid(reinterpret_cast<const unsigned char*>(s.data() + i), len);
}

void append_lossy(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  std::size_t run = 0;  // start of the current run of bytes that need no replacement
  while (i < bytes.size()) {
    i = skip_ascii(bytes.data(), i, bytes.size());
    if (i == bytes.size()) break;
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

std::string cut_text(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string out;
  out.reserve(cut + kEllipsis.size());
  out.append(text.substr(0, cut));
  out.append(kEllipsis);
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  Utf8Validator v;
  v.feed(bytes);
  return v.finish();
}

bool Utf8Validator::feed(std::string_view chunk) {
  if (!valid_) return false;
  const char* p = chunk.data();
  const std::size_t n = chunk.size();
  std::size_t i = 0;
  while (i < n) {
    if (need_ == 0 && static_cast<unsigned char>(p[i]) < 0x80) {
      i = skip_ascii(p, i, n);
      if (i == n) break;
    }
    const auto b = static_cast<unsigned char>(p[i++]);
    if (need_ > 0) {
      if (b < lo_ || b > hi_) return valid_ = false;
      lo_ = 0x80;
      hi_ = 0xBF;
      --need_;
      continue;
    }
    const Utf8Lead lead = utf8_lead(b);
    if (lead.length == 0) return valid_ = false;
    need_ = lead.length - 1;
    lo_ = lead.lo;
    hi_ = lead.hi;
  }
  return true;
}

}  // namespace tolvanex::text
