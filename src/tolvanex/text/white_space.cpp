#include "tolvanex/text/white_space.hpp"

#include "tolvanex/text/utf8.hpp"

namespace tolvanex::text {

std::string_view trim_unicode(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t len = 0;
    if (!is_white_space(decode_at(s, begin, len))) break;
    begin += len;
  }
  // From the end, step back to each character's first byte.
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4) --start;
    std::size_t len = 0;
    const char32_t c = decode_at(s, start, len);
    if (start + len != end || !is_white_space(c)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

}  // namespace tolvanex::text
