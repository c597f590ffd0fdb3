// The JSON member reading of the COMSOL reader on raw bytes. It streams the member with
// bounded memory; the outcome must be that of nlohmann's plain strict parse of the whole text:
// the same tags, or the same error message. It is read whole and in one-byte reads, which
// must agree to the error position.
#include <algorithm>

#include "harness.hpp"
#include "json_oracle.hpp"
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

// The plain reading: nlohmann's own strict parse of the whole text, a leading 0xEF read as a
// broken literal (a byte-order mark is not skipped); its error message without the position.
// A first pass only checks (the value tree would not tell the depth at which an error stands).
std::string plain(std::string_view input) {
  const std::string text = (!input.empty() && input[0] == '\xEF' ? " " : "") + std::string(input);
  tvx_test::JsonOracle check;
  nlohmann::json::sax_parse(text, &check, nlohmann::json::input_format_t::json, /*strict=*/true);
  if (check.fail_at) return "ERROR " + check.message;
  comsol::TreeInfo tree;
  tvx_test::walk_tags(nlohmann::json::parse(text), tree);
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
