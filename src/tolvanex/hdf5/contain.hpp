// Containment of the HDF5 library. libhdf5 trusts the files it reads: on some damaged files
// it recurses until the stack overflows, loops forever or allocates without end. So the
// HDF5 part of a call runs in a worker process, a fork of the caller made at the first
// request: it takes requests one at a time over a socket and answers each with signs of life
// while it works, then one frame. A crash, an abnormal exit or a long silence becomes an
// Hdf5InspectError saying that the library failed on this file; the caller's process never
// initialises the library at all.
//
// One worker serves all the HDF5 files of one call, so the fork (whose cost grows with the
// caller's address space) and the library's start-up are paid once per call, not per file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <string_view>

#include "tolvanex/hdf5/error.hpp"
#include "tolvanex/hdf5/progress.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/io/interrupt.hpp"

namespace tolvanex::hdf5 {

struct ContainOptions {
  // The worker is ended when it sends nothing for this long while it owes an answer.
  std::chrono::milliseconds stall_limit{30'000};
  // Address space the worker may add to what it inherits before allocations fail.
  std::uint64_t memory_headroom = std::uint64_t{2} << 30;
};

// "HDF5 library failed on this file ({why})".
Hdf5InspectError library_failed(const std::string& why);

// What the worker does with one request, in its own process: the answer's bytes or an error
// message for the caller. `input` is the file sent with the request (not open when none was).
using ServeRequest =
    std::function<Hdf5Result<std::string>(std::string_view request, fsio::File& input, Progress&)>;

// A contained worker process that answers requests one at a time. It is started by the first
// ask and reused while its answers are answers; any failure (an error answer, a crash, an
// abnormal exit, a stall, a malformed answer) ends it, and a later ask starts a new one.
// A worker found gone before it took a request (killed while idle) is replaced at once, and
// the request goes to the new one: only a request that a worker took can fail for its end.
// The destructor ends and reaps it, so no process outlives the owner.
//
// While an answer is awaited, `interrupt` (when given) is asked at a steady pace; when it
// says stop, the worker is ended and reaped and the ask fails.
class ContainedWorker {
 public:
  explicit ContainedWorker(ServeRequest serve, ContainOptions options = {},
                           fsio::Interrupt* interrupt = nullptr);
  ~ContainedWorker();
  ContainedWorker(const ContainedWorker&) = delete;
  ContainedWorker& operator=(const ContainedWorker&) = delete;

  // `input`, unless -1, is a descriptor the worker gets a copy of with the request.
  Hdf5Result<std::string> ask(std::string_view request, int input = -1);

  // How many worker processes this object has started.
  std::uint64_t starts() const { return starts_; }
  bool running() const { return pid_ > 0; }

  // Ends the worker, if one runs, and returns `error`.
  Hdf5InspectError retire(Hdf5InspectError error);

 private:
  Hdf5Status start();
  // One request to the running worker and its answer; `untaken` is set when the worker was
  // found gone before it took the request.
  Hdf5Result<std::string> exchange(std::string_view request, int input, bool& untaken);
  // The worker closed its end: collects it and says how it ended.
  Hdf5InspectError ended();

  ServeRequest serve_;
  ContainOptions options_;
  fsio::Interrupt* interrupt_;
  pid_t pid_ = -1;
  int socket_ = -1;
  std::uint64_t starts_ = 0;
};

// Room for `bytes` more in the process's address-space cap, given back when it goes: the
// worker's cap bounds what the library makes of a file, not the file's own image.
class AddressRoom {
 public:
  AddressRoom() = default;
  explicit AddressRoom(std::uint64_t bytes);
  AddressRoom(AddressRoom&& other) noexcept : added_(std::exchange(other.added_, 0)) {}
  AddressRoom& operator=(AddressRoom&& other) noexcept {
    std::swap(added_, other.added_);
    return *this;
  }
  ~AddressRoom();

 private:
  std::uint64_t added_ = 0;
};

// The whole file at `path`, held once in memory. "I/O error: {os text}" on failure.
class FileImage {
 public:
  static Hdf5Result<FileImage> read(const std::string& path, Progress& progress);
  static Hdf5Result<FileImage> read(fsio::File& file, Progress& progress);
  std::string_view bytes() const { return {data_.get(), size_}; }

 private:
  AddressRoom room_;  // made before data_ is allocated, given back after it is freed
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

}  // namespace tolvanex::hdf5
