#include <algorithm>
#include <cstring>

#include "tolvanex/codec/codec.hpp"

namespace tolvanex::codec {

Input::Input(ByteSource& source, std::size_t buffer_size) : source_(&source), chunk_(buffer_size) {}

Input::Input(std::span<const unsigned char> bytes) : data_(bytes.data()), tail_(bytes.size()) {}

// Keeps what is not consumed, then reads until `want` bytes are held (at least one read
// when `want` is 0) or the source ends.
Status Input::fill(std::size_t want) {
  const std::size_t have = tail_ - head_;
  if (head_ > 0) {
    std::memmove(buf_.data(), buf_.data() + head_, have);
    head_ = 0;
    tail_ = have;
  }
  if (buf_.size() < std::max(want, chunk_)) buf_.resize(std::max(want, chunk_));
  data_ = buf_.data();
  do {
    TVX_TRY_ASSIGN(const std::size_t n,
                   source_->read(reinterpret_cast<char*>(buf_.data() + tail_), buf_.size() - tail_));
    if (n == 0) source_ended_ = true;
    tail_ += n;
  } while (tail_ < want && !source_ended_);
  return ok_status();
}

Result<std::span<const unsigned char>> Input::peek() {
  if (head_ == tail_ && source_ && !source_ended_) TVX_TRY(fill(0));
  return std::span<const unsigned char>(data_ + head_, tail_ - head_);
}

Result<const unsigned char*> Input::take(std::size_t n) {
  if (tail_ - head_ < n) {
    if (source_ && !source_ended_) TVX_TRY(fill(n));
    if (tail_ - head_ < n) return static_cast<const unsigned char*>(nullptr);
  }
  const unsigned char* p = data_ + head_;
  head_ += n;
  return p;
}

}  // namespace tolvanex::codec
