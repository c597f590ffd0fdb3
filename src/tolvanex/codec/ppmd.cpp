// PPMd variant I revision 1 (as ZIP stores it: 2 bytes of model parameters, then the range
// coded data) through libarchive's decoder for it. libarchive exposes that decoder only
// inside its ZIP reader, so the stream is handed to the streaming ZIP reader as a one-entry
// archive: a made-up local header carrying the method and the expected size, then the
// compressed bytes as they are pulled from the input.
//
// Not every writer marks the stream's end, so the decoder runs until the expected size.
// Output comes only from the stream's own bytes: once they are used up, the range decoder's
// look-ahead gets four zero bytes of padding, and a request beyond that fails as data cut
// short. Fed zeros without end, a stream can decode its most probable symbol forever, so a
// few bytes that declared gigabytes would make gigabytes of output.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "tolvanex/codec/stream.hpp"

namespace tolvanex::codec::detail {
namespace {

// The range decoder holds four bytes ahead in its code register; an encoder may flush
// fewer than that at the end.
constexpr std::size_t kPadding = 4;
constexpr unsigned char kZeros[kPadding] = {};

void put16(std::string& s, std::uint32_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8 & 0xff));
}
void put32(std::string& s, std::uint32_t v) {
  put16(s, v & 0xffff);
  put16(s, v >> 16);
}
void put64(std::string& s, std::uint64_t v) {
  put32(s, static_cast<std::uint32_t>(v));
  put32(s, static_cast<std::uint32_t>(v >> 32));
}

class PpmdDecoder final : public Decoder {
 public:
  PpmdDecoder(Input& in, std::uint64_t expected_size) : in_(in), size_(expected_size) {}
  ~PpmdDecoder() override {
    if (a_) archive_read_free(a_);
  }

  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    if (!a_) TVX_TRY(start());
    std::size_t n = 0;
    while (n < cap) {
      if (produced_ == size_) {
        ended = true;
        break;
      }
      if (block_left_ > 0) {
        const std::size_t k = static_cast<std::size_t>(
            std::min<std::uint64_t>({cap - n, block_left_, size_ - produced_}));
        std::memcpy(out + n, block_, k);
        block_ += k;
        block_left_ -= k;
        produced_ += k;
        n += k;
        continue;
      }
      if (lib_ended_) {
        ended = true;
        break;
      }
      const void* buf = nullptr;
      std::size_t size = 0;
      la_int64_t offset = 0;
      const int rc = archive_read_data_block(a_, &buf, &size, &offset);
      TVX_TRY(feed_status());
      if (rc == ARCHIVE_EOF) {
        lib_ended_ = true;
        continue;
      }
      if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return library_error();
      // A warning comes with the last block, when libarchive's own size checks disagree;
      // the container makes the same checks on what is taken.
      block_ = static_cast<const unsigned char*>(buf);
      block_left_ = size;
      if (rc == ARCHIVE_WARN) lib_ended_ = true;
    }
    return n;
  }

 private:
  Status start() {
    // A ZIP64 local header: method 98, no CRC-32 (not checked here), the expected size,
    // and a compressed size that never runs out before the input does.
    header_ = "PK\x03\x04";
    put16(header_, 63);  // version needed
    put16(header_, 0);   // flags
    put16(header_, 98);  // method
    put32(header_, 0);   // time and date
    put32(header_, 0);   // CRC-32
    put32(header_, 0xffffffffu);
    put32(header_, 0xffffffffu);
    put16(header_, 1);   // name length
    put16(header_, 20);  // extra length
    header_.push_back('x');
    put16(header_, 0x0001);
    put16(header_, 16);
    put64(header_, size_);
    put64(header_, UINT64_MAX >> 2);

    a_ = archive_read_new();
    if (!a_) return no_memory();
    if (archive_read_support_format_zip_streamable(a_) != ARCHIVE_OK) return library_error();
    archive_read_set_format_option(a_, "zip", "ignorecrc32", "1");
    if (archive_read_open(a_, this, nullptr, &PpmdDecoder::feed, nullptr) != ARCHIVE_OK) {
      TVX_TRY(feed_status());
      return library_error();
    }
    archive_entry* entry = nullptr;
    const int rc = archive_read_next_header(a_, &entry);
    TVX_TRY(feed_status());
    if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return library_error();
    return ok_status();
  }

  // What went wrong on the input side takes precedence over what libarchive makes of it.
  Status feed_status() {
    if (input_error_) return *input_error_;
    if (exhausted_) return truncated_data();
    return ok_status();
  }

  TolvanexError library_error() const {
    return a_ && archive_errno(a_) == ENOMEM ? no_memory() : invalid_data();
  }

  // libarchive's read callback: the header, the compressed bytes, the padding, then the
  // end. A block handed out stays valid until the next call, so it is consumed only then.
  static la_ssize_t feed(::archive*, void* self, const void** buffer) {
    auto& d = *static_cast<PpmdDecoder*>(self);
    if (!d.header_sent_) {
      d.header_sent_ = true;
      *buffer = d.header_.data();
      return static_cast<la_ssize_t>(d.header_.size());
    }
    d.in_.consume(d.lent_);
    d.lent_ = 0;
    auto avail = d.in_.peek();
    if (!avail) {
      d.input_error_ = std::move(avail).error();
      return ARCHIVE_FATAL;
    }
    if (!avail.value().empty()) {
      d.lent_ = avail.value().size();
      *buffer = avail.value().data();
      return static_cast<la_ssize_t>(d.lent_);
    }
    if (!d.padded_) {
      d.padded_ = true;
      *buffer = kZeros;
      return sizeof kZeros;
    }
    d.exhausted_ = true;
    return 0;
  }

  Input& in_;
  std::uint64_t size_;
  ::archive* a_ = nullptr;
  std::string header_;
  bool header_sent_ = false;
  std::size_t lent_ = 0;
  bool padded_ = false;
  bool exhausted_ = false;
  std::optional<TolvanexError> input_error_;
  const unsigned char* block_ = nullptr;
  std::size_t block_left_ = 0;
  bool lib_ended_ = false;
  std::uint64_t produced_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> make_ppmd_decoder(Input& in, std::uint64_t expected_size) {
  return std::make_unique<PpmdDecoder>(in, expected_size);
}

}  // namespace tolvanex::codec::detail
