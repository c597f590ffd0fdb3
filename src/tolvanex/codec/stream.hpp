// Internals of the codec layer: the one loop that drives a streaming library's "feed
// input, fill output" call, and the makers of the decoders that live in their own files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "tolvanex/codec/codec.hpp"

namespace tolvanex::codec::detail {

// What one call into a library took and gave, and whether its stream ended there.
struct Step {
  std::size_t consumed = 0;
  std::size_t produced = 0;
  bool end = false;
};

// A decoder whose library is advanced one call at a time. `decode` offers the library what
// the input holds, hands back output as soon as the offered input is used up, and tells a
// stream cut short (no progress once the input has ended) from one that is stuck (no
// progress with input and room to spare).
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
};

// What a 32-bit length field of a library can take of a larger size.
inline unsigned clamp32(std::size_t n) { return n > (1u << 30) ? 1u << 30 : static_cast<unsigned>(n); }

std::unique_ptr<Decoder> make_lzma_decoder(Input& in, std::uint64_t expected_size);
std::unique_ptr<Decoder> make_xz_decoder(Input& in, std::uint64_t expected_size);
std::unique_ptr<Decoder> make_deflate64_decoder(Input& in);
std::unique_ptr<Decoder> make_ppmd_decoder(Input& in, std::uint64_t expected_size);

}  // namespace tolvanex::codec::detail
