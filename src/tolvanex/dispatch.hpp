// Format detection, the include filter, the inspection driver and the directory scan.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tolvanex/error.hpp"
#include "tolvanex/io/interrupt.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex {
struct CallContext;  // call_context.hpp
}

namespace tolvanex::dispatch {

// The format of a file from its name's suffix; ".xml" files by their first element, read
// asking `interrupt` when one is given.
std::optional<SimFormat> detect_format(const std::string& path, fsio::Interrupt* interrupt = nullptr);

// Whether a file name matches one of the scan patterns ("*" prefix = suffix match).
bool should_include(const std::string& path, const std::vector<std::string>& patterns);

// Both calls make their own CallContext and end it before they return; their forms with a
// context take the caller's (its interrupt, a test's look at its worker).
// When the context's interrupt says stop, they end with the Interrupted error.

// Inspects one file: the given format, or the detected one.
Result<TolvanexResult> inspect_path(const std::string& path, const InspectOptions& options);
Result<TolvanexResult> inspect_path(const std::string& path, const InspectOptions& options,
                                    CallContext& call);

// Walks the given paths and inspects every file that passes the filter and detection, in
// walk order; the first reader error ends the scan with no partial result.
Result<std::vector<TolvanexResult>> scan_paths(const std::vector<std::string>& paths,
                                               const ScanOptions& options);
Result<std::vector<TolvanexResult>> scan_paths(const std::vector<std::string>& paths,
                                               const ScanOptions& options, CallContext& call);

}  // namespace tolvanex::dispatch
