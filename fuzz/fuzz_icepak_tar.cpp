// Icepak archives: a tar stream, plain or gzip-wrapped as the input has it, through the driver: full and compact records checked.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tvx_fuzz::inspect_file("model.tzr", tvx_fuzz::bytes_of(data, size), tolvanex::SimFormat::IcepakTzr);
  return 0;
}
