// The decoders served by packaged libraries through one loop: stored, raw deflate (zlib),
// bzip2 (libbz2) and Zstandard (libzstd); LZMA and XZ are in lzma.cpp. Also the factory
// by method.
#include <bzlib.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>

#include "tolvanex/codec/stream.hpp"

namespace tolvanex::codec {
namespace detail {

Result<std::size_t> StreamDecoder::decode(unsigned char* out, std::size_t cap, bool& ended) {
  if (!started_) {
    TVX_TRY(start());
    started_ = true;
  }
  std::size_t produced = 0;
  while (produced < cap) {
    TVX_TRY_ASSIGN(const auto avail, in_.peek());
    TVX_TRY_ASSIGN(const Step s, step(avail, out + produced, cap - produced, avail.empty()));
    in_.consume(s.consumed);
    produced += s.produced;
    if (s.end) {
      ended = true;
      break;
    }
    if (s.consumed == 0 && s.produced == 0) return avail.empty() ? truncated_data() : invalid_data();
    // Hand back what there is rather than waiting on more input.
    if (produced > 0 && s.consumed == avail.size()) break;
  }
  return produced;
}

namespace {

class StoredDecoder final : public StreamDecoder {
 public:
  using StreamDecoder::StreamDecoder;

 private:
  Result<Step> step(std::span<const unsigned char> in, unsigned char* out, std::size_t cap,
                    bool finish) override {
    const std::size_t n = std::min(cap, in.size());
    if (n) std::memcpy(out, in.data(), n);
    return Step{n, n, finish};
  }
};

class InflateDecoder final : public StreamDecoder {
 public:
  using StreamDecoder::StreamDecoder;
  ~InflateDecoder() override {
    if (ready_) inflateEnd(&z_);
  }

 private:
  Status start() override {
    const int rc = inflateInit2(&z_, -15);  // raw deflate, 32 KiB window
    if (rc != Z_OK) return rc == Z_MEM_ERROR ? no_memory() : invalid_data();
    ready_ = true;
    return ok_status();
  }
  Result<Step> step(std::span<const unsigned char> in, unsigned char* out, std::size_t cap,
                    bool) override {
    z_.next_in = const_cast<Bytef*>(in.data());
    z_.avail_in = clamp32(in.size());
    z_.next_out = out;
    z_.avail_out = clamp32(cap);
    const uInt offered_in = z_.avail_in, offered_out = z_.avail_out;
    const int rc = inflate(&z_, Z_NO_FLUSH);
    if (rc == Z_MEM_ERROR) return no_memory();
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_STREAM_ERROR) return invalid_data();
    return Step{offered_in - z_.avail_in, offered_out - z_.avail_out, rc == Z_STREAM_END};
  }

  z_stream z_{};
  bool ready_ = false;
};

class Bzip2Decoder final : public StreamDecoder {
 public:
  using StreamDecoder::StreamDecoder;
  ~Bzip2Decoder() override {
    if (ready_) BZ2_bzDecompressEnd(&bz_);
  }

 private:
  Status start() override {
    const int rc = BZ2_bzDecompressInit(&bz_, 0, 0);
    if (rc != BZ_OK) return rc == BZ_MEM_ERROR ? no_memory() : invalid_data();
    ready_ = true;
    return ok_status();
  }
  Result<Step> step(std::span<const unsigned char> in, unsigned char* out, std::size_t cap,
                    bool) override {
    bz_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    bz_.avail_in = clamp32(in.size());
    bz_.next_out = reinterpret_cast<char*>(out);
    bz_.avail_out = clamp32(cap);
    const unsigned offered_in = bz_.avail_in, offered_out = bz_.avail_out;
    const int rc = BZ2_bzDecompress(&bz_);
    if (rc == BZ_MEM_ERROR) return no_memory();
    if (rc != BZ_OK && rc != BZ_STREAM_END) return invalid_data();
    return Step{offered_in - bz_.avail_in, offered_out - bz_.avail_out, rc == BZ_STREAM_END};
  }

  bz_stream bz_{};
  bool ready_ = false;
};

// One or more frames, skippable frames included, until the input ends between frames; the
// library's default window limit (128 MiB) bounds its memory.
class ZstdDecoder final : public StreamDecoder {
 public:
  using StreamDecoder::StreamDecoder;
  ~ZstdDecoder() override { ZSTD_freeDStream(ds_); }

 private:
  Status start() override {
    ds_ = ZSTD_createDStream();
    if (!ds_) return no_memory();
    return ok_status();
  }
  Result<Step> step(std::span<const unsigned char> in, unsigned char* out, std::size_t cap,
                    bool finish) override {
    ZSTD_outBuffer ob{out, cap, 0};
    ZSTD_inBuffer ib{in.data(), in.size(), 0};
    const std::size_t rc = ZSTD_decompressStream(ds_, &ob, &ib);
    if (ZSTD_isError(rc))
      return ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation ? no_memory() : invalid_data();
    // Output waiting inside the library comes out before the end is judged.
    if (ib.pos == 0 && ob.pos == 0) return Step{0, 0, finish && !in_frame_};
    in_frame_ = rc != 0;
    return Step{ib.pos, ob.pos, false};
  }

  ZSTD_DStream* ds_ = nullptr;
  bool in_frame_ = false;
};

}  // namespace
}  // namespace detail

std::unique_ptr<Decoder> make_decoder(Method method, Input& input, std::uint64_t expected_size) {
  switch (method) {
    case Method::Stored: return std::make_unique<detail::StoredDecoder>(input);
    case Method::Deflate: return std::make_unique<detail::InflateDecoder>(input);
    case Method::Deflate64: return detail::make_deflate64_decoder(input);
    case Method::Bzip2: return std::make_unique<detail::Bzip2Decoder>(input);
    case Method::Lzma: return detail::make_lzma_decoder(input, expected_size);
    case Method::Xz: return detail::make_xz_decoder(input, expected_size);
    case Method::Zstd: return std::make_unique<detail::ZstdDecoder>(input);
    case Method::Ppmd: return detail::make_ppmd_decoder(input, expected_size);
  }
  return nullptr;
}

}  // namespace tolvanex::codec
