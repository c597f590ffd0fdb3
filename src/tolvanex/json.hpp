// Writing records as compact JSON. Every record is written from its field list (see
// schema.hpp), so the full and the compact form share one writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "tolvanex/nlohmann_json.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex::json {

using Json = nlohmann::ordered_json;


// Writes JSON text in one pass into one growing buffer, straight from the typed records:
// the structure ("{", ",", ":", "[") is written here, and every leaf (text, number, bool,
// null) by nlohmann's own serializer in its default dump() form, so texts are escaped
// exactly as dump() escapes them (only '"', '\\' and U+0000..U+001F; UTF-8 kept as is).
class Writer {
 public:
  Writer() : serializer_(nlohmann::detail::output_adapter<char>(out_), ' ') { out_.reserve(128); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void raw(char c) { out_.push_back(c); }
  void raw(std::string_view s) { out_.append(s); }
  template <class Leaf>
  void leaf(Leaf&& value) {
    serializer_.dump(Json(std::forward<Leaf>(value)), false, false, 0);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;  // declared first: the serializer holds a reference to it
  nlohmann::detail::serializer<Json> serializer_;
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
  if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool> ||
                std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::uint32_t>) {
    w.leaf(value);
  } else if constexpr (std::is_same_v<T, SimFormat>) {
    w.leaf(std::string(format_name(value)));
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
    w.leaf(std::string(format_name(static_cast<SimFormat>(value.index()))));
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
