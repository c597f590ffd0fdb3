// Line scanning for readers that look at few of the lines they pass: finding line feeds,
// passing over whole runs of lines 64 bytes at a time, and splitting a pull source into lines
// without ever holding a long one.
//
// A line is everything up to and including a line feed, or up to the end of input; a carriage
// return alone ends no line. The readers that use these trim lines of Unicode White_Space, so
// the white space that starts a line is passed over here; "blank" below means tab and space.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tolvanex/error.hpp"
#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/io/read_buffer.hpp"
#include "tolvanex/text/blocks.hpp"
#include "tolvanex/text/text_sink.hpp"

namespace tolvanex::text {

// The bytes that make a line worth a look when they start it, after its blanks. The set
// always holds VT, FF and CR, which the kernels do not take as blanks (they are white space,
// but rare at a line's start), and the bytes from 0x80 up, which may start Unicode white space.
//
// Built from prefixes, the set also knows which second bytes may follow each first byte, and
// the kernels pass over a line whose first two bytes start no prefix where they see both (a
// line worth a look is still tested by its reader; this only spares it most of the others).
class LineStarts {
 public:
  constexpr explicit LineStarts(std::string_view ascii) {
    for (const char c : ascii) add(static_cast<unsigned char>(c));
    finish();
  }
  // `prefixes`: ASCII, none empty, none starting with white space.
  constexpr explicit LineStarts(std::span<const std::string_view> prefixes) : pairs_(true) {
    for (const std::string_view prefix : prefixes) {
      const auto b = static_cast<unsigned char>(prefix[0]);
      if (!in_[b]) second_[b] = {};
      add(b);
      if (prefix.size() == 1) second_[b] = {~0ull, ~0ull, ~0ull, ~0ull};
      else second_[b][static_cast<unsigned char>(prefix[1]) >> 6] |= 1ull << (prefix[1] & 63);
    }
    finish();
  }
  constexpr bool operator[](unsigned char b) const { return in_[b]; }
  // Whether a line that starts with `b` then `next` may be worth a look.
  constexpr bool pair(unsigned char b, unsigned char next) const { return (second_[b][next >> 6] >> (next & 63)) & 1; }
  constexpr bool has_pairs() const { return pairs_; }
  // Nibble tables for vector kernels: an ASCII byte b is in the set exactly when
  // low_nibbles()[b & 15] & high_nibbles()[b >> 4] is not zero. Each holds its 16 entries
  // twice over.
  const unsigned char* low_nibbles() const { return low_; }
  const unsigned char* high_nibbles() const { return high_; }

 private:
  constexpr void add(unsigned char b) {
    in_[b] = true;
    if (b < 0x80) low_[b & 15] |= static_cast<unsigned char>(1u << (b >> 4));
  }
  constexpr void finish() {
    for (int b = 0x80; b < 0x100; ++b) in_[b] = true;
    for (const char c : std::string_view("\v\f\r")) add(static_cast<unsigned char>(c));
    for (int i = 0; i < 32; ++i) {  // each table twice over, for 32-byte loads
      low_[i] = low_[i % 16];
      high_[i] = (i % 16) < 8 ? static_cast<unsigned char>(1u << (i % 16)) : 0;
    }
  }

  bool in_[256] = {};
  unsigned char low_[32] = {};
  unsigned char high_[32] = {};
  bool pairs_ = false;
  // Per first byte, the second bytes that may follow it (a bit each); any, unless a prefix
  // with that first byte says otherwise.
  std::array<std::array<std::uint64_t, 4>, 256> second_ = make_any();
  static constexpr std::array<std::array<std::uint64_t, 4>, 256> make_any() {
    std::array<std::array<std::uint64_t, 4>, 256> any{};
    for (auto& bits : any) bits = {~0ull, ~0ull, ~0ull, ~0ull};
    return any;
  }
};

// One buffer's lines, looked at 64 bytes at a time: its line feeds, and runs of lines passed
// over until one whose first byte after its blanks is in a LineStarts set (the bulk of a
// deck's data lines, say, or of a project's irrelevant lines). The masks of the block last
// looked at are kept, so that the next line feed or line start in the same block costs a
// bit scan.
class LineBlocks {
 public:
  // `starts` must outlive it.
  LineBlocks(const LineStarts& starts, Kernel wanted);

  // Looks at a new buffer; what was kept of the last one is forgotten.
  void reset(const char* data, std::size_t size);
  // The first line feed at or after `pos`, or size when there is none.
  std::size_t next_line_feed(std::size_t pos);
  // Passes lines from data[pos]. `at_line_start` says whether data[pos] is at a line's start
  // or among its leading blanks, and is updated; the lines with content (not blank) that
  // begin in what was passed are added to `lines`. Returns where it stopped: at the first
  // byte of a line in the set (`at_line_start` then true), or, where less than a whole
  // 64-byte block is left (blocks count from data[0]), at pos or that block's start (size
  // when none), leaving the rest to the caller.
  std::size_t run(std::size_t pos, bool& at_line_start, std::uint64_t& lines) {
    return run_(starts_, kept_, pos, at_line_start, lines);
  }
  Kernel kernel() const { return kernel_; }

  // Bit i stands for byte i of a block.
  struct Masks {
    std::uint64_t lf = 0;     // line feeds
    std::uint64_t blank = 0;  // tab and space
    std::uint64_t start = 0;  // bytes of the set, where the kernel finds them all at once
  };
  // The buffer, and what the kernels keep of it between calls.
  struct Kept {
    const char* data = nullptr;
    std::size_t size = 0;
    std::size_t block = static_cast<std::size_t>(-1);     // `masks` are this block's
    std::size_t lf_block = static_cast<std::size_t>(-1);  // `lf` is this block's
    Masks masks;
    std::uint64_t lf = 0;
  };

 private:
  using RunFn = std::size_t (*)(const LineStarts&, Kept&, std::size_t, bool&, std::uint64_t&);
  std::uint64_t line_feeds(std::size_t block) const;

  const LineStarts& starts_;
  Kernel kernel_;
  RunFn run_;
  Kept kept_;
};

// Splits a pull source into lines, chunk by chunk, for a reader that keeps few of them. Lines
// are passed over (by LineBlocks) until one whose first character that is not White_Space
// starts with a byte of the LineStarts set; the reader then looks at its head and either skips
// the rest at line-feed speed or takes it in pieces, so a long line is never held whole.
// Memory is one chunk and a head.
//
// A prefix test on the head agrees with one on the decoded, trimmed line for an ASCII prefix
// of at most that many bytes: the head starts where the trimmed line does, and ASCII bytes
// decode as themselves; only a prefix that ends in white space (say "$begin ") may match a
// head that trimming cuts shorter, so the test is repeated on the head cut to the trimmed
// size, which BudgetedText measures exactly as far as asked. The intended loop, keeping
// relevant lines trimmed within a byte budget, each charged its size and a line feed (once a
// line was dropped, a relevant line whose head shows it too long is not even read):
//
//   LineSplitter lines(source, kRelevantStarts);
//   BudgetedText text;
//   for (;;) {
//     TVX_TRY_ASSIGN(const bool more, lines.next());
//     if (!more) break;
//     const std::string head(lines.head(kHead));  // a copy: read() moves the buffer
//     if (!relevant(head) || (truncated && trimmed_size_at_least(head) >= remaining)) {
//       lines.skip();
//       continue;
//     }
//     text.begin(remaining, kHead);
//     TVX_TRY(lines.read(text));
//     const bool held = text.finish();
//     if (!relevant(head.substr(0, text.size()))) continue;
//     if (!held || text.size() + 1 > remaining) { truncated = true; continue; }
//     kept.append(text.kept()).push_back('\n');
//     remaining -= text.size() + 1;
//   }
class LineSplitter {
 public:
  // Large reads: a 1 GB project read 256 KiB at a time took a tenth longer, in its system calls.
  static constexpr std::size_t kDefaultChunkSize = 1024 * 1024;
  static constexpr std::size_t kMaxHead = 256;

  struct Options {
    std::size_t chunk_size = kDefaultChunkSize;  // bytes asked of the source at a time
    Kernel kernel = Kernel::Auto;
  };

  // Reads `source` (not owned; must outlive the splitter); `starts` must too.
  LineSplitter(ByteSource& source, const LineStarts& starts, Options options);
  LineSplitter(ByteSource& source, const LineStarts& starts) : LineSplitter(source, starts, Options{}) {}

  // Moves to the next line worth a look (after skipping the rest of the current one), at its
  // first character that is not White_Space; false at the end of input. A failure of the
  // source is its own error.
  Result<bool> next();
  // Up to `n` (at most kMaxHead) bytes of the current line from that character on, without
  // its line feed; fewer when the line ends sooner. Valid until the splitter is used again.
  std::string_view head(std::size_t n) const {
    const std::string_view ahead(buffer_.data() + pos_, std::min({n, kMaxHead, end_ - pos_}));
    return ahead.substr(0, ahead.find('\n'));
  }
  // Passes over the rest of the current line (done by the next call of next()).
  void skip() {
    if (current_) at_line_start_ = false;
    current_ = false;
  }
  // Hands the rest of the current line, from that character through its line feed, to
  // `sink` in pieces; nothing when there is no current line.
  Status read(TextSink& sink);
  // Reads the rest of the input without looking at it, for a reader that wants no more
  // lines but must still meet the source's errors (a read error, an archive member's CRC).
  Status read_to_end();

 private:
  // Reads more: into an empty buffer, or, when `keep` is set, after the bytes from pos_ on,
  // which move to the buffer's start. Returns the number of bytes added (0: end of input).
  Result<std::size_t> fill(bool keep);
  // Passes over lines that are blank or not worth a look, and white space at a line's start;
  // true when it stopped at a line worth a look, false at the end of the buffer.
  Result<bool> find_line();

  ByteSource& source_;
  const LineStarts& starts_;
  std::size_t chunk_size_;
  LineBlocks blocks_;
  fsio::ReadBuffer buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool at_line_start_ = true;  // pos_ is at a line's start or in its leading white space
  bool current_ = false;       // next() stopped at pos_, and the line is not yet read or skipped
  bool eof_ = false;
};

}  // namespace tolvanex::text
