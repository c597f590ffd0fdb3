// The tar header reader on raw bytes, three ways that must agree entry for entry and in the
// error: from a file, passing over member data by seeking; from memory, reading through it;
// and from memory in one-byte reads.
#include "harness.hpp"
#include "tolvanex/container/tar.hpp"

namespace {

using namespace tvx_fuzz;

// Keeps every path whole.
struct WholePath final : container::TarPathSink {
  std::string text;
  void restart() override { text.clear(); }
  void append(std::string_view bytes) override { text.append(bytes); }
};

std::string entries(ByteSource& source) {
  WholePath path;
  container::TarReader reader(source, path);
  std::string out;
  for (std::size_t n = 0;; ++n) {
    auto entry = reader.next();
    if (!entry) return out + "ERROR " + entry.error().display();
    if (!entry.value()) return out;
    const container::TarEntry& e = *entry.value();
    out += path.text + "|" + e.type + "|" + std::to_string(e.size) + "\n";
    expect(n < 1'000'000, "the reader moves on");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = bytes_of(data, size);
  Scratch& scratch = Scratch::get();
  scratch.fresh();
  auto file = fsio::File::open_read(scratch.write("archive.tar", input));
  if (!file) fail("open", file.error().display());
  FileSource seeking(file.value());
  const std::string seek = entries(seeking);
  MemorySource memory(input);
  expect(entries(memory) == seek, "reading through gives what seeking gives", seek);
  PieceSource bytes(input, 1);
  expect(entries(bytes) == seek, "one-byte reads give what seeking gives", seek);
  return 0;
}
