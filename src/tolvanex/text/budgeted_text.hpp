// Texts taken in pieces as a scanner streams them, and held only while they can still fit a
// byte budget: a text far over the budget costs no more memory than the budget.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tolvanex/text/text_sink.hpp"
#include "tolvanex/text/trailing_space.hpp"
#include "tolvanex/text/utf8.hpp"

namespace tolvanex::text {

// A text decoded (invalid UTF-8 replaced), trimmed of Unicode white space and held only while
// it can still fit in `limit` bytes. White space after the last other character is held apart
// (and only while it could still fit): it counts only if more characters follow. The trimmed
// size is measured as the text streams by, exactly as far as the caller asks, so that a
// reader can also tell, say, whether a prefix ending in a blank stands in a text too long to
// keep.
class BudgetedText final : public TextSink {
 public:
  // Starts a text: held while its trimmed form is at most `limit` bytes, measured exactly up
  // to the larger of `limit` and `measured` bytes.
  void begin(std::uint64_t limit, std::uint64_t measured = 0);
  void piece(std::string_view bytes) override;
  std::uint64_t room() const override { return limit_; }
  // White space the scanner did not hold: past the limit, so it only counts.
  void unheld_space(std::uint64_t bytes) override {
    if (started_ && !done_) space_.add_unheld(bytes);
  }
  // Ends the text: true when its trimmed form is at most `limit` bytes, which `kept()` then is.
  bool finish();
  std::string_view kept() const { return kept_; }
  // The trimmed size in bytes when it is at most the measured bound; else a larger number.
  std::uint64_t size() const { return size_; }

 private:
  void take(std::string_view decoded);

  std::uint64_t limit_ = 0;
  std::uint64_t bound_ = 0;  // measured exactly up to here
  LossyDecoder decoder_;
  std::string decoded_;
  std::string kept_;
  TrailingSpace space_;    // white space after the last character that is not
  std::uint64_t size_ = 0;  // up to that character
  bool started_ = false;          // a character that is not white space was seen
  bool held_ = true;              // the text so far fits the limit
  bool done_ = false;             // past the bound: nothing more to learn
};

// A lower bound of the decoded, trimmed size of any text that starts with `head`, when `head`
// starts with a character that is not white space: up to its last ASCII byte that is not
// white space (decoding never makes a text shorter). A reader that may skip texts too long
// for what remains of its budget decides on this without reading them.
std::size_t trimmed_size_at_least(std::string_view head);

}  // namespace tolvanex::text
