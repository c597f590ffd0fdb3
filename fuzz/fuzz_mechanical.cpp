// Mechanical databases (HDF5), through the driver and its contained child: full and compact records checked.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tvx_fuzz::inspect_hdf5("model.mechdb", tvx_fuzz::bytes_of(data, size), tolvanex::SimFormat::AnsysMechanical);
  return 0;
}
