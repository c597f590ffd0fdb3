// nlohmann's own strict parse of a whole JSON text: the reference that the COMSOL reader's
// bounded JSON feed is held against, in the tests and in the fuzz target.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "json_value.hpp"
#include "tolvanex/parsers/comsol.hpp"

namespace tvx_test {

// Fails at the bracket that opens the 128th level (fail_at SIZE_MAX: its place is the caller's
// to find) or where nlohmann fails (fail_at its byte count), with the message worded as the
// reader words it, without the position.
struct JsonOracle final : nlohmann::json_sax<nlohmann::json> {
  std::size_t depth = 0;
  std::optional<std::size_t> fail_at;
  std::string message;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool key(string_t&) override { return true; }
  bool start_object(std::size_t) override { return open(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_object() override { return --depth, true; }
  bool end_array() override { return --depth, true; }
  bool open() {
    if (++depth < 128) return true;
    message = "recursion limit exceeded";
    fail_at = SIZE_MAX;
    return false;
  }
  bool parse_error(std::size_t p, const std::string& last, const nlohmann::detail::exception& ex) override {
    std::string what = ex.what();
    what.erase(0, what.find("] ") + 2);
    if (what.starts_with("parse error")) what.erase(0, what.find(": ") + 2);
    if (what.starts_with("number overflow")) what = "number overflow";
    const std::string echo = "; last read: '" + last + "'";
    if (const auto at = what.find(echo); at != std::string::npos) what.erase(at, echo.size());
    message = what;
    fail_at = p;
    return false;
  }
};

// The tags of a parsed text, walked plainly on its value tree: an object's "apiClass" names
// its kind when present, "type" only in its absence.
inline void walk_tags(const nlohmann::json& v, tolvanex::parsers::comsol::TreeInfo& tree) {
  if (v.is_object()) {
    const auto cls = v.contains("apiClass") ? v.find("apiClass") : v.find("type");
    const auto tag = v.find("tag");
    if (tag != v.end() && tag->is_string() && cls != v.end() && cls->is_string())
      if (const auto kind = tolvanex::parsers::comsol::node_kind(cls->get<std::string>()))
        tree.tags_of(*kind).push_back(tag->get<std::string>());
  }
  if (v.is_structured())
    for (const auto& item : v) walk_tags(item, tree);
}

}  // namespace tvx_test
