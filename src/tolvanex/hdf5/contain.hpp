// Containment of the HDF5 library. libhdf5 trusts the files it reads: on some damaged files
// it recurses until the stack overflows, loops forever or allocates without end. So the
// HDF5 part of an inspection runs in a child process: the caller reads the file into
// memory, forks, and the child (which shares that image) opens it, builds the summary and
// sends it back over a pipe, with signs of life while it works. A crash, an abnormal exit
// or a long silence becomes an Hdf5InspectError saying that the library failed on this
// file; the caller's process never initialises the library at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "tolvanex/hdf5/error.hpp"
#include "tolvanex/hdf5/progress.hpp"
#include "tolvanex/hdf5/wire.hpp"

namespace tolvanex::hdf5 {

struct ContainOptions {
  // The child is ended when it sends nothing for this long.
  std::chrono::milliseconds stall_limit{30'000};
  // Address space the child may add to what it inherits before allocations fail.
  std::uint64_t memory_headroom = std::uint64_t{2} << 30;
};

// "HDF5 library failed on this file ({why})".
Hdf5InspectError library_failed(const std::string& why);

// Runs `work` in a child process and returns the bytes it answered with, or its error.
using ChildWork = std::function<Hdf5Result<std::string>(Progress&)>;
Hdf5Result<std::string> run_in_child(const ChildWork& work, const ContainOptions& options);

// Runs `work` (Progress& -> Hdf5Result<T>) in a child process; its record comes back whole.
template <class T, class Work>
Hdf5Result<T> run_contained(Work&& work, const ContainOptions& options) {
  auto reply = run_in_child(
      [&](Progress& progress) -> Hdf5Result<std::string> {
        Hdf5Result<T> result = work(progress);
        if (!result) return std::move(result).error();
        return wire::encode(result.value());
      },
      options);
  if (!reply) return std::move(reply).error();
  auto value = wire::decode<T>(reply.value());
  if (!value) return library_failed("its answer was malformed");
  return std::move(*value);
}

// The whole file at `path`, held once in memory. "I/O error: {os text}" on failure.
class FileImage {
 public:
  static Hdf5Result<FileImage> read(const std::string& path);
  std::string_view bytes() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

}  // namespace tolvanex::hdf5
