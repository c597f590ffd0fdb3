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

std::string tags_of(comsol::TreeInfo& tree) {
  std::string out;
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

// The plain reading: nlohmann's own parse of the whole text into a value tree, failing at the
// bracket that opens the 128th level, a leading 0xEF read as a broken literal (a byte-order
// mark is not skipped). Its error message as the reader words it, without the position.
struct TooDeep {};

std::string message_of(std::string what) {
  what.erase(0, what.find("] ") + 2);
  if (what.starts_with("parse error")) what.erase(0, what.find(": ") + 2);
  if (what.starts_with("number overflow parsing ")) return "number overflow";
  if (const auto echo = what.find("; last read: '"); echo != std::string::npos) {
    const auto expected = what.rfind("'; expected");
    what.erase(echo, (expected == std::string::npos || expected < echo ? what.size() - 1 : expected) + 1 - echo);
  }
  return what;
}

std::string plain(std::string_view input) {
  const std::string text = (!input.empty() && input[0] == '\xEF' ? " " : "") + std::string(input);
  nlohmann::json dom;
  try {
    dom = nlohmann::json::parse(text, [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
      using E = nlohmann::json::parse_event_t;
      if ((event == E::object_start || event == E::array_start) && depth >= 127) throw TooDeep{};
      return true;
    });
  } catch (const TooDeep&) {
    return "ERROR recursion limit exceeded";
  } catch (const nlohmann::json::exception& ex) {
    return "ERROR " + message_of(ex.what());
  }
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
  const std::string reference = plain(input);
  if (reference.starts_with("ERROR "))
    expect(whole.starts_with("ERROR json error: " + reference.substr(6) + " at line "),
           "the feed fails as the plain parse fails", whole + "\n----\n" + reference);
  else
    expect(whole == reference, "the feed keeps the tags of the plain parse", whole + "\n----\n" + reference);
  return 0;
}
