// A buffer that file reads land in, aligned to a page.
//
// A read from the page cache is a kernel copy from page-aligned source pages into the
// buffer. When the destination lies 1 to 31 bytes past the source's position within a page,
// the copy's stores and the loads that follow them match in their low 12 address bits and
// the processor holds the loads back behind the stores: the copy runs at a half to a quarter
// of its speed. A large block from malloc sits 16 bytes into its own mapping, so a plain
// std::vector buffer hits exactly that; a reader of a 1 GB file spent twice the system time
// on its reads whenever its buffer came from a fresh mapping (the first call in a process),
// and not when it came from the heap (later calls). Page-aligned buffers, read at
// page-aligned file offsets, keep the two in step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace tolvanex::fsio {

class ReadBuffer {
 public:
  static constexpr std::size_t kPageSize = 4096;

  ReadBuffer() = default;
  explicit ReadBuffer(std::size_t size)
      : data_(static_cast<char*>(::operator new[](round_up(size), std::align_val_t{kPageSize}))),
        size_(size) {}

  // Makes room for at least `size` bytes; what it held is lost when it grows.
  void reserve(std::size_t size) {
    if (size > size_) *this = ReadBuffer(size);
  }

  char* data() { return data_.get(); }
  const char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }

  // How many bytes to ask for in a read at file offset `offset`: the whole buffer, less the
  // part of a page that puts the next read on a page boundary when the buffer is a whole
  // number of pages. A reader that resumes in the middle of a file so falls back in step
  // after one read.
  std::size_t span_at(std::uint64_t offset) const {
    const auto skew = static_cast<std::size_t>(offset % kPageSize);
    if (skew == 0 || size_ % kPageSize != 0) return size_;
    return size_ - skew;
  }

 private:
  struct Free {
    void operator()(char* p) const { ::operator delete[](p, std::align_val_t{kPageSize}); }
  };
  static std::size_t round_up(std::size_t size) {
    return size == 0 ? kPageSize : (size + kPageSize - 1) / kPageSize * kPageSize;
  }

  std::unique_ptr<char[], Free> data_;
  std::size_t size_ = 0;
};

}  // namespace tolvanex::fsio
