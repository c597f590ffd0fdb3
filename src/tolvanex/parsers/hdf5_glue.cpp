// The driver's entries to the HDF5 inspectors: their error becomes the Hdf5 variant,
// shown as "hdf5 error: hdf5 read failed: {message}".
#include "tolvanex/call_context.hpp"
#include "tolvanex/hdf5/inspectors.hpp"
#include "tolvanex/parsers/readers.hpp"

namespace tolvanex::parsers {
namespace {
template <class Summary>
Result<Summary> wrap_hdf5(hdf5::Hdf5Result<Summary> result) {
  if (!result) return TolvanexError::hdf5(result.error().display());
  return std::move(result).value();
}
}  // namespace

Result<FluentHdf5Summary> inspect_fluent_hdf5(const std::string& path, CallContext& call) {
  return wrap_hdf5(hdf5::inspect_fluent_hdf5(path, call.hdf5));
}

Result<MechanicalMechdbSummary> inspect_mechanical_mechdb(const std::string& path,
                                                          std::uint64_t byte_budget,
                                                          CallContext& call) {
  return wrap_hdf5(hdf5::inspect_mechanical_mechdb(path, byte_budget, call.hdf5));
}

}  // namespace tolvanex::parsers
