#include "tolvanex/text/blocks.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace tolvanex::text {
namespace {

void classify_portable(const ByteClasses& classes, const char* p, std::size_t blocks, BitMasks* out) {
  for (std::size_t n = 0; n < blocks; ++n, p += 64) {
    for (std::size_t k = 0; k < classes.bits(); ++k) {
      std::uint64_t mask = 0;
      for (int i = 0; i < 8; ++i) {
        const std::uint64_t w = word::load(p + 8 * i);
        std::uint64_t flags = 0;
        for (const char b : classes.members(k)) flags |= word::bytes_equal(w, static_cast<unsigned char>(b));
        mask |= word::pack(flags) << (8 * i);
      }
      out[n][k] = mask;
    }
  }
}

#if defined(__SSE2__)

void classify_sse2(const ByteClasses& classes, const char* p, std::size_t blocks, BitMasks* out) {
  for (std::size_t n = 0; n < blocks; ++n, p += 64) {
    __m128i v[4];
    for (int i = 0; i < 4; ++i) v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    for (std::size_t k = 0; k < classes.bits(); ++k) {
      std::uint64_t mask = 0;
      for (int i = 0; i < 4; ++i) {
        __m128i hit = _mm_setzero_si128();
        for (const char b : classes.members(k)) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v[i], _mm_set1_epi8(b)));
        mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(hit))} << (16 * i);
      }
      out[n][k] = mask;
    }
  }
}

// Each byte's class bits from its two nibbles (a byte from 0x80 up has a high nibble of 8 or
// more, whose table entries are empty).
[[gnu::target("avx2")]] inline __m256i class_bits(const char* p, __m256i low_table, __m256i high_table) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm256_and_si256(_mm256_shuffle_epi8(low_table, _mm256_and_si256(v, nibble)),
                          _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
}

// The 64 bytes that have bit `Bit`: the sign bit of each byte once the bit is shifted up to it
// (a 16-bit shift carries nothing into the sign bit of a byte).
template <int Bit>
[[gnu::target("avx2")]] inline std::uint64_t bit_mask(__m256i low, __m256i high) {
  const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(low, 7 - Bit)));
  const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(high, 7 - Bit)));
  return lo | std::uint64_t{hi} << 32;
}

[[gnu::target("avx2")]] void classify_avx2(const ByteClasses& classes, const char* p, std::size_t blocks,
                                           BitMasks* out) {
  const __m256i low_table = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes.low_nibbles()));
  const __m256i high_table = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes.high_nibbles()));
  for (std::size_t n = 0; n < blocks; ++n, p += 64) {
    const __m256i a = class_bits(p, low_table, high_table);
    const __m256i b = class_bits(p + 32, low_table, high_table);
    out[n] = {bit_mask<0>(a, b), bit_mask<1>(a, b), bit_mask<2>(a, b), bit_mask<3>(a, b),
              bit_mask<4>(a, b), bit_mask<5>(a, b), bit_mask<6>(a, b), bit_mask<7>(a, b)};
  }
}

// The same with 64-byte registers: a test per bit gives its mask at once.
[[gnu::target("avx512f,avx512bw")]] void classify_avx512(const ByteClasses& classes, const char* p,
                                                        std::size_t blocks, BitMasks* out) {
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const __m512i low_table = _mm512_loadu_si512(classes.low_nibbles());
  const __m512i high_table = _mm512_loadu_si512(classes.high_nibbles());
  for (std::size_t n = 0; n < blocks; ++n, p += 64) {
    const __m512i v = _mm512_loadu_si512(p);
    const __m512i bits = _mm512_and_si512(_mm512_shuffle_epi8(low_table, _mm512_and_si512(v, nibble)),
                                          _mm512_shuffle_epi8(high_table, _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble)));
    for (int k = 0; k < 8; ++k) out[n][k] = _mm512_test_epi8_mask(bits, _mm512_set1_epi8(static_cast<char>(1u << k)));
  }
}

#endif

}  // namespace

Kernel resolve_kernel(Kernel wanted) {
#if defined(__SSE2__)
  if (wanted == Kernel::Portable) return Kernel::Portable;
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  if ((wanted == Kernel::Auto || wanted == Kernel::Avx512) && avx2 && __builtin_cpu_supports("avx512f") &&
      __builtin_cpu_supports("avx512bw"))
    return Kernel::Avx512;
  if (wanted != Kernel::Sse2 && avx2) return Kernel::Avx2;
  return Kernel::Sse2;
#else
  (void)wanted;
  return Kernel::Portable;
#endif
}

ByteClassifier::ByteClassifier(const ByteClasses& classes, Kernel wanted)
    : classes_(classes), kernel_(resolve_kernel(wanted)), fn_(classify_portable) {
#if defined(__SSE2__)
  if (kernel_ == Kernel::Avx512) fn_ = classify_avx512;
  if (kernel_ == Kernel::Avx2) fn_ = classify_avx2;
  if (kernel_ == Kernel::Sse2) fn_ = classify_sse2;
#endif
}

}  // namespace tolvanex::text
