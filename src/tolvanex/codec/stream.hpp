// Internals of the codec layer: the one loop that drives a streaming library's "feed
// input, fill output" call, and the makers of the decoders that live in their own files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>

#include "tolvanex/codec/codec.hpp"

namespace tolvanex::codec::detail {

// What one call into a library took and gave, and whether its stream ended there.
struct Step {
  std::size_t consumed = 0;
  std::size_t produced = 0;
  bool end = false;
  bool failed = false;  // the library found corrupt data past this step's output
};

// A decoder whose library is advanced one call at a time. `decode` offers the library what
// the input holds, hands back output as soon as the offered input is used up, and tells a
// stream cut short (no progress once the input has ended) from one that is stuck (no
// progress with input and room to spare). Output made before a failure goes out first and
// the failure with the next call, so a caller that stops short of corrupt data never sees it.
class StreamDecoder : public Decoder {
 public:
  explicit StreamDecoder(Input& in) : in_(in) {}
  Result<std::size_t> decode(unsigned char* out, std::size_t cap, bool& ended) final;

 protected:
  // Runs once before the first step: reads stream headers, sets the library up.
  virtual Status start() { return ok_status(); }
  // One library call with the bytes `in` holds; `finish` once the input has ended (then
  // `in` is empty).
  virtual Result<Step> step(std::span<const unsigned char> in, unsigned char* out,
                            std::size_t cap, bool finish) = 0;

  Input& in_;

 private:
  bool started_ = false;
  std::optional<TolvanexError> failure_;  // held until the output before it is taken
};

// One call of a library whose stream has next_in, avail_in, next_out and avail_out, as
// zlib's, libbz2's and liblzma's have, each with pointer and count types of its own: offers
// `in` and `out`, makes the call and returns its code with what it consumed and produced.
template <class Stream, class Call>
auto call_library(Stream& s, std::span<const unsigned char> in, unsigned char* out, std::size_t cap,
                  Call call) {
  using Count = decltype(s.avail_in);
  const auto offer = [](std::size_t n) {
    return static_cast<Count>(std::min<std::size_t>(n, std::numeric_limits<Count>::max()));
  };
  s.next_in = reinterpret_cast<decltype(s.next_in)>(const_cast<unsigned char*>(in.data()));
  s.avail_in = offer(in.size());
  s.next_out = reinterpret_cast<decltype(s.next_out)>(out);
  s.avail_out = offer(cap);
  const std::size_t offered_in = s.avail_in, offered_out = s.avail_out;
  const auto rc = call();
  return std::make_pair(rc, Step{offered_in - s.avail_in, offered_out - s.avail_out, false});
}

std::unique_ptr<Decoder> make_lzma_decoder(Input& in, std::uint64_t expected_size);
std::unique_ptr<Decoder> make_xz_decoder(Input& in, std::uint64_t expected_size);
std::unique_ptr<Decoder> make_deflate64_decoder(Input& in);
std::unique_ptr<Decoder> make_ppmd_decoder(Input& in, std::uint64_t expected_size);

}  // namespace tolvanex::codec::detail
