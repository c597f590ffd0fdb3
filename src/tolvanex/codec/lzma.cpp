// LZMA and XZ through liblzma.
//
// Neither format lets its dictionary be used beyond the output: no match reaches further
// back than what has been written. So the dictionary that the stream declares is cut to
// what the expected output can use before the library allocates it, and a stream that
// declares gigabytes for a few bytes costs a few kilobytes. The dictionary fills as the
// output streams through it, so it is also cut to kMaxDictionary: an entry of a few hundred
// kilobytes that declares gigabytes of output would otherwise hold gigabytes while it
// inflates. A stream that nonetheless reaches further back is corrupt, longer than
// declared, or made with a larger dictionary than any preset of xz or 7-Zip uses, and fails
// as invalid data.
//
// XZ is walked block by block here (stream header, block headers, index, footer, padding)
// so that each block's filter chain can be cut before its decoder is set up; liblzma checks
// each block and validates the index against the blocks decoded.
#include <lzma.h>

#include <algorithm>
#include <cstdlib>

#include "tolvanex/codec/stream.hpp"

namespace tolvanex::codec::detail {
namespace {

TolvanexError lzma_error(lzma_ret rc) {
  switch (rc) {
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR: return no_memory();
    case LZMA_BUF_ERROR: return truncated_data();
    default: return invalid_data();
  }
}

constexpr std::uint64_t kMaxDictionary = std::uint64_t{64} << 20;  // xz -9 and 7-Zip -mx9

std::uint32_t dictionary_cap(std::uint64_t expected_size) {
  return static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(expected_size, LZMA_DICT_SIZE_MIN, kMaxDictionary));
}

// A liblzma decoder set up by `start`. LZMA_FINISH tells it that no more input will come,
// which completes an LZMA stream without end marker and makes a cut one fail.
class LzmaStream : public StreamDecoder {
 public:
  using StreamDecoder::StreamDecoder;
  ~LzmaStream() override { lzma_end(&s_); }

 protected:
  Result<Step> step(std::span<const unsigned char> in, unsigned char* out, std::size_t cap,
                    bool finish) override {
    auto [rc, done] = call_library(s_, in, out, cap, [&] { return lzma_code(&s_, finish ? LZMA_FINISH : LZMA_RUN); });
    if (rc != LZMA_OK && rc != LZMA_STREAM_END) return lzma_error(rc);
    done.end = rc == LZMA_STREAM_END;
    return done;
  }

  lzma_stream s_ = LZMA_STREAM_INIT;
};

// ZIP's LZMA: a 4-byte header (SDK version, properties size), the 5-byte LZMA properties,
// then raw LZMA1 data that may or may not end with an end marker.
class LzmaDecoder final : public LzmaStream {
 public:
  LzmaDecoder(Input& in, std::uint64_t size) : LzmaStream(in), size_(size) {}

 private:
  Status start() override {
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
    opts_.dict_size = std::min(opts_.dict_size, dictionary_cap(size_));
    opts_.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    opts_.ext_size_low = static_cast<std::uint32_t>(size_);
    opts_.ext_size_high = static_cast<std::uint32_t>(size_ >> 32);
    const lzma_filter chain[2] = {{LZMA_FILTER_LZMA1EXT, &opts_}, {LZMA_VLI_UNKNOWN, nullptr}};
    const lzma_ret rc = lzma_raw_decoder(&s_, chain);
    if (rc != LZMA_OK) return lzma_error(rc == LZMA_OPTIONS_ERROR ? LZMA_DATA_ERROR : rc);
    return ok_status();
  }

  std::uint64_t size_;
  lzma_options_lzma opts_{};
};

// The compressed data of one XZ block, its padding and its check.
class XzBlockDecoder final : public LzmaStream {
 public:
  XzBlockDecoder(Input& in, lzma_block& block) : LzmaStream(in), block_(block) {}

 private:
  Status start() override {
    const lzma_ret rc = lzma_block_decoder(&s_, &block_);
    return rc == LZMA_OK ? ok_status() : Status(lzma_error(rc));
  }
  lzma_block& block_;  // written by liblzma at the block's end
};

class XzDecoder final : public Decoder {
 public:
  XzDecoder(Input& in, std::uint64_t expected_size)
      : in_(in), dict_cap_(dictionary_cap(expected_size)) {
    filters_[0].id = LZMA_VLI_UNKNOWN;
  }
  ~XzDecoder() override {
    block_decoder_.reset();
    lzma_filters_free(filters_, nullptr);
    if (index_) lzma_index_hash_end(index_, nullptr);
  }

  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    for (;;) {
      switch (state_) {
        case State::StreamHeader: TVX_TRY(stream_header()); break;
        case State::BlockHeader: TVX_TRY(block_header()); break;
        case State::Block: {
          bool block_ended = false;
          TVX_TRY_ASSIGN(const std::size_t n, block_decoder_->decode(out, cap, block_ended));
          if (block_ended) TVX_TRY(end_block());
          if (n > 0) return n;
          break;
        }
        case State::Index: TVX_TRY(index()); break;
        case State::Footer: TVX_TRY(footer()); break;
        case State::Padding: {
          // Zero bytes in groups of four, then the input's end or another stream.
          TVX_TRY_ASSIGN(const auto avail, in_.peek());
          if (!avail.empty() && avail[0] == 0) {
            in_.consume(1);
            ++padding_;
            break;
          }
          if (padding_ % 4 != 0) return invalid_data();
          if (avail.empty()) {
            ended = true;
            return std::size_t{0};
          }
          state_ = State::StreamHeader;
          break;
        }
      }
    }
  }

 private:
  enum class State { StreamHeader, BlockHeader, Block, Index, Footer, Padding };

  Status stream_header() {
    TVX_TRY_ASSIGN(const unsigned char* h, in_.take(LZMA_STREAM_HEADER_SIZE));
    if (!h) return truncated_data();
    const lzma_ret rc = lzma_stream_header_decode(&flags_, h);
    if (rc != LZMA_OK) return lzma_error(rc);
    index_ = lzma_index_hash_init(index_, nullptr);
    if (!index_) return no_memory();
    state_ = State::BlockHeader;
    return ok_status();
  }

  // A block header, or the index indicator (a zero byte, read with the index).
  Status block_header() {
    TVX_TRY_ASSIGN(const auto avail, in_.peek());
    if (avail.empty()) return truncated_data();
    if (avail[0] == 0) {
      state_ = State::Index;
      return ok_status();
    }
    block_ = lzma_block{};
    block_.version = 1;
    block_.check = flags_.check;
    block_.filters = filters_;
    block_.header_size = lzma_block_header_size_decode(avail[0]);
    TVX_TRY_ASSIGN(const unsigned char* h, in_.take(block_.header_size));
    if (!h) return truncated_data();
    const lzma_ret rc = lzma_block_header_decode(&block_, nullptr, h);
    if (rc != LZMA_OK) {
      filters_[0].id = LZMA_VLI_UNKNOWN;  // the library has freed what it decoded
      return lzma_error(rc);
    }
    for (lzma_filter* f = filters_; f->id != LZMA_VLI_UNKNOWN; ++f) {
      if (f->id == LZMA_FILTER_LZMA2 || f->id == LZMA_FILTER_LZMA1) {
        auto* opts = static_cast<lzma_options_lzma*>(f->options);
        opts->dict_size = std::min(opts->dict_size, dict_cap_);
      }
    }
    block_decoder_ = std::make_unique<XzBlockDecoder>(in_, block_);
    state_ = State::Block;
    return ok_status();
  }

  Status end_block() {
    block_decoder_.reset();
    lzma_filters_free(filters_, nullptr);
    const lzma_ret rc = lzma_index_hash_append(index_, lzma_block_unpadded_size(&block_),
                                               block_.uncompressed_size);
    if (rc != LZMA_OK) return lzma_error(rc);
    state_ = State::BlockHeader;
    return ok_status();
  }

  Status index() {
    for (;;) {
      TVX_TRY_ASSIGN(const auto avail, in_.peek());
      if (avail.empty()) return truncated_data();
      std::size_t pos = 0;
      const lzma_ret rc = lzma_index_hash_decode(index_, avail.data(), &pos, avail.size());
      in_.consume(pos);
      if (rc == LZMA_STREAM_END) break;
      if (rc != LZMA_OK) return lzma_error(rc);
    }
    state_ = State::Footer;
    return ok_status();
  }

  Status footer() {
    TVX_TRY_ASSIGN(const unsigned char* h, in_.take(LZMA_STREAM_HEADER_SIZE));
    if (!h) return truncated_data();
    lzma_stream_flags footer;
    const lzma_ret rc = lzma_stream_footer_decode(&footer, h);
    if (rc != LZMA_OK) return lzma_error(rc);
    if (lzma_stream_flags_compare(&flags_, &footer) != LZMA_OK ||
        footer.backward_size != lzma_index_hash_size(index_))
      return invalid_data();
    state_ = State::Padding;
    padding_ = 0;
    return ok_status();
  }

  Input& in_;
  std::uint32_t dict_cap_;
  State state_ = State::StreamHeader;
  lzma_stream_flags flags_{};
  lzma_index_hash* index_ = nullptr;
  lzma_filter filters_[LZMA_FILTERS_MAX + 1];
  lzma_block block_{};
  std::unique_ptr<XzBlockDecoder> block_decoder_;
  std::uint64_t padding_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> make_lzma_decoder(Input& in, std::uint64_t expected_size) {
  return std::make_unique<LzmaDecoder>(in, expected_size);
}
std::unique_ptr<Decoder> make_xz_decoder(Input& in, std::uint64_t expected_size) {
  return std::make_unique<XzDecoder>(in, expected_size);
}

}  // namespace tolvanex::codec::detail
