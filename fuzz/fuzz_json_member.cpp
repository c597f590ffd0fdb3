// The JSON member feed of the COMSOL reader on raw bytes. The feed rewrites what nlohmann's
// parser sees so that its memory stays bounded; the outcome must be that of a plain strict
// parse of the whole text: the same tags, or the same error message. It is read whole and in
// one-byte reads, which must agree to the error position.
#include <algorithm>

#include "harness.hpp"
#include "tolvanex/parsers/comsol.hpp"

namespace {

using namespace tvx_fuzz;
namespace comsol = parsers::comsol;

// Tags are any text, so a success is marked as well as an error.
std::string tags_of(comsol::TreeInfo& tree) {
  std::string out = "TAGS ";
  for (const auto& list : tree.tags) {
    for (const auto& tag : list) out += tag + ",";
    out += ";";
  }
  return out;
}

std::string feed(ByteSource& source) {
  comsol::TreeInfo tree;
  const Status st = comsol::read_smodel(source, tree);
  return st ? tags_of(tree) : "ERROR " + st.error().display();
}

// The plain reading: nlohmann's own parse of the whole text, failing at the bracket that
// opens the 128th level, a leading 0xEF read as a broken literal (a byte-order mark is not
// skipped); its error message as the reader words it, without the position. A first pass
// only checks (the value tree would not tell the depth at which an error stands).
class Check final : public nlohmann::json_sax<nlohmann::json> {
 public:
  std::optional<std::string> error;
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
  bool end_object() override { return --depth_, true; }
  bool end_array() override { return --depth_, true; }
  bool parse_error(std::size_t, const std::string& last_token, const nlohmann::detail::exception& ex) override {
    std::string what = ex.what();
    what.erase(0, what.find("] ") + 2);
    if (what.starts_with("parse error")) what.erase(0, what.find(": ") + 2);
    if (what.starts_with("number overflow parsing ")) what = "number overflow";
    if (const auto at = what.find("; last read: '" + last_token + "'"); at != std::string::npos)
      what.erase(at, last_token.size() + 15);
    error = what;
    return false;
  }

 private:
  bool open() {
    if (++depth_ < 128) return true;
    error = "recursion limit exceeded";
    return false;
  }
  std::size_t depth_ = 0;
};

std::string plain(std::string_view input) {
  const std::string text = (!input.empty() && input[0] == '\xEF' ? " " : "") + std::string(input);
  Check check;
  nlohmann::json::sax_parse(text, &check, nlohmann::json::input_format_t::json, /*strict=*/true);
  if (check.error) return "ERROR " + *check.error;
  const nlohmann::json dom = nlohmann::json::parse(text);
  comsol::TreeInfo tree;
  const auto walk = [&](const auto& self, const nlohmann::json& v) -> void {
    if (v.is_object()) {
      // "apiClass" names the kind when present; "type" only in its absence.
      const auto cls = v.contains("apiClass") ? v.find("apiClass") : v.find("type");
      if (v.contains("tag") && v["tag"].is_string() && cls != v.end() && cls->is_string())
        if (auto kind = comsol::node_kind(cls->get<std::string>()))
          tree.tags_of(*kind).push_back(v["tag"].get<std::string>());
    }
    if (v.is_structured())
      for (const auto& item : v) self(self, item);
  };
  walk(walk, dom);
  tree.sort_tags();
  return tags_of(tree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = bytes_of(data, size);
  MemorySource whole_source(input);
  const std::string whole = feed(whole_source);
  PieceSource bytes_source(input, 1);
  expect(feed(bytes_source) == whole, "the feed reads alike in one-byte reads", whole);
  // nlohmann takes a NUL byte between tokens for the end of input; the feed reads it as the
  // control byte it is. Where one stands, the plain parse tells nothing.
  if (input.find('\0') != std::string_view::npos) return 0;
  const std::string reference = plain(input);
  if (reference.starts_with("ERROR "))
    expect(whole.starts_with("ERROR json error: " + reference.substr(6) + " at line "),
           "the feed fails as the plain parse fails", whole + "\n----\n" + reference);
  else
    expect(whole == reference, "the feed keeps the tags of the plain parse", whole + "\n----\n" + reference);
  return 0;
}
