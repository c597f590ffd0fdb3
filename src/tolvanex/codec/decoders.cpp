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
  if (failure_) return *failure_;
  std::size_t produced = 0;
  while (produced < cap) {
    TVX_TRY_ASSIGN(const auto avail, in_.peek());
    auto next = step(avail, out + produced, cap - produced, avail.empty());
    if (!next) {
      if (produced == 0) return std::move(next).error();
      failure_ = std::move(next).error();
      break;
    }
    const Step s = next.value();
    in_.consume(s.consumed);
    produced += s.produced;
    if (s.failed) {
      failure_ = invalid_data();
      break;
    }
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

// A zlib-style library: its stream type, its three calls and the codes they return.
template <class Stream>
struct Library {
  int (*init)(Stream*);
  int (*run)(Stream*);
  int (*end)(Stream*);
  int ok, no_progress, stream_end, no_memory;
};

const Library<z_stream> kInflate{
    [](z_stream* s) { return inflateInit2(s, -15); },  // raw deflate, 32 KiB window
    [](z_stream* s) { return inflate(s, Z_NO_FLUSH); },
    inflateEnd, Z_OK, Z_BUF_ERROR, Z_STREAM_END, Z_MEM_ERROR};
const Library<bz_stream> kBunzip2{[](bz_stream* s) { return BZ2_bzDecompressInit(s, 0, 0); },
                                  BZ2_bzDecompress, BZ2_bzDecompressEnd,
                                  BZ_OK, BZ_OK, BZ_STREAM_END, BZ_MEM_ERROR};

template <class Stream>
class LibraryDecoder final : public StreamDecoder {
 public:
  LibraryDecoder(Input& in, const Library<Stream>& lib) : StreamDecoder(in), lib_(lib) {}
  ~LibraryDecoder() override {
    if (ready_) lib_.end(&s_);
  }

 private:
  Status start() override {
    const int rc = lib_.init(&s_);
    if (rc != lib_.ok) return rc == lib_.no_memory ? no_memory() : invalid_data();
    ready_ = true;
    return ok_status();
  }
  Result<Step> step(std::span<const unsigned char> in, unsigned char* out, std::size_t cap,
                    bool) override {
    auto [rc, done] = call_library(s_, in, out, cap, [this] { return lib_.run(&s_); });
    if (rc == lib_.no_memory) return no_memory();
    if (rc != lib_.ok && rc != lib_.no_progress && rc != lib_.stream_end) {
      // zlib reads on into the next block's header once the output is full.
      if (done.produced == 0) return invalid_data();
      done.failed = true;
      return done;
    }
    done.end = rc == lib_.stream_end;
    return done;
  }

  const Library<Stream>& lib_;
  Stream s_{};
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
    case Method::Deflate: return std::make_unique<detail::LibraryDecoder<z_stream>>(input, detail::kInflate);
    case Method::Deflate64: return detail::make_deflate64_decoder(input);
    case Method::Bzip2: return std::make_unique<detail::LibraryDecoder<bz_stream>>(input, detail::kBunzip2);
    case Method::Lzma: return detail::make_lzma_decoder(input, expected_size);
    case Method::Xz: return detail::make_xz_decoder(input, expected_size);
    case Method::Zstd: return std::make_unique<detail::ZstdDecoder>(input);
    case Method::Ppmd: return detail::make_ppmd_decoder(input, expected_size);
  }
  return nullptr;
}

}  // namespace tolvanex::codec
