// The reader of each format. Every reader takes the path exactly as the driver received it
// (and, for five of them, the byte budget), reads the file itself and returns its summary.
// The HDF5 ones take the call's context, the others its interrupt (none when left out), which
// the files they open ask as they are read.
// The format table (formats.cpp) names each reader in its format's row.
#pragma once

#include <cstdint>
#include <string>

#include "tolvanex/error.hpp"
#include "tolvanex/io/interrupt.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex {
struct CallContext;  // call_context.hpp
}

namespace tolvanex::parsers {

namespace comsol {
Result<ComsolMphSummary> inspect_comsol_mph(const std::string& path, fsio::Interrupt* interrupt = nullptr);
}
namespace abaqus {
Result<AbaqusInpSummary> inspect_abaqus_inp(const std::string& path, fsio::Interrupt* interrupt = nullptr);
}
namespace hfss {
Result<HfssAedtSummary> inspect_hfss_aedt(const std::string& path, std::uint64_t byte_budget,
                                          fsio::Interrupt* interrupt = nullptr);
}
namespace icepak {
Result<IcepakTzrSummary> inspect_icepak_tzr(const std::string& path, std::uint64_t byte_budget,
                                            fsio::Interrupt* interrupt = nullptr);
}
namespace flotherm {
Result<FlothermFloxmlSummary> inspect_flotherm_floxml(const std::string& path,
                                                      std::uint64_t byte_budget,
                                                      fsio::Interrupt* interrupt = nullptr);
Result<FlothermPackSummary> inspect_flotherm_pack(const std::string& path,
                                                  std::uint64_t byte_budget,
                                                  fsio::Interrupt* interrupt = nullptr);
// True when the first element of the XML file is "xml_case" or "sm_xml_case" (local name).
// An interrupt that said stop while the file was opened or read gives false.
bool has_flotherm_root(const std::string& path, fsio::Interrupt* interrupt = nullptr);
}  // namespace flotherm

// Glue to the HDF5 readers, which run in the call's contained worker: their error becomes
// the Hdf5 variant.
Result<FluentHdf5Summary> inspect_fluent_hdf5(const std::string& path, CallContext& call);
Result<MechanicalMechdbSummary> inspect_mechanical_mechdb(const std::string& path,
                                                          std::uint64_t byte_budget,
                                                          CallContext& call);

}  // namespace tolvanex::parsers
