// Writing records as compact JSON. Every record is written from its field list (see
// schema.hpp), so the full and the compact form share one writer.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "tolvanex/schema.hpp"

namespace tolvanex::json {

// What a byte of a text is written as: 0 when it stands for itself, else the letter of its
// escape after the reverse solidus ('u' for the \u00XX form). Only the quotation mark, the
// reverse solidus and U+0000..U+001F are escaped; U+007F and every byte of a multi-byte UTF-8
// sequence stand for themselves.
inline constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// Writes JSON text in one pass into one growing buffer, straight from the typed records.
class Writer {
 public:
  Writer() { out_.reserve(128); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void raw(char c) { out_.push_back(c); }
  void raw(std::string_view s) { out_.append(s); }

  // A JSON string: runs of bytes that need no escape are copied as they stand.
  void text(std::string_view s) {
    out_.push_back('"');
    const char* run = s.data();
    const char* const end = run + s.size();
    for (const char* p = run; p != end; ++p) {
      const char e = kEscapes[static_cast<unsigned char>(*p)];
      if (e == 0) continue;
      out_.append(run, p);
      if (e == 'u') {
        static constexpr char kHex[] = "0123456789abcdef";
        const auto c = static_cast<unsigned char>(*p);
        const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out_.append(escape, sizeof escape);
      } else {
        const char escape[] = {'\\', e};
        out_.append(escape, sizeof escape);
      }
      run = p + 1;
    }
    out_.append(run, end);
    out_.push_back('"');
  }

  // An unsigned number in plain decimal.
  void number(std::uint64_t value) {
    char digits[20];
    const auto done = std::to_chars(digits, digits + sizeof digits, value);
    out_.append(digits, done.ptr);
  }

  void boolean(bool value) { out_.append(value ? "true" : "false"); }

  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

template <class T>
void write_value(Writer& w, const T& value);

// A record that leaves a key out when absent names one of its optional fields.
template <class T>
constexpr bool omitted_key_is_an_optional_field() {
  if constexpr (requires { T::omitted_when_absent; }) {
    return std::apply(
        [](const auto&... f) {
          return ((f.presence == Presence::OmitWhenAbsent &&
                   is_optional_v<typename std::remove_cvref_t<decltype(f)>::member_type>) ||
                  ...);
        },
        T::fields());
  }
  return true;
}

template <class Record, class Member>
void write_field(Writer& w, bool& first, const Record& record, const Field<Record, Member>& f) {
  const Member& value = record.*(f.member);
  if constexpr (is_optional_v<Member>) {
    if (f.presence == Presence::OmitWhenAbsent && !value) return;
  }
  if (!first) w.raw(',');
  first = false;
  w.raw('"');
  w.raw(f.key);  // keys are the records' own snake_case names: nothing to escape
  w.raw("\":");
  write_value(w, value);
}

// Texts, unsigned numbers, bools, optionals (null when absent), lists, described records,
// and per-format variants ({"kind": format name, "data": record}).
template <class T>
void write_value(Writer& w, const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    w.text(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    w.boolean(value);
  } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::uint32_t>) {
    w.number(value);
  } else if constexpr (std::is_same_v<T, SimFormat>) {
    w.text(format_name(value));
  } else if constexpr (is_optional_v<T>) {
    if (value)
      write_value(w, *value);
    else
      w.raw("null");
  } else if constexpr (is_vector_v<T>) {
    w.raw('[');
    bool first = true;
    for (const auto& item : value) {
      if (!first) w.raw(',');
      first = false;
      write_value(w, item);
    }
    w.raw(']');
  } else if constexpr (is_variant_v<T>) {
    static_assert(std::variant_size_v<T> == kFormatCount, "per-format variants only");
    w.raw("{\"kind\":");
    w.text(format_name(static_cast<SimFormat>(value.index())));
    w.raw(",\"data\":");
    std::visit([&](const auto& data) { write_value(w, data); }, value);
    w.raw('}');
  } else {
    static_assert(Described<T>, "record without a field list");
    static_assert(omitted_key_is_an_optional_field<T>(),
                  "omitted_when_absent names no optional field");
    w.raw('{');
    bool first = true;
    std::apply([&](const auto&... f) { (write_field(w, first, value, f), ...); }, T::fields());
    w.raw('}');
  }
}

// The compact JSON text of a record, or of a list of records. Every text of the model is
// valid UTF-8, so this does not fail.
template <class T>
std::string write(const T& record) {
  Writer w;
  write_value(w, record);
  return w.take();
}

}  // namespace tolvanex::json
