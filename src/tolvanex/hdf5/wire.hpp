// A plain binary form of the summary records, driven by their field lists, for handing a
// finished record from the process that read the file to the caller's process.
//
// Numbers are little-endian of their own width, a bool one byte, an optional a presence
// byte and the value, a text or list a 64-bit count and its items, a record its fields in
// order. Decoding trusts nothing: every count is checked against the bytes that are left,
// so a damaged reply can't make the reader allocate more than it received.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "tolvanex/schema.hpp"

namespace tolvanex::hdf5::wire {

namespace detail {
template <class Int>
void put_int(std::string& out, Int v) {
  for (std::size_t i = 0; i < sizeof(Int); ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
}  // namespace detail

template <class T>
void put(std::string& out, const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    out += static_cast<char>(value ? 1 : 0);
  } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::uint32_t>) {
    detail::put_int(out, value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    detail::put_int<std::uint64_t>(out, value.size());
    out += value;
  } else if constexpr (is_optional_v<T>) {
    out += static_cast<char>(value ? 1 : 0);
    if (value) put(out, *value);
  } else if constexpr (is_vector_v<T>) {
    detail::put_int<std::uint64_t>(out, value.size());
    for (const auto& item : value) put(out, item);
  } else {
    static_assert(Described<T>, "record without a field list");
    std::apply([&](const auto&... f) { (put(out, value.*(f.member)), ...); }, T::fields());
  }
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}
  bool done() const { return rest_.empty(); }

  template <class Int>
  bool get_int(Int& v) {
    if (rest_.size() < sizeof(Int)) return false;
    v = 0;
    for (std::size_t i = 0; i < sizeof(Int); ++i)
      v |= static_cast<Int>(static_cast<unsigned char>(rest_[i])) << (8 * i);
    rest_.remove_prefix(sizeof(Int));
    return true;
  }
  bool get_bytes(std::uint64_t n, std::string& out) {
    if (n > rest_.size()) return false;
    out.assign(rest_.data(), static_cast<std::size_t>(n));
    rest_.remove_prefix(static_cast<std::size_t>(n));
    return true;
  }

 private:
  std::string_view rest_;
};

template <class T>
bool get(Reader& in, T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    std::uint8_t b = 0;
    if (!in.get_int(b) || b > 1) return false;
    value = b == 1;
    return true;
  } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::uint32_t>) {
    return in.get_int(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    std::uint64_t n = 0;
    return in.get_int(n) && in.get_bytes(n, value);
  } else if constexpr (is_optional_v<T>) {
    bool present = false;
    if (!get(in, present)) return false;
    value.reset();
    if (!present) return true;
    value.emplace();
    return get(in, *value);
  } else if constexpr (is_vector_v<T>) {
    std::uint64_t n = 0;
    if (!in.get_int(n)) return false;
    value.clear();
    // Every item takes at least one byte, so the loop ends with the input; no reserve()
    // from the count.
    for (std::uint64_t i = 0; i < n; ++i) {
      if (in.done()) return false;
      value.emplace_back();
      if (!get(in, value.back())) return false;
    }
    return true;
  } else {
    static_assert(Described<T>, "record without a field list");
    return std::apply([&](const auto&... f) { return (get(in, value.*(f.member)) && ...); },
                      T::fields());
  }
}

template <class T>
std::string encode(const T& value) {
  std::string out;
  put(out, value);
  return out;
}

// The record, when the bytes hold exactly one.
template <class T>
std::optional<T> decode(std::string_view bytes) {
  Reader in(bytes);
  T value{};
  if (!get(in, value) || !in.done()) return std::nullopt;
  return value;
}

}  // namespace tolvanex::hdf5::wire
