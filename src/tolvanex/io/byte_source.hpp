// A pull source of bytes: what the XML tokenizer, the JSON member parser and the deck
// scanners read from, whether the bytes come from a file, memory or a ZIP entry.
#pragma once

#include <algorithm>
#include <cstddef>
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
};

class FileSource final : public ByteSource {
 public:
  explicit FileSource(fsio::File& file) : file_(file) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override { return file_.read(buffer, size); }

 private:
  fsio::File& file_;
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
