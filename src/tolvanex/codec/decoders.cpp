// Decoders of the ZIP methods served by packaged libraries: stored, deflate (zlib, raw),
// bzip2 (libbz2), LZMA and XZ (liblzma) and Zstandard (libzstd). Each pulls compressed
// bytes from the entry's range and stops at its stream's own end.
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tolvanex/container/zip_internal.hpp"

namespace tolvanex::container::detail {
namespace {

class StoredDecoder final : public Decoder {
 public:
  explicit StoredDecoder(RangeReader& in) : in_(in) {}
  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    TVX_TRY_ASSIGN(auto avail, in_.peek());
    if (avail.empty()) {
      ended = true;
      return std::size_t{0};
    }
    const std::size_t n = std::min(cap, avail.size());
    std::memcpy(out, avail.data(), n);
    in_.consume(n);
    return n;
  }

 private:
  RangeReader& in_;
};

class InflateDecoder final : public Decoder {
 public:
  explicit InflateDecoder(RangeReader& in) : in_(in) {}
  ~InflateDecoder() override {
    if (ready_) inflateEnd(&z_);
  }
  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    if (!ready_) {
      const int rc = inflateInit2(&z_, -15);  // raw deflate, 32 KiB window
      if (rc != Z_OK) return rc == Z_MEM_ERROR ? no_memory() : invalid_data();
      ready_ = true;
    }
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(std::min<std::size_t>(cap, 1u << 30));
    const uInt want = z_.avail_out;
    while (z_.avail_out > 0) {
      TVX_TRY_ASSIGN(auto avail, in_.peek());
      z_.next_in = const_cast<Bytef*>(avail.data());
      z_.avail_in = static_cast<uInt>(std::min<std::size_t>(avail.size(), 1u << 30));
      const uInt offered = z_.avail_in;
      const uInt before_out = z_.avail_out;
      const int rc = inflate(&z_, Z_NO_FLUSH);
      in_.consume(offered - z_.avail_in);
      if (rc == Z_STREAM_END) {
        ended = true;
        break;
      }
      if (rc == Z_MEM_ERROR) return no_memory();
      if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_STREAM_ERROR) return invalid_data();
      if (offered == 0 && z_.avail_out == before_out) return truncated_data();
      // Hand back what there is rather than waiting on more input.
      if (z_.avail_out != want && z_.avail_in == 0) break;
    }
    return static_cast<std::size_t>(want - z_.avail_out);
  }

 private:
  RangeReader& in_;
  z_stream z_{};
  bool ready_ = false;
};

class Bzip2Decoder final : public Decoder {
 public:
  explicit Bzip2Decoder(RangeReader& in) : in_(in) {}
  ~Bzip2Decoder() override {
    if (ready_) BZ2_bzDecompressEnd(&bz_);
  }
  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    if (!ready_) {
      const int rc = BZ2_bzDecompressInit(&bz_, 0, 0);
      if (rc != BZ_OK) return rc == BZ_MEM_ERROR ? no_memory() : invalid_data();
      ready_ = true;
    }
    bz_.next_out = reinterpret_cast<char*>(out);
    bz_.avail_out = static_cast<unsigned>(std::min<std::size_t>(cap, 1u << 30));
    const unsigned want = bz_.avail_out;
    while (bz_.avail_out > 0) {
      TVX_TRY_ASSIGN(auto avail, in_.peek());
      bz_.next_in = const_cast<char*>(reinterpret_cast<const char*>(avail.data()));
      bz_.avail_in = static_cast<unsigned>(std::min<std::size_t>(avail.size(), 1u << 30));
      const unsigned offered = bz_.avail_in;
      const unsigned before_out = bz_.avail_out;
      const int rc = BZ2_bzDecompress(&bz_);
      in_.consume(offered - bz_.avail_in);
      if (rc == BZ_STREAM_END) {
        ended = true;
        break;
      }
      if (rc == BZ_MEM_ERROR) return no_memory();
      if (rc != BZ_OK) return invalid_data();
      if (offered == 0 && bz_.avail_out == before_out) return truncated_data();
      if (bz_.avail_out != want && bz_.avail_in == 0) break;
    }
    return static_cast<std::size_t>(want - bz_.avail_out);
  }

 private:
  RangeReader& in_;
  bz_stream bz_{};
  bool ready_ = false;
};

TolvanexError lzma_error(lzma_ret rc) {
  switch (rc) {
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR: return no_memory();
    case LZMA_BUF_ERROR: return truncated_data();
    default: return invalid_data();
  }
}

// Runs an initialised lzma_stream over the input; shared by the LZMA and XZ decoders.
// LZMA_FINISH tells liblzma that no more input will come, which both decoders need to
// complete a stream (XZ concatenation, LZMA without end marker).
Result<std::size_t> run_lzma(lzma_stream& s, RangeReader& in, unsigned char* out, std::size_t cap,
                             bool& ended) {
  s.next_out = out;
  s.avail_out = cap;
  while (s.avail_out > 0) {
    TVX_TRY_ASSIGN(auto avail, in.peek());
    s.next_in = avail.data();
    s.avail_in = avail.size();
    const lzma_action action = avail.empty() ? LZMA_FINISH : LZMA_RUN;
    const std::size_t before_out = s.avail_out;
    const lzma_ret rc = lzma_code(&s, action);
    in.consume(avail.size() - s.avail_in);
    if (rc == LZMA_STREAM_END) {
      ended = true;
      break;
    }
    if (rc != LZMA_OK) return lzma_error(rc);
    if (avail.empty() && s.avail_out == before_out) return truncated_data();
    if (s.avail_out != cap && s.avail_in == 0) break;
  }
  return cap - s.avail_out;
}

// ZIP method 14: a 4-byte header (LZMA SDK version, properties size), the 5-byte LZMA
// properties, then raw LZMA1 data that may or may not end with an end marker.
class LzmaDecoder final : public Decoder {
 public:
  LzmaDecoder(RangeReader& in, std::uint64_t size) : in_(in), size_(size) {}
  ~LzmaDecoder() override { lzma_end(&s_); }
  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    if (!ready_) TVX_TRY(start());
    return run_lzma(s_, in_, out, cap, ended);
  }

 private:
  Status start() {
    TVX_TRY_ASSIGN(const unsigned char* h, in_.take(4));
    if (!h) return truncated_data();
    if ((h[2] | h[3] << 8) != 5) return invalid_data();
    TVX_TRY_ASSIGN(const unsigned char* props, in_.take(5));
    if (!props) return truncated_data();
    lzma_filter decoded{LZMA_FILTER_LZMA1, nullptr};
    const lzma_ret prc = lzma_properties_decode(&decoded, nullptr, props, 5);
    if (prc != LZMA_OK) return lzma_error(prc == LZMA_OPTIONS_ERROR ? LZMA_DATA_ERROR : prc);
    opts_ = *static_cast<lzma_options_lzma*>(decoded.options);
    std::free(decoded.options);
    // No match reaches further back than the output is long, so a dictionary larger than
    // the entry is never used; this keeps a huge declared dictionary from being allocated.
    const std::uint64_t enough = std::max<std::uint64_t>(size_, LZMA_DICT_SIZE_MIN);
    if (opts_.dict_size > enough) opts_.dict_size = static_cast<std::uint32_t>(enough);
    opts_.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    opts_.ext_size_low = static_cast<std::uint32_t>(size_);
    opts_.ext_size_high = static_cast<std::uint32_t>(size_ >> 32);
    const lzma_filter chain[2] = {{LZMA_FILTER_LZMA1EXT, &opts_}, {LZMA_VLI_UNKNOWN, nullptr}};
    const lzma_ret rc = lzma_raw_decoder(&s_, chain);
    if (rc != LZMA_OK) return lzma_error(rc == LZMA_OPTIONS_ERROR ? LZMA_DATA_ERROR : rc);
    ready_ = true;
    return ok_status();
  }

  RangeReader& in_;
  std::uint64_t size_;
  lzma_options_lzma opts_{};
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ready_ = false;
};

class XzDecoder final : public Decoder {
 public:
  explicit XzDecoder(RangeReader& in) : in_(in) {}
  ~XzDecoder() override { lzma_end(&s_); }
  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    if (!ready_) {
      const lzma_ret rc = lzma_stream_decoder(&s_, UINT64_MAX, LZMA_CONCATENATED);
      if (rc != LZMA_OK) return lzma_error(rc);
      ready_ = true;
    }
    return run_lzma(s_, in_, out, cap, ended);
  }

 private:
  RangeReader& in_;
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ready_ = false;
};

// Zstandard: one or more frames (skippable frames included) until the input ends; the
// decoder's default window limit (128 MiB) bounds its memory.
class ZstdDecoder final : public Decoder {
 public:
  explicit ZstdDecoder(RangeReader& in) : in_(in) {}
  ~ZstdDecoder() override { ZSTD_freeDStream(ds_); }
  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    if (!ds_) {
      ds_ = ZSTD_createDStream();
      if (!ds_) return no_memory();
    }
    ZSTD_outBuffer ob{out, cap, 0};
    while (ob.pos < ob.size) {
      TVX_TRY_ASSIGN(auto avail, in_.peek());
      ZSTD_inBuffer ib{avail.data(), avail.size(), 0};
      const std::size_t before_out = ob.pos;
      const std::size_t rc = ZSTD_decompressStream(ds_, &ob, &ib);
      in_.consume(ib.pos);
      if (ZSTD_isError(rc))
        return ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation ? no_memory() : invalid_data();
      if (ib.pos == 0 && ob.pos == before_out) {
        if (!avail.empty()) return invalid_data();  // cannot happen with room on both sides
        if (in_frame_) return truncated_data();
        ended = true;
        break;
      }
      in_frame_ = rc != 0;
      if (ob.pos != before_out && ib.pos == ib.size) break;
    }
    return ob.pos;
  }

 private:
  RangeReader& in_;
  ZSTD_DStream* ds_ = nullptr;
  bool in_frame_ = false;
};

}  // namespace

std::unique_ptr<Decoder> make_stored_decoder(RangeReader& in) {
  return std::make_unique<StoredDecoder>(in);
}
std::unique_ptr<Decoder> make_inflate_decoder(RangeReader& in) {
  return std::make_unique<InflateDecoder>(in);
}
std::unique_ptr<Decoder> make_bzip2_decoder(RangeReader& in) {
  return std::make_unique<Bzip2Decoder>(in);
}
std::unique_ptr<Decoder> make_lzma_decoder(RangeReader& in, std::uint64_t uncompressed_size) {
  return std::make_unique<LzmaDecoder>(in, uncompressed_size);
}
std::unique_ptr<Decoder> make_xz_decoder(RangeReader& in) { return std::make_unique<XzDecoder>(in); }
std::unique_ptr<Decoder> make_zstd_decoder(RangeReader& in) {
  return std::make_unique<ZstdDecoder>(in);
}

}  // namespace tolvanex::container::detail
