// The two wrapped forms of deflate, both over the raw inflate decoder: a gzip member
// (RFC 1952: header, deflate data, CRC-32 and length) and a zlib stream (RFC 1950: 2-byte
// header, deflate data, Adler-32).
#include <zlib.h>

#include <algorithm>
#include <optional>

#include "tolvanex/codec/codec.hpp"

namespace tolvanex::codec {
namespace {

constexpr std::size_t kGzipBuffer = 32 * 1024;

enum GzipFlag : unsigned char {
  kHeaderCrc = 0x02,
  kExtra = 0x04,
  kName = 0x08,
  kComment = 0x10,
  kReserved = 0xe0,
};

TolvanexError bad_gzip_header() { return TolvanexError::io(kBadGzipHeader); }

std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

struct GzipMemberSource::State {
  explicit State(ByteSource& compressed) : input(compressed, kGzipBuffer) {}

  Input input;
  std::unique_ptr<Decoder> inflate;  // set once the header has been read
  std::uint32_t crc = 0;
  std::uint32_t length = 0;  // modulo 2^32, as the trailer holds it
  bool done = false;
  std::optional<TolvanexError> failure;

  // Takes `n` header bytes and adds them to the header's CRC-32.
  Result<const unsigned char*> header_bytes(std::size_t n) {
    TVX_TRY_ASSIGN(const unsigned char* p, input.take(n));
    if (!p) return truncated_data();
    crc = static_cast<std::uint32_t>(crc32_z(crc, p, n));
    return p;
  }

  Status header() {
    TVX_TRY_ASSIGN(const unsigned char* h, header_bytes(10));
    if (h[0] != 0x1f || h[1] != 0x8b || h[2] != Z_DEFLATED || (h[3] & kReserved))
      return bad_gzip_header();
    const unsigned char flags = h[3];
    if (flags & kExtra) {
      TVX_TRY_ASSIGN(const unsigned char* x, header_bytes(2));
      TVX_TRY(header_bytes(static_cast<std::size_t>(x[0] | x[1] << 8)));
    }
    for (const unsigned char text : {kName, kComment}) {
      if (!(flags & text)) continue;
      for (;;) {  // zero-terminated
        TVX_TRY_ASSIGN(const unsigned char* c, header_bytes(1));
        if (*c == 0) break;
      }
    }
    if (flags & kHeaderCrc) {
      const std::uint32_t want = crc & 0xffff;
      TVX_TRY_ASSIGN(const unsigned char* c, input.take(2));
      if (!c) return truncated_data();
      if (static_cast<std::uint32_t>(c[0] | c[1] << 8) != want) return bad_gzip_header();
    }
    crc = 0;
    inflate = make_decoder(Method::Deflate, input, 0);
    return ok_status();
  }

  Status trailer() {
    TVX_TRY_ASSIGN(const unsigned char* t, input.take(8));
    if (!t) return truncated_data();
    if (le32(t) != crc) return TolvanexError::io(kBadChecksum);
    if (le32(t + 4) != length) return TolvanexError::io(kBadSize);
    return ok_status();
  }

  Result<std::size_t> read(unsigned char* out, std::size_t size) {
    if (!inflate) TVX_TRY(header());
    for (;;) {
      bool ended = false;
      TVX_TRY_ASSIGN(const std::size_t n, inflate->decode(out, size, ended));
      crc = static_cast<std::uint32_t>(crc32_z(crc, out, n));
      length += static_cast<std::uint32_t>(n);
      if (ended) {
        TVX_TRY(trailer());
        done = true;
        inflate.reset();
        return n;
      }
      if (n > 0) return n;
    }
  }
};

GzipMemberSource::GzipMemberSource(ByteSource& compressed)
    : state_(std::make_unique<State>(compressed)) {}
GzipMemberSource::~GzipMemberSource() = default;

Result<std::size_t> GzipMemberSource::read(char* buffer, std::size_t size) {
  State& s = *state_;
  if (s.failure) return *s.failure;
  if (s.done || size == 0) return std::size_t{0};
  auto got = s.read(reinterpret_cast<unsigned char*>(buffer), size);
  if (!got) s.failure = got.error();
  return got;
}

Result<std::string> inflate_zlib(std::span<const unsigned char> bytes, std::size_t limit) {
  Input input(bytes);
  std::string out;
  TVX_TRY_ASSIGN(const unsigned char* h, input.take(2));
  if (!h) return out;
  // Deflate, a window of at most 32 KiB, no preset dictionary, the check bits right.
  if ((h[0] & 0x0f) != Z_DEFLATED || (h[0] >> 4) > 7 || (h[1] & 0x20) || (h[0] << 8 | h[1]) % 31)
    return invalid_data();
  auto inflate = make_decoder(Method::Deflate, input, 0);
  std::uint32_t adler = static_cast<std::uint32_t>(adler32_z(0, nullptr, 0));
  while (out.size() < limit) {
    const std::size_t at = out.size();
    out.resize(at + std::min<std::size_t>(limit - at, 64 * 1024));
    auto* dst = reinterpret_cast<unsigned char*>(out.data() + at);
    bool ended = false;
    auto got = inflate->decode(dst, out.size() - at, ended);
    if (!got) {
      out.resize(at);
      if (got.error() == truncated_data()) return out;
      return std::move(got).error();
    }
    out.resize(at + got.value());
    adler = static_cast<std::uint32_t>(adler32_z(adler, dst, got.value()));
    if (ended) {
      TVX_TRY_ASSIGN(const unsigned char* t, input.take(4));
      if (t && (std::uint32_t{t[0]} << 24 | std::uint32_t{t[1]} << 16 | std::uint32_t{t[2]} << 8 | t[3]) != adler)
        return TolvanexError::io(kBadChecksum);
      break;
    }
  }
  return out;
}

}  // namespace tolvanex::codec
