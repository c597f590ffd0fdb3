// PPMd variant I revision 1 (ZIP method 98) through libarchive's decoder for it. libarchive
// exposes that decoder only inside its ZIP reader, so the entry is handed to the streaming
// ZIP reader as a one-entry archive: a made-up local header carrying the entry's method,
// sizes and CRC-32, then the entry's compressed bytes as they are read from the file.
//
// After the compressed bytes the feed goes on with zero bytes. A stream that ends with the
// end marker stops there; one written without it would otherwise make libarchive fail on
// the last block it decodes. Only the declared number of bytes is taken, and the entry
// reader checks them against the declared CRC-32, so what follows the real data never
// reaches the caller.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "tolvanex/container/zip_internal.hpp"

namespace tolvanex::container::detail {
namespace {

constexpr unsigned char kZeros[4096] = {};

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
  PpmdDecoder(RangeReader& in, const EntryInfo& info) : in_(in), info_(info) {}
  ~PpmdDecoder() override {
    if (a_) archive_read_free(a_);
  }

  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) override {
    if (!a_) TVX_TRY(start());
    std::size_t n = 0;
    while (n < cap) {
      if (produced_ == info_.uncompressed_size) {
        ended = true;
        break;
      }
      if (block_left_ > 0) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(
            {cap - n, block_left_, info_.uncompressed_size - produced_}));
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
      if (input_error_) return *input_error_;
      if (rc == ARCHIVE_EOF) {
        lib_ended_ = true;
        continue;
      }
      if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return library_error();
      // A warning comes with the last block, when libarchive's own size checks disagree;
      // the entry reader makes the same checks on what is taken.
      block_ = static_cast<const unsigned char*>(buf);
      block_left_ = size;
      if (rc == ARCHIVE_WARN) lib_ended_ = true;
    }
    return n;
  }

 private:
  Status start() {
    header_ = "PK\x03\x04";
    put16(header_, 63);  // version needed
    put16(header_, 0);   // flags
    put16(header_, 98);  // method
    put32(header_, 0);   // time and date
    put32(header_, info_.crc32);
    const bool zip64 = info_.compressed_size >= 0xffffffffu || info_.uncompressed_size >= 0xffffffffu;
    put32(header_, zip64 ? 0xffffffffu : static_cast<std::uint32_t>(info_.compressed_size));
    put32(header_, zip64 ? 0xffffffffu : static_cast<std::uint32_t>(info_.uncompressed_size));
    put16(header_, 1);            // name length
    put16(header_, zip64 ? 20 : 0);  // extra length
    header_.push_back('x');
    if (zip64) {
      put16(header_, 0x0001);
      put16(header_, 16);
      put64(header_, info_.uncompressed_size);
      put64(header_, info_.compressed_size);
    }

    a_ = archive_read_new();
    if (!a_) return no_memory();
    if (archive_read_support_format_zip_streamable(a_) != ARCHIVE_OK) return library_error();
    // The CRC-32 is checked by the entry reader over exactly the bytes it takes.
    archive_read_set_format_option(a_, "zip", "ignorecrc32", "1");
    if (archive_read_open(a_, this, nullptr, &PpmdDecoder::feed, nullptr) != ARCHIVE_OK)
      return input_error_ ? Status(*input_error_) : Status(library_error());
    archive_entry* entry = nullptr;
    const int rc = archive_read_next_header(a_, &entry);
    if (input_error_) return *input_error_;
    if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return library_error();
    return ok_status();
  }

  TolvanexError library_error() const {
    return a_ && archive_errno(a_) == ENOMEM ? no_memory() : invalid_data();
  }

  // libarchive's read callback: the header, then the compressed bytes, then zeros. A block
  // handed out stays valid until the next call, so it is consumed only then.
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
    if (avail.value().empty()) {
      *buffer = kZeros;
      return sizeof kZeros;
    }
    d.lent_ = avail.value().size();
    *buffer = avail.value().data();
    return static_cast<la_ssize_t>(d.lent_);
  }

  RangeReader& in_;
  EntryInfo info_;
  ::archive* a_ = nullptr;
  std::string header_;
  bool header_sent_ = false;
  std::size_t lent_ = 0;
  std::optional<TolvanexError> input_error_;
  const unsigned char* block_ = nullptr;
  std::size_t block_left_ = 0;
  bool lib_ended_ = false;
  std::uint64_t produced_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> make_ppmd_decoder(RangeReader& in, const EntryInfo& info) {
  return std::make_unique<PpmdDecoder>(in, info);
}

}  // namespace tolvanex::container::detail
