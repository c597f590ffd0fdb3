// Looking at bytes 64 at a time: the kernels of the text layer and what they share. A kernel
// turns a 64-byte block into masks, bit i standing for byte i; scanners then find the next byte
// of interest with a bit scan instead of a test per byte. AVX-512, AVX2 or SSE2 run where the
// processor has them, chosen at run time; 64-bit words everywhere else. All kernels give the
// same masks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace tolvanex::text {

// Auto takes the widest kernel; the others pin one (for tests and benchmarks) and fall back to
// a narrower one that the processor has. Avx512 stands for AVX-512 with its byte instructions;
// only the byte classifier has such a form, the line kernels run their AVX2 one.
enum class Kernel : std::uint8_t { Auto, Avx2, Sse2, Portable, Avx512 };
// The kernel that `wanted` runs as on this processor (never Auto).
Kernel resolve_kernel(Kernel wanted);

// The portable kernels' tools: eight bytes in a 64-bit word, a flag being the high bit of its
// byte.
namespace word {
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

inline std::uint64_t load(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap64(w);  // byte i of the block at bits 8i to 8i + 7
#endif
  return w;
}
// The bytes of `w` equal to `b`.
inline std::uint64_t bytes_equal(std::uint64_t w, unsigned char b) {
  const std::uint64_t x = w ^ (kOnes * b);
  return ~(((x & ~kHigh) + ~kHigh) | x | ~kHigh);
}
// The high bits of the eight bytes, packed into the low eight bits.
inline std::uint64_t pack(std::uint64_t flags) { return ((flags >> 7) * 0x0102040810204080ULL) >> 56; }
}  // namespace word

// Up to eight classes of ASCII bytes, each given by its bytes, found all at once. The vector
// kernels look each byte up by its two nibbles: a class gets one bit for each high nibble
// among its bytes, so that no byte is taken for another; eight bits in all. The kernels give a
// mask per bit; a class's mask is the union of its bits' masks.
class ByteClasses {
 public:
  static constexpr std::size_t kMax = 8;

  constexpr ByteClasses(std::initializer_list<std::string_view> classes) {
    for (const std::string_view bytes : classes) {
      for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80) throw "only ASCII bytes";  // in a constant expression: no build
        std::size_t bit = 0;
        while (bit < bits_ && (owner_[bit] != count_ || nibble_[bit] != (b >> 4))) ++bit;
        if (bit == bits_) {
          if (bits_ == kMax) throw "more than eight nibble classes";
          owner_[bit] = count_;
          nibble_[bit] = static_cast<unsigned char>(b >> 4);
          ++bits_;
          high_[b >> 4] |= static_cast<unsigned char>(1u << bit);
        }
        low_[b & 15] |= static_cast<unsigned char>(1u << bit);
        members_[bit][sizes_[bit]++] = static_cast<char>(b);  // at most 16: one high nibble
      }
      ++count_;
    }
    for (std::size_t i = 16; i < 64; ++i) {  // each table four times over, for wide loads
      low_[i] = low_[i - 16];
      high_[i] = high_[i - 16];
    }
  }

  constexpr std::size_t size() const { return count_; }
  constexpr std::size_t bits() const { return bits_; }
  // The class that bit `k` (below bits()) belongs to, and the bytes it stands for.
  constexpr std::size_t owner(std::size_t k) const { return owner_[k]; }
  std::string_view members(std::size_t k) const { return std::string_view(members_[k], sizes_[k]); }
  // Byte b has bit k when low_nibbles()[b & 15] & high_nibbles()[b >> 4] has it; 64 entries.
  const unsigned char* low_nibbles() const { return low_; }
  const unsigned char* high_nibbles() const { return high_; }

 private:
  std::size_t count_ = 0;
  std::size_t bits_ = 0;
  std::size_t owner_[kMax] = {};
  unsigned char nibble_[kMax] = {};
  unsigned char low_[64] = {};
  unsigned char high_[64] = {};
  char members_[kMax][16] = {};
  std::size_t sizes_[kMax] = {};
};

// The masks of one block: bit i of mask k says that byte i has bit k of its classes.
using BitMasks = std::array<std::uint64_t, ByteClasses::kMax>;

// Classifies blocks with the kernel chosen once.
class ByteClassifier {
 public:
  // `classes` must outlive the classifier.
  ByteClassifier(const ByteClasses& classes, Kernel wanted);
  // Fills out[i] for the i-th of `blocks` blocks of 64 bytes from `p`, all readable.
  void classify(const char* p, std::size_t blocks, BitMasks* out) const { fn_(classes_, p, blocks, out); }
  Kernel kernel() const { return kernel_; }

 private:
  using Fn = void (*)(const ByteClasses&, const char*, std::size_t, BitMasks*);
  const ByteClasses& classes_;
  Kernel kernel_;
  Fn fn_;
};

}  // namespace tolvanex::text
