// The use of libhdf5: opening a file image held in memory, the library's errors as
// messages, and owned identifiers. Only the process that runs an inspection's HDF5 part
// (see contain.hpp) ever calls into the library.
#pragma once

#include <hdf5.h>

#include <string>
#include <string_view>

#include "tolvanex/hdf5/error.hpp"

namespace tolvanex::hdf5 {

// An identifier of the library, closed with its own close function at scope end.
class Handle {
 public:
  using Closer = herr_t (*)(hid_t);
  Handle() = default;
  Handle(hid_t id, Closer close) : id_(id), close_(close) {}
  Handle(Handle&& other) noexcept : id_(other.id_), close_(other.close_) { other.id_ = -1; }
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  hid_t get() const { return id_; }
  explicit operator bool() const { return id_ >= 0; }
  void reset();

 private:
  hid_t id_ = -1;
  Closer close_ = nullptr;
};

// The error the library left on its error stack for the call that just failed, as the
// message of an Hdf5InspectError: "I/O error: {}", "HDF5 format error: {}" or
// "missing required message: {}". Clears the stack.
Hdf5InspectError to_err();

// The id when it is valid, else to_err() of the failed call.
Hdf5Result<Handle> checked(hid_t id, Handle::Closer close);

// An HDF5 file opened read-only from `image`, which is not copied and must outlive the file.
// Also turns off the library's automatic error printing in this process.
Hdf5Result<Handle> open_image(std::string_view image);

}  // namespace tolvanex::hdf5
