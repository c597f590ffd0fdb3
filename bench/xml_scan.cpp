// Throughput of the XML tokenizer alone and of the readers built on it, without the Python
// hand-over, for finding where the time of a benchmark-table case goes:
//
//   xml_scan tokens FILE [RUNS [KERNEL]]  every event of an XML file, nothing kept
//   xml_scan tags FILE [RUNS [KERNEL]]    only the tag events, as the FloXML reader asks for them
//   xml_scan floxml FILE [RUNS]    the FloXML reader
//   xml_scan comsol FILE [RUNS]    the COMSOL archive reader
//   xml_scan pack FILE [RUNS]      the FloTHERM pack reader
//
// Prints the best of RUNS (default 3) and what was read. KERNEL: auto (default), avx512, avx2,
// sse2, portable.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/markup/xml.hpp"
#include "tolvanex/parsers/readers.hpp"

using namespace tolvanex;

namespace {

text::Kernel kernel = text::Kernel::Auto;

Result<std::string> events(const std::string& path, bool tags_only) {
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path));
  FileSource source(file);
  xml::XmlPullReader reader(source, xml::XmlPullReader::kDefaultBufferSize, kernel);
  if (tags_only) reader.show_only({xml::XmlEventKind::Start, xml::XmlEventKind::Empty, xml::XmlEventKind::End});
  std::string scratch;
  std::uint64_t count = 0;
  for (;; ++count) {
    Result<xml::XmlEvent> ev = reader.next_event(scratch);
    if (!ev) return std::move(ev).error();
    if (ev.value().kind == xml::XmlEventKind::Eof) break;
  }
  return "events " + std::to_string(count);
}

Result<std::string> tokens(const std::string& path) { return events(path, false); }
Result<std::string> tags(const std::string& path) { return events(path, true); }

Result<std::string> floxml(const std::string& path) {
  TVX_TRY_ASSIGN(const FlothermFloxmlSummary s, parsers::flotherm::inspect_flotherm_floxml(path, 2 << 20));
  return "geometry " + std::to_string(s.geometry.size()) + " sources " + std::to_string(s.sources.size());
}

Result<std::string> comsol(const std::string& path) {
  TVX_TRY_ASSIGN(const ComsolMphSummary s, parsers::comsol::inspect_comsol_mph(path));
  return "entries " + std::to_string(s.entries.size()) + " physics tags " + std::to_string(s.physics_tags.size());
}

Result<std::string> pack(const std::string& path) {
  TVX_TRY_ASSIGN(const FlothermPackSummary s, parsers::flotherm::inspect_flotherm_pack(path, 2 << 20));
  return "entries " + std::to_string(s.entry_count) + " listed " + std::to_string(s.entries.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: xml_scan tokens|tags|floxml|comsol|pack FILE [RUNS]\n");
    return 2;
  }
  const std::string mode = argv[1];
  auto* work = mode == "tokens" ? tokens : mode == "tags" ? tags : mode == "floxml" ? floxml : mode == "comsol" ? comsol
             : mode == "pack" ? pack : nullptr;
  if (!work) return std::fprintf(stderr, "unknown mode %s\n", argv[1]), 2;
  const int runs = argc >= 4 ? std::atoi(argv[3]) : 3;
  const std::string k = argc >= 5 ? argv[4] : "auto";
  kernel = k == "avx512" ? text::Kernel::Avx512 : k == "avx2" ? text::Kernel::Avx2 : k == "sse2" ? text::Kernel::Sse2
         : k == "portable" ? text::Kernel::Portable : text::Kernel::Auto;
  double best = 1e300;
  std::string found;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    Result<std::string> result = work(argv[2]);
    const auto t1 = std::chrono::steady_clock::now();
    if (!result) return std::fprintf(stderr, "%s\n", result.error().display().c_str()), 1;
    found = std::move(result).value();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  std::printf("seconds %.4f %s\n", best, found.c_str());
  return 0;
}
