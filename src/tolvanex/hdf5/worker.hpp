// The HDF5 worker of one inspect or scan call: a contained process (contain.hpp) that reads
// each file whole (opened by the caller and handed over), opens it with libhdf5, builds the
// record and sends it back whole. The caller holds no file image and never calls into the
// library; the worker is started at the first HDF5 file of the call, serves every later one,
// and ends with its owner.
#pragma once

#include <cstdint>
#include <string>

#include "tolvanex/hdf5/contain.hpp"
#include "tolvanex/hdf5/error.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex::hdf5 {

class Hdf5Worker {
 public:
  // `interrupt`, when given, is asked while a file is opened and while the worker is waited
  // on (see ContainedWorker).
  explicit Hdf5Worker(ContainOptions options = {}, fsio::Interrupt* interrupt = nullptr);

  Hdf5Result<FluentHdf5Summary> fluent(const std::string& path);
  // Everything but the sidecars, which the caller looks up on disk.
  Hdf5Result<MechanicalMechdbSummary> mechanical(const std::string& path, std::uint64_t byte_budget);

  const ContainedWorker& process() const { return process_; }

 private:
  template <class T>
  Hdf5Result<T> ask(const std::string& path, const std::string& request);

  ContainedWorker process_;
  fsio::Interrupt* interrupt_;
};

}  // namespace tolvanex::hdf5
