// Writing records as compact JSON. Every record is written from its field list (see
// schema.hpp), so the full and the compact form share one writer.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "tolvanex/schema.hpp"

namespace tolvanex::json {

using Json = nlohmann::ordered_json;

namespace detail {
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};
template <class T>
struct is_variant : std::false_type {};
template <class... T>
struct is_variant<std::variant<T...>> : std::true_type {};
}  // namespace detail

template <class T>
Json to_json(const T& value);

template <class Record, class Member>
void write_field(Json& object, const Record& record, const Field<Record, Member>& f) {
  const Member& value = record.*(f.member);
  if constexpr (detail::is_optional<Member>::value) {
    if (f.presence == Presence::OmitWhenAbsent && !value) return;
  }
  object.emplace(std::string(f.key), to_json(value));
}

// Texts, unsigned numbers, bools, optionals (null when absent), lists, described records,
// and per-format variants ({"kind": format name, "data": record}).
template <class T>
Json to_json(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return Json(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return Json(value);
  } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::uint32_t>) {
    return Json(value);
  } else if constexpr (std::is_same_v<T, SimFormat>) {
    return Json(std::string(format_name(value)));
  } else if constexpr (detail::is_optional<T>::value) {
    return value ? to_json(*value) : Json(nullptr);
  } else if constexpr (detail::is_vector<T>::value) {
    Json array = Json::array();
    for (const auto& item : value) array.push_back(to_json(item));
    return array;
  } else if constexpr (detail::is_variant<T>::value) {
    static_assert(std::variant_size_v<T> == kFormatCount, "per-format variants only");
    Json object = Json::object();
    object.emplace("kind", std::string(format_name(static_cast<SimFormat>(value.index()))));
    std::visit([&](const auto& data) { object.emplace("data", to_json(data)); }, value);
    return object;
  } else {
    static_assert(Described<T>, "record without a field list");
    Json object = Json::object();
    std::apply([&](const auto&... f) { (write_field(object, value, f), ...); }, T::fields());
    return object;
  }
}

// Compact text: no whitespace, keys in field order, only '"', '\' and U+0000..U+001F
// escaped. Every text of the model is valid UTF-8, so this does not fail.
inline std::string dump(const Json& value) { return value.dump(); }

template <class T>
std::string write(const T& record) {
  return dump(to_json(record));
}

}  // namespace tolvanex::json
