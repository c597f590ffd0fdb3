// Each decoder on its own. The first input byte picks a method (stored, deflate, deflate64,
// bzip2, LZMA, XZ, Zstandard, PPMd), the gzip member source or bounded zlib; the next three
// are the declared size (little-endian); the rest is the compressed stream. A stream is
// decoded from memory into a large buffer and again from a source giving one byte at a time
// into a buffer of 3 bytes: the bytes, the end and the error must agree. Output past 1 MiB is
// not compared: a bomb is only cut.
#include "harness.hpp"
#include "tolvanex/codec/codec.hpp"

namespace {

using namespace tvx_fuzz;
using codec::Method;

constexpr std::size_t kCap = 1 << 20;
constexpr Method kMethods[] = {Method::Stored, Method::Deflate, Method::Deflate64, Method::Bzip2,
                               Method::Lzma,   Method::Xz,      Method::Zstd,      Method::Ppmd};

// What a decoder handed back, and how it stopped: "end", an error, or "" when cut at kCap.
struct Decoded {
  std::string bytes;
  std::string stop;
};

Decoded decode(codec::Input& input, Method method, std::uint64_t declared, std::size_t cap,
               std::size_t input_size) {
  const auto decoder = codec::make_decoder(method, input, declared);
  Decoded out;
  std::string buffer(cap, '\0');
  std::size_t idle = 0;
  while (out.bytes.size() < kCap) {
    bool ended = false;
    auto n = decoder->decode(reinterpret_cast<unsigned char*>(buffer.data()), cap, ended);
    if (!n) return out.stop = n.error().display(), out;
    expect(n.value() <= cap, "a decoder writes at most what it was given room for");
    out.bytes.append(buffer.data(), n.value());
    if (ended) return out.stop = "end", out;
    idle = n.value() ? 0 : idle + 1;
    expect(idle <= 2 * input_size + 64, "a decoder that makes no output consumes input");
  }
  out.bytes.resize(kCap);
  return out;
}

// Equal; or failing alike, where the call that fails drops what it decoded, so that one may
// have handed back more bytes before the failure than the other; or, where one was cut at
// kCap before its end showed, alike as far as both go.
bool alike(const Decoded& a, const Decoded& b) {
  const std::size_t common = std::min(a.bytes.size(), b.bytes.size());
  const bool prefix = a.bytes.compare(0, common, b.bytes, 0, common) == 0;
  if (a.stop.empty() || b.stop.empty()) return prefix;
  if (a.stop != b.stop) return false;
  return a.stop == "end" ? a.bytes == b.bytes : prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t declared = data[1] | data[2] << 8 | data[3] << 16;
  const std::string_view stream = bytes_of(data + 4, size - 4);
  const std::span<const unsigned char> bytes(data + 4, size - 4);
  const unsigned pick = data[0] % 10;
  if (pick < 8) {
    const Method method = kMethods[pick];
    codec::Input whole(bytes);
    const Decoded big = decode(whole, method, declared, 1 << 16, stream.size());
    PieceSource piecewise(stream, 1);
    codec::Input small(piecewise, 1);
    const Decoded little = decode(small, method, declared, 3, stream.size());
    // liblzma, told the size and allowed an end marker, checks what follows the last byte
    // only when it gets that input in a call of its own: fed whole, it takes such a stream
    // as ended; fed byte by byte, it finds the bytes after the data invalid.
    const bool lzma_tail = method == Method::Lzma && big.stop == "end" && big.bytes.size() == declared &&
                           little.stop == codec::invalid_data().display() && big.bytes.starts_with(little.bytes);
    // libzstd reads frames of its old formats (magic 0xFD2FB51E to 0xFD2FB527) with decoders
    // of their own, which tell a cut header from a bad one differently by how it arrives.
    const bool zstd_legacy = method == Method::Zstd && stream.size() >= 4 && stream.substr(1, 3) == "\xB5\x2F\xFD" &&
                             stream[0] >= 0x1E && stream[0] <= 0x27 && !big.stop.empty() && big.stop != "end" &&
                             !little.stop.empty() && little.stop != "end";
    expect(alike(big, little) || lzma_tail || zstd_legacy, "decoded alike in small pieces",
           big.stop + "|" + big.bytes + "\n----\n" + little.stop + "|" + little.bytes);
  } else if (pick == 8) {
    MemorySource memory(stream);
    codec::GzipMemberSource whole(memory);
    const std::string big = drain(whole, 1 << 16, kCap);
    PieceSource piecewise(stream, 1);
    codec::GzipMemberSource small(piecewise);
    expect(drain(small, 3, kCap) == big, "gzip member alike in small pieces", big);
  } else {
    // Cut at `declared` bytes, the output is a prefix of the one cut at 1 MiB; when it is
    // shorter than the cut, the stream or the input ended, so the two are equal.
    const auto cut = codec::inflate_zlib(bytes, declared);
    const auto far = codec::inflate_zlib(bytes, kCap);
    if (far) {
      expect(cut && far.value().starts_with(cut.value()), "a shorter cut gives a prefix");
      if (cut.value().size() < declared) expect(cut.value() == far.value(), "an ended stream gives all of it");
    }
    if (cut) expect(cut.value().size() <= declared, "zlib output within its limit");
  }
  return 0;
}
