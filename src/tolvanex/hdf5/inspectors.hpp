// The two HDF5 inspectors: Fluent case and mesh files (.cas.h5, .msh.h5) and Mechanical
// databases (.mechdb, .mechdat). Each has the call's contained worker (worker.hpp) read the
// file whole and run its HDF5 part, and returns its summary or an Hdf5InspectError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tolvanex/hdf5/error.hpp"
#include "tolvanex/hdf5/progress.hpp"
#include "tolvanex/hdf5/worker.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex::hdf5 {

Hdf5Result<FluentHdf5Summary> inspect_fluent_hdf5(const std::string& path, Hdf5Worker& worker);
Hdf5Result<MechanicalMechdbSummary> inspect_mechanical_mechdb(const std::string& path,
                                                              std::uint64_t byte_budget,
                                                              Hdf5Worker& worker);

// The HDF5 parts, run in the process that holds the library (the contained worker).
Hdf5Result<FluentHdf5Summary> fluent_summary(std::string_view image, Progress& progress);
// Everything but the sidecars, which are looked up on disk by the caller.
Hdf5Result<MechanicalMechdbSummary> mechanical_summary(std::string_view image,
                                                       std::uint64_t byte_budget,
                                                       Progress& progress);

// Pieces of the Mechanical reader that need no library.
struct MechanicalObject {
  std::string name;
  std::uint32_t type_id = 0;
};
// Records "|,{id},{type},{name}" separated by U+0000; the others are dropped.
std::vector<MechanicalObject> parse_object_inventory(std::string_view text);
// The "UsedSize" attribute when it is one unsigned number, else the product of the shape.
std::uint64_t dataset_used_bytes(const Hdf5DatasetInfo& dataset);
MechanicalSidecars probe_sidecars(const std::string& path);

}  // namespace tolvanex::hdf5
