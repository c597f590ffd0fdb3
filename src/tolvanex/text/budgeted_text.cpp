#include "tolvanex/text/budgeted_text.hpp"

#include <algorithm>

#include "tolvanex/text/white_space.hpp"

namespace tolvanex::text {

void BudgetedText::begin(std::uint64_t limit, std::uint64_t measured) {
  limit_ = limit;
  bound_ = std::max(limit, measured);
  decoder_ = LossyDecoder();
  kept_.clear();
  space_.clear();
  size_ = 0;
  started_ = false;
  held_ = true;
  done_ = false;
}

void BudgetedText::piece(std::string_view bytes) {
  // In slices, so that a text far past the bound costs no more than the bound.
  constexpr std::size_t kSlice = 4096;
  while (!done_ && !bytes.empty()) {
    decoded_.clear();
    decoder_.feed(bytes.substr(0, kSlice), decoded_);
    bytes.remove_prefix(std::min(kSlice, bytes.size()));
    take(decoded_);
  }
}

bool BudgetedText::finish() {
  if (!done_) {
    decoded_.clear();
    decoder_.finish(decoded_);
    take(decoded_);
  }
  return held_;
}

void BudgetedText::take(std::string_view s) {
  for (std::size_t i = 0, len = 0; i < s.size() && !done_; i += len) {
    const auto b = static_cast<unsigned char>(s[i]);
    bool white;
    if (b < 0x80) {  // ASCII: a whole run of characters that are not white space at once
      len = 1;
      white = is_white_space(b);
      while (!white && i + len < s.size() && static_cast<unsigned char>(s[i + len]) < 0x80 &&
             !is_white_space(static_cast<unsigned char>(s[i + len])))
        ++len;
    } else {
      white = is_white_space(decode_at(s, i, len));
    }
    if (white) {
      if (!started_) continue;
      // Held only while the text could still fit.
      if (space_.empty()) space_.set_cap(held_ && size_ <= limit_ ? limit_ - size_ : 0);
      space_.add(s.substr(i, len));
      continue;
    }
    started_ = true;
    size_ += space_.size() + len;
    if (held_ && size_ <= limit_) {
      space_.release([&](const char* p, std::size_t n) { kept_.append(p, n); });
      kept_.append(s.substr(i, len));
      continue;
    }
    space_.clear();
    if (held_) {
      held_ = false;
      std::string().swap(kept_);
    }
    done_ = size_ > bound_;
  }
}

std::size_t trimmed_size_at_least(std::string_view head) {
  std::size_t size = head.size();
  while (size > 0 && (static_cast<unsigned char>(head[size - 1]) >= 0x80 ||
                      is_white_space(static_cast<unsigned char>(head[size - 1]))))
    --size;
  return size;
}

}  // namespace tolvanex::text
