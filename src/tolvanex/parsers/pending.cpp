// Formats whose readers are not built yet: inspecting them fails plainly rather than
// pretending to read them. Each reader removes its line here when it lands.
#include "tolvanex/parsers/readers.hpp"

namespace tolvanex::parsers {
namespace {
TolvanexError not_readable(SimFormat format) {
  return TolvanexError::message(std::string(format_name(format)) + " files are not readable yet");
}
}  // namespace

Result<HfssAedtSummary> hfss::inspect_hfss_aedt(const std::string&, std::uint64_t) {
  return not_readable(SimFormat::HfssAedt);
}

}  // namespace tolvanex::parsers
