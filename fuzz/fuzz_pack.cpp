// FloTHERM pack archives (ZIP), through the driver: full and compact records checked.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tvx_fuzz::inspect_file("model.pack", tvx_fuzz::bytes_of(data, size), tolvanex::SimFormat::FlothermPack);
  return 0;
}
