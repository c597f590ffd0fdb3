// FloXML files, through the driver: full and compact records checked. The `.xml` root probe
// reads the same bytes: a file that the reader takes has a FloXML root, so the probe must
// say so, and detection of a `.xml` copy must agree with the probe.
#include "harness.hpp"
#include "tolvanex/parsers/readers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tvx_fuzz;
  const std::string_view input = bytes_of(data, size);
  const std::string path = inspect_file("case.floxml", input, SimFormat::FlothermFloxml);
  const bool root = parsers::flotherm::has_flotherm_root(path);
  if (inspect(path, SimFormat::FlothermFloxml).rfind("ERROR ", 0) != 0)
    expect(root, "a file the reader takes has a FloXML root");
  const std::string xml = Scratch::get().write("case.xml", input);
  expect(dispatch::detect_format(xml) == (root ? std::optional(SimFormat::FlothermFloxml) : std::nullopt),
         "detection of .xml follows the root probe");
  return 0;
}
