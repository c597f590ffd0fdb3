#include "tolvanex/text/text.hpp"

namespace tolvanex::text {

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::optional<std::uint64_t> parse_decimal(std::string_view digits, std::uint64_t max) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint32_t> parse_u32(std::string_view s) {
  if (s.starts_with('+')) s.remove_prefix(1);
  const std::optional<std::uint64_t> value = parse_decimal(s, UINT32_MAX);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::optional<std::string_view> file_name_bytes(std::string_view path) {
  std::optional<std::string_view> last;
  bool last_is_leading_dot = false;
  std::size_t i = 0;
  bool first_piece = true;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    const std::string_view piece = path.substr(i, j - i);
    if (!piece.empty()) {
      if (piece != "." ) {
        last = piece;
        last_is_leading_dot = false;
      } else if (first_piece) {
        last = piece;
        last_is_leading_dot = true;
      }
    }
    first_piece = false;
    i = j + 1;
  }
  if (!last || last_is_leading_dot || *last == "..") return std::nullopt;
  return last;
}

std::optional<std::string> file_name(std::string_view path) {
  const auto name = file_name_bytes(path);
  if (!name) return std::nullopt;
  return decode_lossy(*name);
}

}  // namespace tolvanex::text
