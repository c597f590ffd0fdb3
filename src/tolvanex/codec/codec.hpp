// Decompression, independent of any container: a pull input over a `ByteSource` or a memory
// span, one decoder per compression method behind one interface, and the two wrapped
// deflate forms that readers need on their own: a gzip member (RFC 1952) as a `ByteSource`,
// and a zlib stream (RFC 1950) in memory inflated up to a limit.
//
// Failures of compressed content are Io errors with the fixed texts below ("io error: ...");
// a failure of the underlying source is passed on as that source reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tolvanex/error.hpp"
#include "tolvanex/io/byte_source.hpp"

namespace tolvanex::codec {

inline constexpr const char* kInvalidData = "invalid compressed data";
inline constexpr const char* kTruncatedData = "unexpected end of compressed data";
inline constexpr const char* kBadChecksum = "invalid checksum";
inline constexpr const char* kBadSize = "decompressed size does not match declared size";
inline constexpr const char* kNoMemory = "not enough memory to decompress entry";
inline constexpr const char* kBadGzipHeader = "invalid gzip header";

inline TolvanexError invalid_data() { return TolvanexError::io(kInvalidData); }
inline TolvanexError truncated_data() { return TolvanexError::io(kTruncatedData); }
inline TolvanexError no_memory() { return TolvanexError::io(kNoMemory); }

// Compressed bytes as a decoder pulls them: from a `ByteSource` through a buffer of its own,
// or straight from a span that the caller keeps alive.
class Input {
 public:
  Input(ByteSource& source, std::size_t buffer_size);
  explicit Input(std::span<const unsigned char> bytes);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // The bytes available now, refilled when none are left; empty only at the end of input.
  Result<std::span<const unsigned char>> peek();
  void consume(std::size_t n) { head_ += n; }
  // Exactly `n` contiguous bytes, consumed, or nullptr when the input ends first.
  Result<const unsigned char*> take(std::size_t n);

 private:
  Status fill(std::size_t want);

  ByteSource* source_ = nullptr;  // null over a span
  std::size_t chunk_ = 0;
  std::vector<unsigned char> buf_;
  const unsigned char* data_ = nullptr;  // the span, or buf_
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  bool source_ended_ = false;
};

// One compressed stream. Pulls its input from an `Input` that outlives it.
class Decoder {
 public:
  virtual ~Decoder() = default;
  // Writes up to `cap` (> 0) decompressed bytes to `out` and returns their number. Sets
  // `ended` once the compressed stream is complete. Returning 0 without `ended` means
  // progress was made on the input only; the caller calls again. After a failure the
  // decoder must not be called again.
  virtual Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) = 0;
};

enum class Method {
  Stored,
  Deflate,    // raw deflate, 32 KiB window
  Deflate64,  // deflate with a 64 KiB window, long lengths and two more distance codes
  Bzip2,
  Lzma,       // 4-byte SDK version and properties size, 5 properties bytes, raw LZMA1 data
  Xz,         // one or more .xz streams
  Zstd,       // one or more Zstandard frames, skippable frames included
  Ppmd,       // PPMd variant I revision 1 with its 2-byte parameters, as ZIP stores it
};

// The decoder of `method` over `input`. `expected_size` is the output size that the
// container declares: LZMA and XZ never allocate a dictionary beyond what an output of that
// size can use, and PPMd, which has no end of its own, stops there. Nothing is read or
// allocated until the first `decode`.
std::unique_ptr<Decoder> make_decoder(Method method, Input& input, std::uint64_t expected_size);

// The first member of a gzip file (RFC 1952) as a pull source of its decompressed bytes.
//
// The compressed bytes are read from `compressed` through a 32 KiB buffer, lazily: nothing is
// read before the first `read`, and a reader that stops early never reaches the trailer.
//   - The header, with its optional fields (extra, name, comment, header CRC-16), is parsed
//     by the first `read` before any byte is returned; a bad one fails that read with "io
//     error: invalid gzip header", one cut short with "io error: unexpected end of
//     compressed data".
//   - Only the first member is decoded: `read` returns 0 once its trailer has been checked,
//     and what follows the member is never interpreted.
//   - Reaching the trailer checks its CRC-32 ("io error: invalid checksum") and length
//     ("io error: decompressed size does not match declared size").
//   - Corrupt deflate data fails with "io error: invalid compressed data", data cut short
//     with "io error: unexpected end of compressed data"; a failure of `compressed` itself
//     is returned as it is. Every later `read` repeats the first failure.
class GzipMemberSource final : public ByteSource {
 public:
  explicit GzipMemberSource(ByteSource& compressed);
  ~GzipMemberSource() override;
  GzipMemberSource(const GzipMemberSource&) = delete;
  GzipMemberSource& operator=(const GzipMemberSource&) = delete;

  Result<std::size_t> read(char* buffer, std::size_t size) override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Inflates the zlib stream (RFC 1950) at the start of `input`, stopping once the output
// holds `limit` bytes. Input that ends before the stream does is no failure: the output so
// far is returned. A bad header, corrupt data or a wrong Adler-32 is an Io error
// (kInvalidData, kBadChecksum). Memory grows with the output only.
Result<std::string> inflate_zlib(std::span<const unsigned char> input, std::size_t limit);

}  // namespace tolvanex::codec
