// Internals of the ZIP layer shared by the container code and the decoders: a buffered
// sequential reader over a byte range of the archive file, the decoder interface, and the
// fixed descriptions of content failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "tolvanex/error.hpp"
#include "tolvanex/io/fsio.hpp"

namespace tolvanex::container::detail {

// Descriptions of content failures ("io error: ...").
inline constexpr const char* kInvalidData = "invalid compressed data";
inline constexpr const char* kTruncatedData = "unexpected end of compressed data";
inline constexpr const char* kBadChecksum = "invalid checksum";
inline constexpr const char* kBadSize = "decompressed size does not match declared size";
inline constexpr const char* kNoMemory = "not enough memory to decompress entry";

inline TolvanexError invalid_data() { return TolvanexError::io(kInvalidData); }
inline TolvanexError truncated_data() { return TolvanexError::io(kTruncatedData); }
inline TolvanexError no_memory() { return TolvanexError::io(kNoMemory); }

// Sequential reads over [begin, end) of a file through positioned reads, buffered. Any
// failure of the file, or a file that has become shorter than the range, is the archive's
// own I/O failure ("zip error: i/o error").
class RangeReader {
 public:
  // What a failed read of the file is reported as: reading the archive's own structure is a
  // ZIP "i/o error"; reading an entry's content is an io error with the system's text.
  enum class Failure { Archive, Content };

  RangeReader(fsio::File& file, std::uint64_t begin, std::uint64_t end,
              Failure failure = Failure::Archive)
      : file_(&file), pos_(begin), end_(end), failure_(failure) {}

  // The buffered bytes, refilled when none are left; empty only at the end of the range.
  Result<std::span<const unsigned char>> peek();
  void consume(std::size_t n) { head_ += n; }
  // Exactly `n` contiguous bytes, or nullptr when the range holds fewer.
  Result<const unsigned char*> take(std::size_t n);
  // Bytes of the range not yet consumed.
  std::uint64_t remaining() const { return (end_ - pos_) + (tail_ - head_); }

 private:
  Status fill(std::size_t want);

  fsio::File* file_;
  std::uint64_t pos_;  // file offset of the first byte not yet buffered
  std::uint64_t end_;
  Failure failure_;
  std::vector<unsigned char> buf_;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
};

// One compression method's decoder over the entry's compressed bytes.
class Decoder {
 public:
  virtual ~Decoder() = default;
  // Writes up to `cap` (> 0) decompressed bytes to `out` and returns their number. Sets
  // `ended` once the compressed stream is complete. Returning 0 without `ended` means
  // progress was made on the input only; the caller calls again.
  virtual Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) = 0;
};

struct EntryInfo {
  std::uint16_t method = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
};

std::unique_ptr<Decoder> make_stored_decoder(RangeReader& in);
std::unique_ptr<Decoder> make_inflate_decoder(RangeReader& in);
std::unique_ptr<Decoder> make_bzip2_decoder(RangeReader& in);
std::unique_ptr<Decoder> make_lzma_decoder(RangeReader& in, std::uint64_t uncompressed_size);
std::unique_ptr<Decoder> make_xz_decoder(RangeReader& in);
std::unique_ptr<Decoder> make_zstd_decoder(RangeReader& in);
std::unique_ptr<Decoder> make_deflate64_decoder(RangeReader& in);
std::unique_ptr<Decoder> make_ppmd_decoder(RangeReader& in, const EntryInfo& info);

}  // namespace tolvanex::container::detail
