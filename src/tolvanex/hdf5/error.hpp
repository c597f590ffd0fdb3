// The error of the HDF5 inspectors: one message, shown as "hdf5 read failed: {message}".
// The glue in parsers/ wraps it as the driver's "hdf5 error: {}" variant.
#pragma once

#include <string>

#include "tolvanex/error.hpp"

namespace tolvanex::hdf5 {

struct Hdf5InspectError {
  std::string message;
  std::string display() const { return "hdf5 read failed: " + message; }
  friend bool operator==(const Hdf5InspectError&, const Hdf5InspectError&) = default;
};

template <class T>
using Hdf5Result = Result<T, Hdf5InspectError>;
using Hdf5Status = Hdf5Result<Unit>;

// "I/O error: {description} (os error {n})".
inline Hdf5InspectError io_error(int err) { return {"I/O error: " + os_error_text(err)}; }

}  // namespace tolvanex::hdf5
