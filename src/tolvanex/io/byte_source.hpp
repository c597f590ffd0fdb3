// A pull source of bytes: what the XML tokenizer, the JSON member parser, the deck scanners
// and the decoders read from, whether the bytes come from a file, a range of one, memory or
// a ZIP entry.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tolvanex/error.hpp"
#include "tolvanex/io/fsio.hpp"

namespace tolvanex {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes into `buffer`; 0 means end of input. A failure is returned as
  // the error the reader reports (an Io error for files and decompressed content).
  virtual Result<std::size_t> read(char* buffer, std::size_t size) = 0;
  // Passes over up to `count` bytes and returns how many it passed: fewer only at the end of
  // input, so a caller can tell a skip that ran past the end. By default the bytes are read
  // and dropped; a source that can seek does better.
  virtual Result<std::uint64_t> skip(std::uint64_t count) {
    char scratch[16384];
    std::uint64_t done = 0;
    while (done < count) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, sizeof scratch));
      TVX_TRY_ASSIGN(const std::size_t n, read(scratch, want));
      if (n == 0) break;
      done += n;
    }
    return done;
  }
};

class FileSource final : public ByteSource {
 public:
  explicit FileSource(fsio::File& file) : file_(file) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override { return file_.read(buffer, size); }
  Result<std::uint64_t> skip(std::uint64_t count) override {
    return file_.is_regular() ? file_.skip(count) : ByteSource::skip(count);
  }

 private:
  fsio::File& file_;
};

// The bytes [begin, end) of a file through positioned reads, so several ranges of one file
// can be read independently. A file that turns out shorter than the range is an Io error.
class FileRangeSource final : public ByteSource {
 public:
  FileRangeSource(fsio::File& file, std::uint64_t begin, std::uint64_t end)
      : file_(file), pos_(begin), end_(end) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - pos_));
    if (n == 0) return std::size_t{0};
    TVX_TRY_ASSIGN(const std::size_t got, file_.read_at(buffer, n, pos_));
    if (got != n) return TolvanexError::io("unexpected end of file");
    pos_ += n;
    return n;
  }
  // The file's interrupt, for a decoder that makes much of few bytes read.
  Status poll() { return file_.poll(); }

 private:
  fsio::File& file_;
  std::uint64_t pos_;
  std::uint64_t end_;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view text) : text_(text) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min(size, text_.size() - pos_);
    if (n) std::memcpy(buffer, text_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace tolvanex
