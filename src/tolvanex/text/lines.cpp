#include "tolvanex/text/lines.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "tolvanex/text/utf8.hpp"
#include "tolvanex/text/white_space.hpp"

namespace tolvanex::text {
namespace {

// ---------------------------------------------------------------------------------------
// Masks of one 64-byte block: bit i stands for byte i.

using BlockMasks = LineBlocks::Masks;
using word::bytes_equal;
using word::pack;

std::uint64_t lf_mask_portable(const char* p) {
  std::uint64_t mask = 0;
  for (int k = 0; k < 8; ++k) mask |= pack(bytes_equal(word::load(p + 8 * k), '\n')) << (8 * k);
  return mask;
}

BlockMasks masks_portable(const LineStarts&, const char* p) {
  BlockMasks m;
  for (int k = 0; k < 8; ++k) {
    const std::uint64_t w = word::load(p + 8 * k);
    m.lf |= pack(bytes_equal(w, '\n')) << (8 * k);
    m.blank |= pack(bytes_equal(w, ' ') | bytes_equal(w, '\t')) << (8 * k);
  }
  return m;
}

#if defined(__SSE2__)

inline BlockMasks masks_sse2(const LineStarts&, const char* p) {
  const __m128i lf = _mm_set1_epi8('\n'), sp = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t');
  BlockMasks m;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i is_blank = _mm_or_si128(_mm_cmpeq_epi8(v, sp), _mm_cmpeq_epi8(v, tab));
    const int shift = 16 * k;
    m.lf |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))} << shift;
    m.blank |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(is_blank))} << shift;
  }
  return m;
}

inline std::uint64_t lf_mask_sse2(const char* p) {
  const __m128i lf = _mm_set1_epi8('\n');
  std::uint64_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))} << (16 * k);
  }
  return mask;
}

// With AVX2, the set's bytes too: two nibble lookups, and the sign bit for bytes from 0x80.
[[gnu::target("avx2")]] inline BlockMasks masks_avx2(const LineStarts& starts, const char* p) {
  const __m256i lf = _mm256_set1_epi8('\n'), sp = _mm256_set1_epi8(' '), tab = _mm256_set1_epi8('\t');
  const __m256i nibble = _mm256_set1_epi8(0x0F), seven_f = _mm256_set1_epi8(0x7F);
  const __m256i low_table = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(starts.low_nibbles()));
  const __m256i high_table = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(starts.high_nibbles()));
  BlockMasks m;
  for (int k = 0; k < 2; ++k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
    const __m256i is_blank = _mm256_or_si256(_mm256_cmpeq_epi8(v, sp), _mm256_cmpeq_epi8(v, tab));
    const __m256i hits = _mm256_and_si256(
        _mm256_shuffle_epi8(low_table, _mm256_and_si256(v, nibble)),
        _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
    // The sign bit of each byte: found in the tables (a table hit is one bit, which the
    // saturating add carries into the sign), or from 0x80 up.
    const __m256i start = _mm256_or_si256(_mm256_adds_epu8(hits, seven_f), v);
    const int shift = 32 * k;
    m.lf |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lf)))} << shift;
    m.blank |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(is_blank))} << shift;
    m.start |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(start))} << shift;
  }
  return m;
}

[[gnu::target("avx2")]] std::uint64_t lf_mask_avx2(const char* p) {
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, lf)))} |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, lf)))} << 32;
}


#endif

// ---------------------------------------------------------------------------------------
// Runs of lines
//
// Adding the line-start bits (a bit after each line feed, and the starting position's bit when
// it is at a line start) to the blank mask carries each start across its leading blanks, onto
// the line's first other byte; a carry out of the block means the blanks go on past it. Each
// such byte that is not a line feed begins a line with content; the run stops at the first
// one that is in the LineStarts set.

// One block's lines: `from` marks the bytes at and after where the run started in it. Returns
// true, with the stop's position in `stop`, when a line in the set begins in the block.
template <bool kFindsStarts>
[[gnu::always_inline]] inline bool run_block(const LineStarts& starts, const char* p, std::size_t avail,
                                             const BlockMasks& m, std::uint64_t from, bool& line_start,
                                             std::uint64_t& lines, int& stop) {
  const std::uint64_t lf = m.lf & from, blank = m.blank & from;
  const std::uint64_t begun = (lf << 1) | (line_start ? from & (0 - from) : 0);
  std::uint64_t carried;
  const bool overflow = __builtin_add_overflow(blank, begun, &carried);
  const std::uint64_t content = carried & ~blank & ~lf;
  std::uint64_t stops = content & m.start;
  if constexpr (!kFindsStarts) {
    for (std::uint64_t c = content; c != 0; c &= c - 1) {
      const int bit = __builtin_ctzll(c);
      stops |= std::uint64_t{starts[static_cast<unsigned char>(p[bit])]} << bit;
    }
  }
  // Only the first stop counts: pass over those whose second byte, where the buffer holds
  // it, starts no prefix with their first.
  if (starts.has_pairs())
    while (stops != 0) {
      const auto bit = static_cast<std::size_t>(__builtin_ctzll(stops));
      if (bit + 1 >= avail || starts.pair(static_cast<unsigned char>(p[bit]), static_cast<unsigned char>(p[bit + 1])))
        break;
      stops &= stops - 1;
    }
  if (stops != 0) {
    stop = __builtin_ctzll(stops);
    lines += static_cast<std::uint64_t>(__builtin_popcountll(content & ((std::uint64_t{1} << stop) - 1)));
    line_start = true;
    return true;
  }
  lines += static_cast<std::uint64_t>(__builtin_popcountll(content));
  line_start = overflow || (lf >> 63) != 0;
  return false;
}

template <BlockMasks (*Masks)(const LineStarts&, const char*), bool kFindsStarts>
[[gnu::always_inline]] inline std::size_t run_lines(const LineStarts& starts, LineBlocks::Kept& kept,
                                                    std::size_t pos, bool& at_line_start,
                                                    std::uint64_t& lines) {
  // Locals, so that nothing is stored (and nothing need be reloaded) inside the loop.
  const char* const data = kept.data;
  const std::size_t size = kept.size;
  bool line_start = at_line_start;
  std::uint64_t count = 0;
  std::size_t block = pos & ~std::size_t{63};
  if (block + 64 > size) return pos;
  // The first block, from pos on; its masks may be kept from the last call.
  const BlockMasks first = block == kept.block ? kept.masks : Masks(starts, data + block);
  int stop = 0;
  if (run_block<kFindsStarts>(starts, data + block, size - block, first, ~std::uint64_t{0} << (pos - block),
                              line_start, count, stop)) {
    lines += count;
    at_line_start = true;
    kept.block = block;
    kept.masks = first;
    return block + static_cast<std::size_t>(stop);
  }
  for (block += 64; block + 64 <= size; block += 64) {
    const BlockMasks m = Masks(starts, data + block);
    if (run_block<kFindsStarts>(starts, data + block, size - block, m, ~std::uint64_t{0}, line_start, count, stop)) {
      lines += count;
      at_line_start = true;
      kept.block = block;  // the caller goes on in this block
      kept.masks = m;
      return block + static_cast<std::size_t>(stop);
    }
  }
  lines += count;
  at_line_start = line_start;
  return block;
}

std::size_t run_portable(const LineStarts& s, LineBlocks::Kept& k, std::size_t pos, bool& ls,
                         std::uint64_t& n) {
  return run_lines<masks_portable, false>(s, k, pos, ls, n);
}

#if defined(__SSE2__)
std::size_t run_sse2(const LineStarts& s, LineBlocks::Kept& k, std::size_t pos, bool& ls,
                     std::uint64_t& n) {
  return run_lines<masks_sse2, false>(s, k, pos, ls, n);
}

[[gnu::target("avx2,popcnt")]] std::size_t run_avx2(const LineStarts& s, LineBlocks::Kept& k,
                                                    std::size_t pos, bool& ls, std::uint64_t& n) {
  return run_lines<masks_avx2, true>(s, k, pos, ls, n);
}
#endif

}  // namespace

// ---------------------------------------------------------------------------------------

LineBlocks::LineBlocks(const LineStarts& starts, Kernel wanted)
    : starts_(starts), kernel_(resolve_kernel(wanted)), run_(run_portable) {
  if (kernel_ == Kernel::Avx512) kernel_ = Kernel::Avx2;  // the line kernels have no wider form
#if defined(__SSE2__)
  if (kernel_ == Kernel::Avx2) run_ = run_avx2;
  if (kernel_ == Kernel::Sse2) run_ = run_sse2;
#endif
}

void LineBlocks::reset(const char* data, std::size_t size) {
  kept_ = Kept();
  kept_.data = data;
  kept_.size = size;
}

std::size_t LineBlocks::next_line_feed(std::size_t pos) {
  while (pos < kept_.size) {
    const std::size_t block = pos & ~std::size_t{63};
    std::uint64_t mask;
    if (block == kept_.block) {
      mask = kept_.masks.lf;
    } else {
      if (block != kept_.lf_block) {
        kept_.lf_block = block;
        kept_.lf = line_feeds(block);
      }
      mask = kept_.lf;
    }
    mask &= ~std::uint64_t{0} << (pos - block);
    if (mask) return block + static_cast<std::size_t>(__builtin_ctzll(mask));
    pos = block + 64;
  }
  return kept_.size;
}

std::uint64_t LineBlocks::line_feeds(std::size_t block) const {
  const char* p = kept_.data + block;
  if (block + 64 > kept_.size) {  // the buffer's last, partial block
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < kept_.size - block; ++i)
      if (p[i] == '\n') mask |= std::uint64_t{1} << i;
    return mask;
  }
#if defined(__SSE2__)
  if (kernel_ == Kernel::Avx2) return lf_mask_avx2(p);
  if (kernel_ == Kernel::Sse2) return lf_mask_sse2(p);
#endif
  return lf_mask_portable(p);
}

// ---------------------------------------------------------------------------------------

LineSplitter::LineSplitter(ByteSource& source, const LineStarts& starts, Options options)
    : source_(source),
      starts_(starts),
      chunk_size_(std::max<std::size_t>(options.chunk_size, 1)),
      blocks_(starts, options.kernel),
      buffer_(chunk_size_ + kMaxHead) {}

Result<std::size_t> LineSplitter::fill(bool keep) {
  const std::size_t kept = keep ? end_ - pos_ : 0;
  if (kept != 0 && pos_ != 0) std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
  pos_ = 0;
  end_ = kept;
  std::size_t added = 0;
  if (!eof_) {
    TVX_TRY_ASSIGN(added, source_.read(buffer_.data() + end_, std::min(chunk_size_, buffer_.size() - end_)));
    eof_ = added == 0;
    end_ += added;
  }
  blocks_.reset(buffer_.data(), end_);
  return added;
}

Result<bool> LineSplitter::next() {
  skip();
  for (;;) {
    if (pos_ == end_) {
      TVX_TRY_ASSIGN(const std::size_t added, fill(false));
      if (added == 0) return false;
    }
    TVX_TRY_ASSIGN(const bool found, find_line());
    if (!found) continue;
    // The head lies in the buffer whole, unless the input ends sooner.
    while (end_ - pos_ < kMaxHead && !eof_) TVX_TRY(fill(true));
    current_ = true;
    return true;
  }
}

Result<bool> LineSplitter::find_line() {
  while (pos_ < end_) {
    std::uint64_t lines = 0;
    pos_ = blocks_.run(pos_, at_line_start_, lines);
    if (pos_ == end_) break;
    if (!at_line_start_) {  // in the buffer's last bytes, inside a line
      const std::size_t lf = blocks_.next_line_feed(pos_);
      pos_ = lf == end_ ? end_ : lf + 1;
      at_line_start_ = lf != end_;
      continue;
    }
    const auto b = static_cast<unsigned char>(buffer_.data()[pos_]);
    if (b == '\n' || is_ascii_blank(b)) {
      ++pos_;
      continue;
    }
    if (b >= 0x80) {
      // A character that may be white space, as long as four bytes or the input's end.
      if (end_ - pos_ < 4 && !eof_) {
        TVX_TRY(fill(true));
        continue;
      }
      std::size_t len = 0;
      if (is_white_space(decode_at(std::string_view(buffer_.data() + pos_, end_ - pos_), 0, len))) {
        pos_ += len;
        continue;
      }
    }
    if (starts_[b]) return true;
    at_line_start_ = false;
  }
  return false;
}

Status LineSplitter::read(TextSink& sink) {
  if (!current_) return ok_status();
  current_ = false;
  for (;;) {
    const std::size_t lf = blocks_.next_line_feed(pos_);
    if (lf < end_) {
      sink.piece(std::string_view(buffer_.data() + pos_, lf + 1 - pos_));
      pos_ = lf + 1;
      at_line_start_ = true;
      return ok_status();
    }
    if (pos_ < end_) sink.piece(std::string_view(buffer_.data() + pos_, end_ - pos_));
    pos_ = end_;
    TVX_TRY_ASSIGN(const std::size_t added, fill(false));
    if (added == 0) {
      at_line_start_ = true;
      return ok_status();
    }
  }
}

Status LineSplitter::read_to_end() {
  current_ = false;
  pos_ = end_;
  while (!eof_) TVX_TRY(fill(false));
  return ok_status();
}

}  // namespace tolvanex::text
