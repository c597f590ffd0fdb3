#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tolvanex/error.hpp"
#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/text/budgeted_text.hpp"
#include "tolvanex/text/blocks.hpp"
#include "tolvanex/text/lines.hpp"
#include "tolvanex/text/text.hpp"
#include "tolvanex/text/trailing_space.hpp"

using namespace tolvanex;

namespace {

const std::string R = "\xEF\xBF\xBD";
const std::string kAscii(40, 'a');  // long enough for the validator's 32-byte steps

TEST(Text, LossyDecodingReplacesEachMaximalIllFormedSubsequence) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"}, {"caf\xC3\xA9", "caf\xC3\xA9"}, {"a\xFF" "b", "a" + R + "b"}, {"\x80\x80", R + R},
      {"\xE2\x82", R}, {"\xE2\x82" "x", R + "x"}, {"\xF0\x9F\x98", R},  // truncated: one replacement
      {"\xED\xA0\x80", R + R + R},          // a surrogate: the E0..9F range rule, three pieces
      {"\xC0\xAF", R + R},                  // an overlong lead byte
      {"\xF4\x90\x80\x80", R + R + R + R},  // beyond U+10FFFF
      {kAscii + "\xC3" + kAscii, kAscii + R + kAscii},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(text::decode_lossy(in), out) << in;
    EXPECT_EQ(text::is_valid_utf8(in), in == out) << in;
  }
}

// Cut into three pieces anywhere, streaming validation and decoding give what the whole
// input gives; samples hold runs of ASCII long enough for the validator's 32-byte steps.
TEST(Text, StreamingUtf8MatchesWholeInputAtEverySplit) {
  std::vector<std::string> samples = {"ab\xE2\x82\xAC" "cd\xF0\x9F\x98\x80", "\xED\xA0\x80", "\xC3\xC3\xA9\x80",
                                      "\xE0\x80\xE0\xA0\x80", "\xF4\x8F\xBF\xBF\xF4\x90", ""};
  const std::string bytes = "a\x80\x8F\x90\x9F\xA0\xBF\xC2\xDF\xE0\xED\xEF\xF0\xF4\xF5\xFF";
  std::mt19937 rng(7);
  for (int n = 0; n < 3000; ++n) {
    std::string s;
    for (std::size_t len = rng() % 12; len != 0; --len) s += (rng() % 8 ? "" : kAscii) + bytes[rng() % bytes.size()];
    samples.push_back(s);
  }
  // The characters that a carry steps through, each followed by `|`, then what it was left with.
  const auto characters = [](std::initializer_list<std::string_view> pieces) {
    text::Utf8Carry carry;
    std::string out;
    std::string_view ch;
    for (const std::string_view piece : pieces) {
      for (std::size_t pos = 0; pos < piece.size() && carry.next(piece, pos, ch);) out.append(ch) += '|';
    }
    return out.append(carry.take_cut());
  };
  for (const std::string& s : samples) {
    const std::string_view v(s);
    const std::size_t step = s.size() > 12 ? s.size() / 5 + 1 : 1;
    for (std::size_t i = 0; i <= s.size(); i += step) {
      for (std::size_t j = i; j <= s.size(); j += step) {
        text::LossyDecoder d;
        text::Utf8Validator u;
        std::string out;
        for (const std::string_view piece : {v.substr(0, i), v.substr(i, j - i), v.substr(j)}) {
          d.feed(piece, out);
          u.feed(piece);
        }
        d.finish(out);
        ASSERT_EQ(out, text::decode_lossy(s)) << i << " " << j << " " << s;
        ASSERT_EQ(u.finish(), text::is_valid_utf8(s)) << i << " " << j << " " << s;
        ASSERT_EQ(characters({v.substr(0, i), v.substr(i, j - i), v.substr(j)}), characters({v})) << i << " " << j;
      }
    }
  }
}

TEST(Text, FileNameRule) {
  const std::pair<const char*, const char*> cases[] = {  // path, its file name (null: none)
      {"dir/model.mph/", "model.mph"}, {"dir/sub/.", "sub"}, {"..", nullptr},
      {"/", nullptr},                  {"", nullptr},        {".", nullptr},
      {"./a.mph", "a.mph"},            {"a//b", "b"},        {"/.", nullptr},
      {"x/..", nullptr},               {".a.mph", ".a.mph"}, {"./.", nullptr},
  };
  for (const auto& [path, name] : cases)
    EXPECT_EQ(text::file_name(path).value_or("(none)"), name ? name : "(none)") << path;
}

TEST(Text, DecimalNumbers) {
  const std::pair<const char*, long long> cases[] = {  // text, its u32 value (-1: none)
      {"0", 0},    {"+07", 7},  {"4294967295", 4294967295}, {"4294967296", -1}, {"", -1},
      {"+", -1},   {"-1", -1},  {" 1", -1}, {"1x", -1}, {"++1", -1}, {"99999999999999999999", -1},
  };
  for (const auto& [in, value] : cases) {
    const std::optional<std::uint32_t> got = text::parse_u32(in);
    EXPECT_EQ(got ? static_cast<long long>(*got) : -1, value) << in;
  }
  EXPECT_EQ(text::parse_decimal("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(text::parse_decimal("18446744073709551616"), std::nullopt);
  EXPECT_EQ(text::parse_decimal("+1"), std::nullopt);
}

// Held whole within the limit, and measured exactly as far as asked, however it is cut; ZWSP
// is not white space, U+2029 is.
TEST(BudgetedText, KeepsAndMeasuresWhatDecodingAndTrimmingWholeWould) {
  const std::string nbsp = "\xC2\xA0", ideo = "\xE3\x80\x80", nel = "\xC2\x85";
  const std::string texts[] = {
      "abc", "a b", nbsp + "a" + nbsp, ideo + " " + ideo + "x y" + nbsp + " " + nel + "\v\f",
      "a\xFF", "\xFF\xFE", "\xE2\x82", "a\xE2\x82 " + nbsp, "\xC3\xA9\xC3\xA9", nbsp + nbsp,
      "x" + std::string(40, ' ') + "y", "x" + nbsp + nbsp + nbsp + nbsp, ideo + ideo + ideo + "z",
      "\xC2", "\xF0\x9F\x98\x80" + ideo, "$begin \t\r\n", "$begin 'x'\r\n", "\xE2\x80\x8B" "x", "\xE2\x80\xA9",
  };
  for (const std::string& t : texts) {
    const std::string decoded = text::decode_lossy(t);
    const std::string_view trimmed = text::trim_unicode(decoded);
    for (std::uint64_t limit = 0; limit <= trimmed.size() + 2; ++limit) {
      for (const std::uint64_t measured : {0, 7, 100}) {
        for (const std::size_t step : {1, 2, 3, 5, 1000}) {
          text::BudgetedText b;
          b.begin(limit, measured);
          for (std::size_t i = 0; i < t.size(); i += step) b.piece(std::string_view(t).substr(i, step));
          const bool fits = b.finish();
          SCOPED_TRACE(t + " / " + std::to_string(limit) + " / " + std::to_string(step));
          EXPECT_EQ(fits, trimmed.size() <= limit);
          if (fits) EXPECT_EQ(b.kept(), trimmed);
          const std::uint64_t past = std::max(limit, measured) + 1;  // a size past the bound is only that
          EXPECT_EQ(std::min(b.size(), past), std::min<std::uint64_t>(trimmed.size(), past));
        }
      }
    }
  }
}

// Trailing white space, added in pieces cut anywhere, gives back exactly the bytes within the
// cap, and counts the rest.
TEST(TrailingSpace, GivesBackWhatTheCapHeldWhereverTheRunIsCut) {
  const std::string runs[] = {" ", " \t \t", std::string(5, ' ') + "\t\t" + std::string(200, '\n'),
                              std::string("\0\0 \0", 4), std::string(300, ' ') + "\xC2\xA0\xC2\xA0"};
  for (const std::string& run : runs) {
    for (std::uint64_t cap = 0; cap <= run.size() + 1; cap += run.size() > 20 ? 37 : 1) {
      for (std::size_t cut = 0; cut <= run.size(); ++cut) {
        text::TrailingSpace space(cap);
        space.add(std::string_view(run).substr(0, cut));
        space.add(std::string_view(run).substr(cut));
        ASSERT_EQ(space.size(), run.size());
        std::string back;
        const std::uint64_t unheld = space.release([&](const char* p, std::size_t n) { back.append(p, n); });
        const std::size_t held = static_cast<std::size_t>(std::min<std::uint64_t>(cap, run.size()));
        ASSERT_EQ(back, run.substr(0, held)) << cap << " " << cut;
        ASSERT_EQ(unheld, run.size() - held);
        ASSERT_TRUE(space.empty());
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Line splitting, against lines cut at each line feed and trimmed at the start.

constexpr text::LineStarts kStarts("$N*");

// For each line worth a look, its head of `1 + k % 30` bytes, then (odd k) the rest decoded
// and trimmed.
std::string expected_lines(const std::string& in) {
  std::string out;
  std::size_t k = 0;
  for (std::size_t begin = 0; begin < in.size();) {
    const std::size_t lf = in.find('\n', begin);
    const std::size_t end = lf == std::string::npos ? in.size() : lf + 1;
    std::string_view line = std::string_view(in).substr(begin, end - begin);
    begin = end;
    for (std::size_t len = 0; !line.empty() && text::is_white_space(text::decode_at(line, 0, len));)
      line.remove_prefix(len);
    if (line.empty() || !kStarts[static_cast<unsigned char>(line[0])]) continue;
    out += "[" + std::string(line.substr(0, std::min(1 + k % 30, line.find('\n')))) + "]";
    if (k++ % 2) out += text::trim_unicode(text::decode_lossy(line));
  }
  return out;
}

Result<std::string> split_lines(ByteSource& source, text::LineSplitter::Options options) {
  text::LineSplitter lines(source, kStarts, options);
  std::string out;
  for (std::size_t k = 0;; ++k) {
    TVX_TRY_ASSIGN(const bool more, lines.next());
    if (!more) return out;
    const std::string head(lines.head(1 + k % 30));
    out += "[" + head + "]";
    if (k % 2 == 0) continue;  // skipped by the next call
    text::BudgetedText rest;
    rest.begin(UINT64_MAX);
    TVX_TRY(lines.read(rest));
    out += rest.finish() ? rest.kept() : "(not held)";
    if (text::trimmed_size_at_least(head) > rest.size()) out += "(a bound past the size)";
  }
}

TEST(LineSplitter, GivesTheLinesWorthALookWhateverTheChunksAndKernel) {
  const std::string pieces[] = {
      "\n", "\n", "\r\n", " ", "\t", "\r", "\v", "\f", "\xC2\xA0", "\xE3\x80\x80", "\xC2\x85",
      "\xE2\x80\xA8", "\xC2", "\xFF", "\x85", "\xA0", "\xEF\xBB\xBF", "$begin 'x'", "Name=", "*NODE", "1, 2",
      "x", "N", std::string(70, 'y'), std::string(70, ' '), std::string(300, '$')};
  std::mt19937 random(99);
  for (int n = 0; n < 120; ++n) {
    std::string in;
    for (int i = random() % 300; i > 0; --i) in += pieces[random() % std::size(pieces)];
    const std::string expected = expected_lines(in);
    for (const std::size_t chunk : {1, 2, 3, 5, 63, 64, 65, 200, 4096})
      for (const auto kernel : {text::Kernel::Avx2, text::Kernel::Sse2, text::Kernel::Portable}) {
        MemorySource source(in);
        const Result<std::string> got = split_lines(source, {chunk, kernel});
        ASSERT_TRUE(got) << got.error().display();
        ASSERT_EQ(got.value(), expected) << "chunk " << chunk << " kernel " << int(kernel) << "\n" << in;
      }
  }
  struct Failing final : ByteSource {  // gives a line and a half, then fails
    Result<std::size_t> read(char* buffer, std::size_t) override {
      if (calls++ > 0) return TolvanexError::io("disk on fire");
      return std::size_t(std::string_view("N1\nN").copy(buffer, 4));
    }
    int calls = 0;
  } failing;
  const Result<std::string> got = split_lines(failing, {});
  EXPECT_EQ(got ? got.value() : got.error().display(), "io error: disk on fire");
}

// Every kernel marks exactly the bytes of each class, bytes from 0x80 up in none.
TEST(ByteClassifier, KernelsAgreeWithAByteByByteLook) {
  static constexpr text::ByteClasses kClasses{"<", ">&", " \t\n\r", "az", "\"'"};  // eight nibble bits
  constexpr std::size_t kBlocks = 2000;
  std::mt19937 rng(7);
  std::string bytes(64 * kBlocks, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i / 64 % 2 ? rng() % 256 : "<>& \t\n\r\"'azZ:\x80\xBC\xFA\xFF"[rng() % 17]);
  }
  std::vector<text::BitMasks> want(kBlocks);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (std::size_t k = 0; k < kClasses.bits(); ++k) {
      if (kClasses.members(k).find(bytes[i]) != std::string_view::npos) want[i / 64][k] |= std::uint64_t{1} << (i % 64);
    }
  }
  for (const auto kernel : {text::Kernel::Avx512, text::Kernel::Avx2, text::Kernel::Sse2, text::Kernel::Portable}) {
    std::vector<text::BitMasks> got(kBlocks);
    text::ByteClassifier(kClasses, kernel).classify(bytes.data(), kBlocks, got.data());
    for (std::size_t n = 0; n < kBlocks; ++n) {
      for (std::size_t k = 0; k < kClasses.bits(); ++k) EXPECT_EQ(got[n][k], want[n][k]) << static_cast<int>(kernel);
    }
  }
}

TEST(Error, DisplayTexts) {
  EXPECT_EQ(TolvanexError::hdf5("hdf5 read failed: x").display(), "hdf5 error: hdf5 read failed: x");
}

}  // namespace
