// The receiving end of a text that a scanner hands over in pieces.
#pragma once

#include <cstdint>
#include <string_view>

namespace tolvanex::text {

// Takes the bytes of one text in pieces, in order, as a scanner reads them (the XML tokenizer,
// the line splitter).
class TextSink {
 public:
  virtual void piece(std::string_view bytes) = 0;
  // A scanner that trims white space itself may have to hold a run of it until a later byte
  // shows that the run is not at the end. Of such a run it holds no more than the sink could
  // ever keep, `room()` bytes; what it did not hold then comes as a count.
  virtual std::uint64_t room() const = 0;
  virtual void unheld_space(std::uint64_t bytes) = 0;

 protected:
  ~TextSink() = default;
};

}  // namespace tolvanex::text
