// Abaqus decks with include files. The input, cut at each "\n%%\n", is the deck main.inp and
// the include files inc1.inc, sub/inc2.inc, inc3.inc, sub/inc4.inc, ... beside it, so that
// includes resolve relative to a deck's own directory, miss, repeat and run in cycles. Read
// through the driver, and again with one-byte reads, one deck open at a time and the portable
// kernel: the record must not change.
#include "harness.hpp"
#include "tolvanex/parsers/abaqus.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tvx_fuzz;
  Scratch& scratch = Scratch::get();
  scratch.fresh();
  const auto files = split(bytes_of(data, size), "\n%%\n");
  std::string main;
  for (std::size_t i = 0; i < files.size() && i < 8; ++i) {
    const std::string name = i == 0 ? "main.inp" : (i % 2 ? "" : "sub/") + ("inc" + std::to_string(i) + ".inc");
    const std::string path = scratch.write(name, files[i]);
    if (i == 0) main = path;
  }
  const std::string record = inspect(main, SimFormat::AbaqusInp);
  namespace abaqus = parsers::abaqus;
  const auto summary = [](const Result<AbaqusInpSummary>& r) {
    return r ? json::write(r.value()) : "ERROR " + r.error().display();
  };
  const std::string plain = summary(abaqus::inspect_abaqus_inp(main));
  const abaqus::DeckReadOptions slow{.chunk_size = 1, .max_open_decks = 1, .kernel = text::Kernel::Portable};
  expect(summary(abaqus::inspect_abaqus_inp(main, slow)) == plain, "deck read alike in one-byte reads", plain);
  expect(record.rfind("ERROR ", 0) == 0 ? record == plain : record.find(plain) != std::string::npos,
         "the driver's record holds the reader's summary", record);
  return 0;
}
