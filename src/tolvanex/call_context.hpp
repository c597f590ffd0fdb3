// What the readers of one inspect or scan call share. The driver and the scan make one per
// call and drop it when the call returns, on every path, errors included: nothing of it
// outlives the call. Readers that need none of it ignore it.
#pragma once

#include "tolvanex/hdf5/worker.hpp"
#include "tolvanex/io/interrupt.hpp"

namespace tolvanex {

struct CallContext {
  explicit CallContext(hdf5::ContainOptions hdf5_options = {}, fsio::Interrupt stop = {})
      : interrupt(stop), hdf5(hdf5_options, &interrupt) {}
  CallContext(const CallContext&) = delete;
  CallContext& operator=(const CallContext&) = delete;

  // The caller's way to stop the call; the files, the walk and the worker of the call ask it.
  fsio::Interrupt interrupt;
  // Started at the first HDF5 file the call reads, reused for the later ones, ended and
  // reaped with the call.
  hdf5::Hdf5Worker hdf5;
};

}  // namespace tolvanex
