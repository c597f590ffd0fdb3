#include "tolvanex/hdf5/worker.hpp"

#include "tolvanex/hdf5/inspectors.hpp"
#include "tolvanex/hdf5/wire.hpp"

namespace tolvanex::hdf5 {
namespace {

// A request: the job's letter, the byte budget, the path's raw bytes.
enum class Job : char { Fluent = 'F', Mechanical = 'M' };

std::string request(Job job, const std::string& path, std::uint64_t byte_budget) {
  std::string out(1, static_cast<char>(job));
  wire::put(out, byte_budget);
  wire::put(out, path);
  return out;
}

template <class T>
Hdf5Result<std::string> encoded(Hdf5Result<T> record) {
  if (!record) return std::move(record).error();
  return wire::encode(record.value());
}

// In the worker's process: the file read whole, opened from memory and summarised.
Hdf5Result<std::string> serve(std::string_view bytes, Progress& progress) {
  std::uint64_t budget = 0;
  std::string path;
  wire::Reader in(bytes.substr(bytes.empty() ? 0 : 1));
  const bool known = !bytes.empty() && (bytes[0] == static_cast<char>(Job::Fluent) ||
                                        bytes[0] == static_cast<char>(Job::Mechanical));
  if (!known || !wire::get(in, budget) || !wire::get(in, path) || !in.done())
    return Hdf5InspectError{"the request was malformed"};
  progress.awaiting_input(true);
  TVX_TRY_ASSIGN(const FileImage image, FileImage::read(path, progress));
  progress.awaiting_input(false);
  if (static_cast<Job>(bytes[0]) == Job::Fluent) return encoded(fluent_summary(image.bytes(), progress));
  return encoded(mechanical_summary(image.bytes(), budget, progress));
}

}  // namespace

Hdf5Worker::Hdf5Worker(ContainOptions options, fsio::Interrupt* interrupt)
    : process_(serve, options, interrupt) {}

template <class T>
Hdf5Result<T> Hdf5Worker::ask(const std::string& request) {
  auto reply = process_.ask(request);
  if (!reply) return std::move(reply).error();
  auto value = wire::decode<T>(reply.value());
  if (!value) return process_.retire(library_failed("its answer was malformed"));
  return std::move(*value);
}

Hdf5Result<FluentHdf5Summary> Hdf5Worker::fluent(const std::string& path) {
  return ask<FluentHdf5Summary>(request(Job::Fluent, path, 0));
}

Hdf5Result<MechanicalMechdbSummary> Hdf5Worker::mechanical(const std::string& path, std::uint64_t byte_budget) {
  return ask<MechanicalMechdbSummary>(request(Job::Mechanical, path, byte_budget));
}

}  // namespace tolvanex::hdf5
