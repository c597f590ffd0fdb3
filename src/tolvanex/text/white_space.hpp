// White space: the Unicode White_Space property, which every reader trims lines and texts
// of, and the four XML white-space bytes, which the XML tokenizer alone uses.
#pragma once

#include <string_view>

namespace tolvanex::text {

// The Unicode White_Space property: tab, line feed, vertical tab, form feed, carriage return,
// space, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// U+FEFF is not white space.
constexpr bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The ASCII white space other than the line feed (tab, VT, FF, CR, space): what may lead or
// trail a line's content. A byte from 0x80 up is never one: alone, 0x85 and 0xA0 are not the
// characters U+0085 and U+00A0 but bytes of a UTF-8 sequence.
constexpr bool is_ascii_blank(unsigned char b) { return b < 0x80 && b != '\n' && is_white_space(b); }

// Removes characters with the Unicode White_Space property from both ends; an ill-formed
// sequence counts as U+FFFD, which is not white space.
std::string_view trim_unicode(std::string_view s);

}  // namespace tolvanex::text
