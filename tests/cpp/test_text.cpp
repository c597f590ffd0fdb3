#include <gtest/gtest.h>

#include <random>

#include "tolvanex/error.hpp"
#include "tolvanex/text/text.hpp"

using namespace tolvanex;

TEST(Text, LossyDecodingReplacesEachMaximalIllFormedSubsequence) {
  struct Case {
    std::string in, out;
  };
  const std::string R = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFF" "b", "a" + R + "b"},
      {"\xE2\x82", R},                       // truncated 3-byte sequence: one replacement
      {"\xE2\x82" "x", R + "x"},
      {"\xF0\x9F\x98", R},                   // truncated 4-byte sequence
      {"\xED\xA0\x80", R + R + R},           // surrogate: E0..9F range rule, three pieces
      {"\xC0\xAF", R + R},                   // overlong lead byte
      {"\xF4\x90\x80\x80", R + R + R + R},   // beyond U+10FFFF
      {"\x80\x80", R + R},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text::decode_lossy(c.in), c.out) << c.in;
    EXPECT_EQ(text::is_valid_utf8(c.in), c.in == c.out) << c.in;
  }
}

TEST(Text, StreamingValidationMatchesWholeValidationAtEverySplit) {
  const std::string samples[] = {"ab\xE2\x82\xAC" "cd", "\xF0\x9F\x98\x80", "x\xE2\x82", "\xED\xA0\x80"};
  for (const std::string& s : samples) {
    for (std::size_t cut = 0; cut <= s.size(); ++cut) {
      text::Utf8Validator v;
      v.feed(std::string_view(s).substr(0, cut));
      v.feed(std::string_view(s).substr(cut));
      EXPECT_EQ(v.finish(), text::is_valid_utf8(s)) << cut;
    }
  }
}

TEST(Text, StreamingLossyDecodingMatchesWholeDecodingAtEverySplit) {
  const std::string samples[] = {
      "ab\xE2\x82\xAC" "cd\xF0\x9F\x98\x80", "x\xE2\x82", "\xE2\x82" "x", "\xF0\x9F\x98", "\xED\xA0\x80",
      "\xC3\xC3\xA9\x80", "\xE0\x80\xE0\xA0\x80", "\xF4\x8F\xBF\xBF\xF4\x90", "\xC2", "",
  };
  for (const std::string& s : samples) {
    // Every way of cutting into two or three pieces.
    for (std::size_t i = 0; i <= s.size(); ++i) {
      for (std::size_t j = i; j <= s.size(); ++j) {
        text::LossyDecoder d;
        std::string out;
        d.feed(std::string_view(s).substr(0, i), out);
        d.feed(std::string_view(s).substr(i, j - i), out);
        d.feed(std::string_view(s).substr(j), out);
        d.finish(out);
        EXPECT_EQ(out, text::decode_lossy(s)) << i << " " << j << " " << s;
      }
    }
  }
  // Random mixes of lead, continuation and ASCII bytes, a byte at a time.
  const std::string bytes = "a\x80\x8F\x90\x9F\xA0\xBF\xC2\xDF\xE0\xED\xEF\xF0\xF4\xF5\xFF";
  std::mt19937 rng(7);
  for (int n = 0; n < 20000; ++n) {
    std::string s;
    for (std::size_t len = rng() % 12; len != 0; --len) s += bytes[rng() % bytes.size()];
    text::LossyDecoder d;
    std::string out;
    for (char c : s) d.feed(std::string_view(&c, 1), out);
    d.finish(out);
    ASSERT_EQ(out, text::decode_lossy(s)) << s;
  }
}

TEST(Text, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(text::trim_unicode(" \t\xC2\xA0x y\xE3\x80\x80\r\n"), "x y");  // NBSP, U+3000
  EXPECT_EQ(text::trim_unicode("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");    // ZWSP is not white space
  EXPECT_EQ(text::trim_unicode("\xE2\x80\xA9"), "");                         // U+2029
  EXPECT_EQ(text::trim_xml(" \xC2\xA0x\n"), "\xC2\xA0x");
}

TEST(Text, FileNameRule) {
  struct Case {
    const char* path;
    const char* name;  // null: no file name
  };
  const Case cases[] = {
      {"dir/model.mph/", "model.mph"}, {"dir/sub/.", "sub"}, {"..", nullptr},
      {"/", nullptr},                  {"", nullptr},        {".", nullptr},
      {"./a.mph", "a.mph"},            {"a//b", "b"},        {"/.", nullptr},
      {"x/..", nullptr},               {".a.mph", ".a.mph"}, {"./.", nullptr},
  };
  for (const Case& c : cases) {
    const auto name = text::file_name(c.path);
    if (c.name) {
      ASSERT_TRUE(name.has_value()) << c.path;
      EXPECT_EQ(*name, c.name) << c.path;
    } else {
      EXPECT_FALSE(name.has_value()) << c.path;
    }
  }
}

TEST(Error, DisplayTexts) {
  EXPECT_EQ(TolvanexError::io_errno(2).display(), "io error: No such file or directory (os error 2)");
  EXPECT_EQ(TolvanexError::io_errno(21).display(), "io error: Is a directory (os error 21)");
  EXPECT_EQ(TolvanexError::zip_io().display(), "zip error: i/o error");
  EXPECT_EQ(TolvanexError::zip_invalid("bad").display(), "zip error: invalid Zip archive: bad");
  EXPECT_EQ(TolvanexError::zip_unsupported("x").display(), "zip error: unsupported Zip archive: x");
  EXPECT_EQ(TolvanexError::json_at("oops", 3, 7).display(), "json error: oops at line 3 column 7");
  EXPECT_EQ(TolvanexError::message("A sentence").display(), "A sentence");
  EXPECT_EQ(TolvanexError::hdf5("hdf5 read failed: x").display(), "hdf5 error: hdf5 read failed: x");
  EXPECT_EQ(TolvanexError::unsupported_format("a.txt").display(), "unsupported file format for a.txt");
  EXPECT_EQ(TolvanexError::xml("syntax error: x").display(), "xml error: syntax error: x");
}
