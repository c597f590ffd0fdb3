// What the readers of one inspect or scan call share. The driver and the scan make one per
// call and drop it when the call returns, on every path, errors included: nothing of it
// outlives the call. Readers that need none of it ignore it.
#pragma once

#include "tolvanex/hdf5/worker.hpp"

namespace tolvanex {

struct CallContext {
  explicit CallContext(hdf5::ContainOptions hdf5_options = {}) : hdf5(hdf5_options) {}

  // Started at the first HDF5 file the call reads, reused for the later ones, ended and
  // reaped with the call.
  hdf5::Hdf5Worker hdf5;
};

}  // namespace tolvanex
