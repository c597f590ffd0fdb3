// The text layer on raw bytes, each part against a second way to the same answer: streaming
// UTF-8 decoding and validation against the whole-input helpers, budgeted texts fed in pieces
// against whole, and the line splitter with every kernel and several read sizes against a
// plain loop over the lines. Pieces are cut where the input's own bytes say.
#include "harness.hpp"
#include "tolvanex/text/budgeted_text.hpp"
#include "tolvanex/text/lines.hpp"
#include "tolvanex/text/text.hpp"

namespace {

using namespace tvx_fuzz;

// Pieces of 1 to 6 bytes, their lengths taken from the bytes themselves, and an empty piece
// where a length would be 0.
std::vector<std::string_view> pieces(std::string_view s) {
  std::vector<std::string_view> out;
  for (std::size_t at = 0; at < s.size();) {
    std::size_t n = std::min<std::size_t>(static_cast<unsigned char>(s[at]) % 7, s.size() - at);
    if (n == 0) out.emplace_back(), n = 1;
    out.push_back(s.substr(at, n));
    at += n;
  }
  return out;
}

constexpr text::LineStarts kStarts("*$<");

class Collect final : public text::TextSink {
 public:
  void piece(std::string_view bytes) override { text.append(bytes); }
  std::uint64_t room() const override { return 0; }
  void unheld_space(std::uint64_t) override {}
  std::string text;
};

std::string split_lines(std::string_view input, text::Kernel kernel, std::size_t chunk) {
  PieceSource source(input, chunk);
  text::LineSplitter lines(source, kStarts, {.chunk_size = chunk, .kernel = kernel});
  std::string out;
  for (std::size_t n = 0;; ++n) {
    auto more = lines.next();
    if (!more) fail("a memory source does not fail");
    if (!more.value()) return out;
    out.append(lines.head(text::LineSplitter::kMaxHead)).append("|");
    if (n % 2) {  // every other line read, the others skipped
      Collect rest;
      if (!lines.read(rest)) fail("a memory source does not fail");
      out.append(rest.text);
    }
    out.append("\n");
  }
}

// The lines whose first character that is not White_Space starts with a byte of the set.
std::string plain_lines(std::string_view input) {
  std::string out;
  std::size_t n = 0;
  for (std::size_t begin = 0; begin < input.size();) {
    const std::size_t lf = input.find('\n', begin);
    const std::size_t end = lf == std::string_view::npos ? input.size() : lf + 1;
    std::string_view line = input.substr(begin, end - begin);
    begin = end;
    std::size_t len = 0;
    while (!line.empty() && line[0] != '\n' && text::is_white_space(text::decode_at(line, 0, len)))
      line.remove_prefix(len);
    if (line.empty() || line[0] == '\n' || !kStarts[static_cast<unsigned char>(line[0])]) continue;
    out.append(line.substr(0, std::min({line.find('\n'), text::LineSplitter::kMaxHead, line.size()}))).append("|");
    if (n++ % 2) out.append(line);
    out.append("\n");
  }
  return out;
}

std::string budgeted(const std::vector<std::string_view>& parts, std::uint64_t limit) {
  text::BudgetedText t;
  t.begin(limit);
  for (const auto part : parts) t.piece(part);
  const bool held = t.finish();
  return std::to_string(held) + "|" + std::to_string(std::min<std::uint64_t>(t.size(), limit + 1)) + "|" +
         (held ? std::string(t.kept()) : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = bytes_of(data, size);
  const auto parts = pieces(input);

  const std::string lossy = text::decode_lossy(input);
  expect(text::is_valid_utf8(lossy), "lossy decoding gives UTF-8");
  text::LossyDecoder decoder;
  text::Utf8Validator validator;
  std::string streamed;
  for (const auto part : parts) {
    decoder.feed(part, streamed);
    validator.feed(part);
  }
  decoder.finish(streamed);
  expect(streamed == lossy, "lossy decoding streamed as whole");
  const bool valid = text::is_valid_utf8(input);
  expect(validator.finish() == valid, "validation streamed as whole");
  expect(valid == (lossy == input), "valid exactly when decoding changes nothing");

  const std::string_view trimmed = text::trim_unicode(lossy);
  for (const std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{5}, std::uint64_t{1} << 30}) {
    const std::string whole = budgeted({input}, limit);
    expect(budgeted(parts, limit) == whole, "budgeted text in pieces as whole", whole);
    if (trimmed.size() <= limit) expect(whole == "1|" + std::to_string(trimmed.size()) + "|" + std::string(trimmed),
                                        "a text within its limit is kept trimmed", whole);
  }

  const std::string expected = plain_lines(input);
  for (const auto kernel : {text::Kernel::Avx512, text::Kernel::Avx2, text::Kernel::Sse2, text::Kernel::Portable})
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{70}, text::LineSplitter::kDefaultChunkSize})
      expect(split_lines(input, kernel, chunk) == expected, "lines split as the plain loop splits them", expected);
  return 0;
}
