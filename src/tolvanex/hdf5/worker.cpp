#include "tolvanex/hdf5/worker.hpp"

#include "tolvanex/hdf5/inspectors.hpp"
#include "tolvanex/hdf5/wire.hpp"

namespace tolvanex::hdf5 {
namespace {

// A request: the job's letter and the byte budget; the file comes with it, opened.
enum class Job : char { Fluent = 'F', Mechanical = 'M' };

std::string request(Job job, std::uint64_t byte_budget) {
  std::string out(1, static_cast<char>(job));
  wire::put(out, byte_budget);
  return out;
}

template <class T>
Hdf5Result<std::string> encoded(Hdf5Result<T> record) {
  if (!record) return std::move(record).error();
  return wire::encode(record.value());
}

// In the worker's process: the file read whole, opened from memory and summarised.
Hdf5Result<std::string> serve(std::string_view bytes, fsio::File& input, Progress& progress) {
  std::uint64_t budget = 0;
  wire::Reader in(bytes.substr(bytes.empty() ? 0 : 1));
  const bool known = !bytes.empty() && (bytes[0] == static_cast<char>(Job::Fluent) ||
                                        bytes[0] == static_cast<char>(Job::Mechanical));
  if (!known || !wire::get(in, budget) || !in.done() || input.fd() < 0)
    return Hdf5InspectError{"the request was malformed"};
  TVX_TRY_ASSIGN(const FileImage image, FileImage::read(input, progress));
  if (static_cast<Job>(bytes[0]) == Job::Fluent) return encoded(fluent_summary(image.bytes(), progress));
  return encoded(mechanical_summary(image.bytes(), budget, progress));
}

}  // namespace

Hdf5Worker::Hdf5Worker(ContainOptions options, fsio::Interrupt* interrupt)
    : process_(serve, options, interrupt), interrupt_(interrupt) {}

template <class T>
Hdf5Result<T> Hdf5Worker::ask(const std::string& path, const std::string& request) {
  // The file is opened here and handed over open: an open that waits (a FIFO without a
  // writer) then waits in the caller, which can be interrupted, and is never taken for the
  // library stalling.
  auto file = fsio::File::open_read(path, interrupt_);
  if (!file) {
    if (file.error().kind() == ErrorKind::Interrupted) return Hdf5InspectError{"interrupted"};
    return Hdf5InspectError{"I/O error: " + file.error().payload()};
  }
  auto reply = process_.ask(request, file.value().fd());
  if (!reply) return std::move(reply).error();
  auto value = wire::decode<T>(reply.value());
  if (!value) return process_.retire(library_failed("its answer was malformed"));
  return std::move(*value);
}

Hdf5Result<FluentHdf5Summary> Hdf5Worker::fluent(const std::string& path) {
  return ask<FluentHdf5Summary>(path, request(Job::Fluent, 0));
}

Hdf5Result<MechanicalMechdbSummary> Hdf5Worker::mechanical(const std::string& path, std::uint64_t byte_budget) {
  return ask<MechanicalMechdbSummary>(path, request(Job::Mechanical, byte_budget));
}

}  // namespace tolvanex::hdf5
