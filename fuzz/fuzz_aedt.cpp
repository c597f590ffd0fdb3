// AEDT project text, through the driver. The reader's line loop (the splitter passing over
// lines with each kernel, at several read sizes) must keep what the plain rule keeps: each
// line cut at its line feed, decoded, trimmed, tested, and kept while it fits the budget.
#include "harness.hpp"
#include "tolvanex/parsers/hfss.hpp"
#include "tolvanex/text/text.hpp"

namespace {

using namespace tvx_fuzz;
namespace hfss = parsers::hfss;

std::string plain_rule(std::string_view in, std::uint64_t budget) {
  std::string kept;
  bool truncated = false;
  for (std::size_t begin = 0; begin < in.size();) {
    const std::size_t end = std::min(in.find('\n', begin), in.size());
    const std::string line(text::trim_unicode(text::decode_lossy(in.substr(begin, end - begin))));
    begin = end + 1;
    if (!hfss::is_relevant_aedt_line(line)) continue;
    if (kept.size() + line.size() + 1 > budget) truncated = true;
    else kept += line + "\n";
  }
  return kept + (truncated ? "[truncated]" : "");
}

std::string line_loop(std::string_view in, std::uint64_t budget, text::Kernel kernel, std::size_t chunk) {
  PieceSource source(in, chunk);
  auto kept = hfss::keep_relevant_lines(source, budget, {.chunk_size = chunk, .kernel = kernel});
  if (!kept) return "ERROR " + kept.error().display();
  return kept.value().text + (kept.value().truncated ? "[truncated]" : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = bytes_of(data, size);
  inspect_file("project.aedt", input, SimFormat::HfssAedt);
  for (const std::uint64_t budget : {kDefaultByteBudget, std::uint64_t{100}}) {
    const std::string expected = plain_rule(input, budget);
    for (const auto kernel : {text::Kernel::Avx2, text::Kernel::Sse2, text::Kernel::Portable})
      for (const std::size_t chunk : {std::size_t{1}, std::size_t{100}, text::LineSplitter::kDefaultChunkSize})
        expect(line_loop(input, budget, kernel, chunk) == expected, "the line loop keeps what the plain rule keeps",
               expected);
  }
  return 0;
}
