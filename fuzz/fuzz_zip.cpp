// The ZIP container with every codec: the input is an archive; each entry is opened and read
// to its end (or to a cap, past which a bomb is only cut), in reads of 7 bytes and of 64 KiB.
// Both must give the same bytes and the same error, and a directory listing must be sane.
#include "harness.hpp"
#include "tolvanex/container/zip.hpp"

namespace {

using namespace tvx_fuzz;
using container::ZipArchive;

constexpr std::size_t kCap = 1 << 20;

std::string read_entries(const std::string& path, std::size_t step) {
  auto file = fsio::File::open_read(path);
  if (!file) fail("open", file.error().display());
  auto zip = ZipArchive::open(std::move(file).value());
  if (!zip) return "ERROR " + zip.error().display();
  std::string out;
  for (std::size_t i = 0; i < zip.value().entry_count(); ++i) {
    const auto& entry = zip.value().entry(i);
    expect(text::is_valid_utf8(entry.name), "entry names are UTF-8", entry.name);
    expect(entry.directory == (!entry.name.empty() && entry.name.back() == '/'), "directory flag by name");
    out += entry.name + "|" + std::to_string(entry.uncompressed_size) + ":";
    auto reader = zip.value().open_entry(i);
    if (!reader) {
      out += "ERROR " + reader.error().display() + "\n";
      continue;
    }
    const std::string content = drain(reader.value(), step, kCap);
    if (content.rfind("ERROR ", 0) != 0 && content.size() < kCap)
      expect(content.size() == entry.uncompressed_size, "an entry read to its end has its size", out);
    out += content + "\n";
  }
  expect(!zip.value().open_entry(zip.value().entry_count()), "an index past the end is an error");
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Scratch& scratch = Scratch::get();
  scratch.fresh();
  const std::string path = scratch.write("archive.zip", bytes_of(data, size));
  const std::string big = read_entries(path, 1 << 16);
  expect(read_entries(path, 7) == big, "entries read alike in 7-byte and 64 KiB reads", big);
  return 0;
}
