// ASCII case folding, decimal numbers and the file-name rule for paths. The UTF-8 and white-space helpers
// that readers use along with them come in with this header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tolvanex/text/utf8.hpp"
#include "tolvanex/text/white_space.hpp"

namespace tolvanex::text {

// Lower-cases (upper-cases) ASCII letters only; every other byte is kept.
std::string ascii_lower(std::string_view s);
std::string ascii_upper(std::string_view s);
bool ascii_iequals(std::string_view a, std::string_view b);
bool ends_with(std::string_view s, std::string_view suffix);

// One or more ASCII digits and nothing else, read as a decimal number no larger than `max`;
// no value otherwise.
std::optional<std::uint64_t> parse_decimal(std::string_view digits, std::uint64_t max = UINT64_MAX);
// An unsigned 32-bit decimal: an optional "+", then what parse_decimal takes.
std::optional<std::uint32_t> parse_u32(std::string_view s);

// The raw bytes of a path's file name: split at "/", drop empty pieces and every "." piece
// except a leading one; the last piece when it is an ordinary name (not ".." and not the
// leading "."). No name for "", "/", "..", "." and the like.
std::optional<std::string_view> file_name_bytes(std::string_view path);
// The file name decoded lossily.
std::optional<std::string> file_name(std::string_view path);

}  // namespace tolvanex::text
