// AEDTZ archives (ZIP with the project text as a member), through the driver: full and compact records checked.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tvx_fuzz::inspect_file("project.aedtz", tvx_fuzz::bytes_of(data, size), tolvanex::SimFormat::HfssAedt);
  return 0;
}
