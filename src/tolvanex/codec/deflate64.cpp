// Deflate64 (ZIP method 9, "enhanced deflate"): deflate with three changes: a 64 KiB
// window, length code 285 meaning 3 plus a 16-bit extra value (so matches reach 65,538
// bytes), and distance codes 30 and 31 (bases 32,769 and 49,153 with 14 extra bits).
//
// Huffman codes are decoded canonically a bit at a time in the manner of zlib's puff: small,
// and every table and every distance is checked, so no input can reach outside the window.
// Decoded bytes go to a 128 KiB ring: 64 KiB of history plus at most 64 KiB not yet handed
// to the caller. Input is pulled as needed, so decoding suspends only on output.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "tolvanex/codec/stream.hpp"

namespace tolvanex::codec::detail {
namespace {

constexpr int kMaxBits = 15;
constexpr int kMaxLitCodes = 286;  // 287 and 288 are never valid
constexpr int kMaxDistCodes = 32;
constexpr int kFixedLitCodes = 288;

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                           15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 3};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
constexpr std::uint16_t kDistBase[32] = {
    1,    2,    3,    4,    5,    7,     9,     13,    17,    25,    33,
    49,   65,   97,   129,  193,  257,   385,   513,   769,   1025,  1537,
    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr std::uint8_t kDistExtra[32] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,  4,
                                         4, 5, 5,  6,  6,  7,  7,  8,  8,  9,  9,
                                         10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr std::size_t kHistory = std::size_t{1} << 16;
constexpr std::size_t kRing = std::size_t{1} << 17;
constexpr std::size_t kRingMask = kRing - 1;

struct Huffman {
  std::uint16_t count[kMaxBits + 1];  // codes of each length
  std::uint16_t symbol[kFixedLitCodes];  // symbols ordered by code
};

// Builds the canonical code from the lengths. Returns 0 for a complete code, a positive
// number for an incomplete one and a negative one for an over-subscribed one.
int build(Huffman& h, const std::uint8_t* lengths, int n) {
  std::memset(h.count, 0, sizeof h.count);
  for (int s = 0; s < n; ++s) h.count[lengths[s]]++;
  if (h.count[0] == n) return 0;  // no codes: any use of it fails in decode
  int left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left <<= 1;
    left -= h.count[len];
    if (left < 0) return left;
  }
  std::uint16_t offs[kMaxBits + 1];
  offs[1] = 0;
  for (int len = 1; len < kMaxBits; ++len) offs[len + 1] = offs[len] + h.count[len];
  for (int s = 0; s < n; ++s)
    if (lengths[s] != 0) h.symbol[offs[lengths[s]]++] = static_cast<std::uint16_t>(s);
  return left;
}

class Deflate64Decoder final : public Decoder {
 public:
  explicit Deflate64Decoder(Input& in) : in_(in) {}

  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    if (!ring_) ring_ = std::make_unique<unsigned char[]>(kRing);
    std::size_t n = 0;
    while (n < cap) {
      if (delivered_ < written_) {
        const std::size_t at = static_cast<std::size_t>(delivered_ & kRingMask);
        std::size_t k = static_cast<std::size_t>(written_ - delivered_);
        k = std::min({k, cap - n, kRing - at});
        std::memcpy(out + n, ring_.get() + at, k);
        n += k;
        delivered_ += k;
        continue;
      }
      if (state_ == State::Done) {
        ended = true;
        break;
      }
      if (!produce(kHistory / 2)) return std::move(*error_);
    }
    return n;
  }

 private:
  enum class State { Header, Stored, Codes, Done };

  // Decodes until `limit` bytes wait for the caller or the stream ends; false on failure
  // with error_ set.
  bool produce(std::size_t limit) {
    while (written_ - delivered_ < limit) {
      switch (state_) {
        case State::Done: return true;
        case State::Header: {
          if (last_) {
            state_ = State::Done;
            return true;
          }
          std::uint32_t v;
          if (!bits(3, v)) return false;
          last_ = v & 1;
          switch (v >> 1) {
            case 0: if (!start_stored()) return false; break;
            case 1: start_fixed(); break;
            case 2: if (!start_dynamic()) return false; break;
            default: return fail(invalid_data());
          }
          break;
        }
        case State::Stored: {
          if (stored_left_ == 0) {
            state_ = State::Header;
            break;
          }
          auto avail = in_.peek();
          if (!avail) return fail(std::move(avail).error());
          if (avail.value().empty()) return fail(truncated_data());
          std::size_t k = std::min<std::size_t>(stored_left_, avail.value().size());
          k = std::min(k, limit - static_cast<std::size_t>(written_ - delivered_));
          for (std::size_t i = 0; i < k; ++i) put(avail.value()[i]);
          in_.consume(k);
          stored_left_ -= static_cast<std::uint32_t>(k);
          break;
        }
        case State::Codes:
          if (!codes(limit)) return false;
          break;
      }
    }
    return true;
  }

  bool start_stored() {
    bitbuf_ = 0;  // the rest of the current byte is padding
    bitcnt_ = 0;
    std::uint32_t len, nlen;
    if (!bits(16, len) || !bits(16, nlen)) return false;
    if (len != (~nlen & 0xffff)) return fail(invalid_data());
    stored_left_ = len;
    state_ = State::Stored;
    return true;
  }

  void start_fixed() {
    std::uint8_t lengths[kFixedLitCodes];
    int s = 0;
    for (; s < 144; ++s) lengths[s] = 8;
    for (; s < 256; ++s) lengths[s] = 9;
    for (; s < 280; ++s) lengths[s] = 7;
    for (; s < kFixedLitCodes; ++s) lengths[s] = 8;
    build(lit_, lengths, kFixedLitCodes);
    for (s = 0; s < kMaxDistCodes; ++s) lengths[s] = 5;
    build(dist_, lengths, kMaxDistCodes);
    state_ = State::Codes;
  }

  bool start_dynamic() {
    std::uint32_t hlit, hdist, hclen;
    if (!bits(5, hlit) || !bits(5, hdist) || !bits(4, hclen)) return false;
    const int nlen = static_cast<int>(hlit) + 257;
    const int ndist = static_cast<int>(hdist) + 1;  // at most 32: all valid here
    const int ncode = static_cast<int>(hclen) + 4;
    if (nlen > kMaxLitCodes) return fail(invalid_data());

    std::uint8_t lengths[kMaxLitCodes + kMaxDistCodes] = {};
    for (int i = 0; i < ncode; ++i) {
      std::uint32_t v;
      if (!bits(3, v)) return false;
      lengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(v);
    }
    Huffman lencode;
    if (build(lencode, lengths, 19) != 0) return fail(invalid_data());  // must be complete

    int index = 0;
    while (index < nlen + ndist) {
      int sym;
      if (!decode_symbol(lencode, sym)) return false;
      if (sym < 16) {
        lengths[index++] = static_cast<std::uint8_t>(sym);
        continue;
      }
      std::uint8_t len = 0;
      std::uint32_t rep;
      if (sym == 16) {
        if (index == 0) return fail(invalid_data());
        len = lengths[index - 1];
        if (!bits(2, rep)) return false;
        rep += 3;
      } else if (sym == 17) {
        if (!bits(3, rep)) return false;
        rep += 3;
      } else {
        if (!bits(7, rep)) return false;
        rep += 11;
      }
      if (index + static_cast<int>(rep) > nlen + ndist) return fail(invalid_data());
      while (rep--) lengths[index++] = len;
    }
    if (lengths[256] == 0) return fail(invalid_data());  // no end-of-block code

    // An incomplete code is allowed only when it is a single code of one bit.
    int err = build(lit_, lengths, nlen);
    if (err < 0 || (err > 0 && nlen != lit_.count[0] + lit_.count[1])) return fail(invalid_data());
    err = build(dist_, lengths + nlen, ndist);
    if (err < 0 || (err > 0 && ndist != dist_.count[0] + dist_.count[1]))
      return fail(invalid_data());
    state_ = State::Codes;
    return true;
  }

  bool codes(std::size_t limit) {
    while (written_ - delivered_ < limit) {
      if (match_left_ > 0) {
        std::size_t k = std::min<std::size_t>(match_left_, limit - (written_ - delivered_));
        match_left_ -= static_cast<std::uint32_t>(k);
        while (k--) put(ring_[(written_ - match_dist_) & kRingMask]);
        continue;
      }
      int sym;
      if (!decode_symbol(lit_, sym)) return false;
      if (sym < 256) {
        put(static_cast<unsigned char>(sym));
        continue;
      }
      if (sym == 256) {
        state_ = State::Header;
        return true;
      }
      sym -= 257;
      if (sym >= 29) return fail(invalid_data());
      std::uint32_t extra;
      if (!bits(kLengthExtra[sym], extra)) return false;
      const std::uint32_t length = kLengthBase[sym] + extra;
      int dsym;
      if (!decode_symbol(dist_, dsym)) return false;
      if (!bits(kDistExtra[dsym], extra)) return false;
      const std::uint32_t distance = kDistBase[dsym] + extra;
      if (distance > written_) return fail(invalid_data());  // before the start of output
      match_left_ = length;
      match_dist_ = distance;
    }
    return true;
  }

  void put(unsigned char c) { ring_[written_++ & kRingMask] = c; }

  bool fail(TolvanexError e) {
    error_ = std::move(e);
    return false;
  }

  // Makes at least `n` bits available; false at the end of input or on a read failure.
  bool need(unsigned n) {
    while (bitcnt_ < n) {
      auto avail = in_.peek();
      if (!avail) return fail(std::move(avail).error());
      if (avail.value().empty()) return fail(truncated_data());
      bitbuf_ |= static_cast<std::uint64_t>(avail.value()[0]) << bitcnt_;
      in_.consume(1);
      bitcnt_ += 8;
    }
    return true;
  }

  bool bits(unsigned n, std::uint32_t& v) {
    if (n == 0) {
      v = 0;
      return true;
    }
    if (!need(n)) return false;
    v = static_cast<std::uint32_t>(bitbuf_ & ((std::uint64_t{1} << n) - 1));
    bitbuf_ >>= n;
    bitcnt_ -= n;
    return true;
  }

  // Codes are stored most significant bit first, so they are read a bit at a time.
  bool decode_symbol(const Huffman& h, int& sym) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
      if (!need(1)) return false;
      code |= static_cast<int>(bitbuf_ & 1);
      bitbuf_ >>= 1;
      --bitcnt_;
      const int count = h.count[len];
      if (code - count < first) {
        sym = h.symbol[index + (code - first)];
        return true;
      }
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
    return fail(invalid_data());  // no code of any length matches
  }

  Input& in_;
  std::unique_ptr<unsigned char[]> ring_;
  std::uint64_t written_ = 0;
  std::uint64_t delivered_ = 0;
  std::uint64_t bitbuf_ = 0;
  unsigned bitcnt_ = 0;
  State state_ = State::Header;
  bool last_ = false;
  std::uint32_t stored_left_ = 0;
  std::uint32_t match_left_ = 0;
  std::uint32_t match_dist_ = 0;
  Huffman lit_{};
  Huffman dist_{};
  std::optional<TolvanexError> error_;
};

}  // namespace

std::unique_ptr<Decoder> make_deflate64_decoder(Input& in) {
  return std::make_unique<Deflate64Decoder>(in);
}

}  // namespace tolvanex::codec::detail
