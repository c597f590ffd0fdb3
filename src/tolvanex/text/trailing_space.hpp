// The white space at the end of a text that streams by, whose fate is known only at the next
// other character: before more text it is part of the text, at the text's end it is trimmed
// off. Every scanner that trims streamed text holds it here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tolvanex::text {

// White space held until the owner knows what it is, and only up to a bound: past `cap` bytes
// it is only counted, so a hostile run costs no more than the cap. A long run of one repeated
// byte costs a few bytes however long it is. The owner decides which bytes are white space,
// and what a run that was not held whole means for it.
class TrailingSpace {
 public:
  explicit TrailingSpace(std::uint64_t cap = UINT64_MAX) : cap_(cap) {}

  // The bound for the bytes added from now on.
  void set_cap(std::uint64_t cap) { cap_ = cap; }
  // Adds white space: held while the held bytes stay within the cap, counted beyond.
  void add(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (held_ >= cap_) {
        unheld_ += bytes.size() - i;
        return;
      }
      ++held_;
      if (bytes[i] != run_byte_) close_run();
      run_byte_ = bytes[i];
      ++run_count_;
    }
  }
  // Adds white space that was not given, only counted.
  void add_unheld(std::uint64_t count) { unheld_ += count; }

  bool empty() const { return held_ == 0 && unheld_ == 0; }
  // The bytes added since the last release or clear, held or not.
  std::uint64_t size() const { return held_ + unheld_; }
  bool all_held() const { return unheld_ == 0; }

  // More text follows: the held bytes go to `put(const char*, std::size_t)`, in order and in
  // pieces of bounded size, and are forgotten. Returns the count of bytes that were not held,
  // which come after them.
  template <class Put>
  std::uint64_t release(Put&& put) {
    if (empty()) return 0;
    if (packed_.empty() && run_count_ <= 3 && run_byte_ != 0) {  // the common case: a blank or two
      const char few[3] = {run_byte_, run_byte_, run_byte_};
      if (run_count_ != 0) put(few, static_cast<std::size_t>(run_count_));
      run_count_ = held_ = 0;
      return std::exchange(unheld_, 0);
    }
    close_run();
    if (!packed_runs_) {
      for (std::size_t i = 0; i < packed_.size(); i += kPiece) put(packed_.data() + i, std::min(kPiece, packed_.size() - i));
    } else {
      unpack(put);
    }
    const std::uint64_t unheld = unheld_;
    clear();
    return unheld;
  }
  // The text ends: the white space was trailing, and is forgotten.
  void clear() {
    if (packed_.capacity() > kKeptCapacity) std::string().swap(packed_);
    packed_.clear();
    run_count_ = 0;
    held_ = unheld_ = 0;
    packed_runs_ = false;
  }

 private:
  static constexpr std::size_t kKeptCapacity = 64 * 1024;  // kept for the next run
  static constexpr std::size_t kPiece = 4096;               // the most given to `put` at once

  // Packed form: a run of four or more of one byte, and any run of zeros, is a 0, the byte and
  // the run's length in base 128; every other byte stands for itself.
  void close_run() {
    if (run_count_ == 0) return;
    if (run_count_ <= 3 && run_byte_ != 0) {
      packed_.append(run_count_, run_byte_);
    } else {
      packed_runs_ = true;
      packed_ += '\0';
      packed_ += run_byte_;
      std::uint64_t n = run_count_;
      for (; n >= 0x80; n >>= 7) packed_ += static_cast<char>(0x80 | (n & 0x7F));
      packed_ += static_cast<char>(n);
    }
    run_count_ = 0;
  }
  template <class Put>
  void unpack(Put& put);

  std::string packed_;
  bool packed_runs_ = false;  // packed_ holds a packed run, so it must be unpacked
  char run_byte_ = 0;
  std::uint64_t run_count_ = 0;  // of run_byte_, not yet in packed_
  std::uint64_t cap_;
  std::uint64_t held_ = 0;    // bytes held
  std::uint64_t unheld_ = 0;  // and those past the cap
};

template <class Put>
void TrailingSpace::unpack(Put& put) {
  char piece[kPiece];
  std::size_t n = 0;
  const auto emit = [&](char c, std::uint64_t count) {
    for (; count != 0; --count) {
      piece[n++] = c;
      if (n == sizeof piece) {
        put(piece, n);
        n = 0;
      }
    }
  };
  for (std::size_t i = 0; i < packed_.size();) {
    const char c = packed_[i++];
    if (c != 0) {
      emit(c, 1);
      continue;
    }
    const char b = packed_[i++];
    std::uint64_t count = 0;
    for (int shift = 0;; shift += 7) {
      const auto d = static_cast<unsigned char>(packed_[i++]);
      count |= static_cast<std::uint64_t>(d & 0x7F) << shift;
      if (!(d & 0x80)) break;
    }
    emit(b, count);
  }
  if (n != 0) put(piece, n);
}

}  // namespace tolvanex::text
