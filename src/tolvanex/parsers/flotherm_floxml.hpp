// FloTHERM FloXML: an XML project description whose root is <xml_case> (or <sm_xml_case> for
// SmartParts). The reader walks it once and keeps the model settings, grid axes, named
// attributes and geometry, sources and the solution domain; the entry points the driver
// calls are declared in readers.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvanex/error.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex::parsers::flotherm {

// The raw element name decoded (invalid UTF-8 replaced), then the part after its last ":".
std::string local_name(std::string_view raw_name);

// "1", "true", "yes", "on" and "0", "false", "no", "off" in any ASCII case; else absent.
std::optional<bool> parse_bool(std::string_view text);

// An attribute or geometry element that has started and not yet ended.
struct PendingEntity {
  std::string kind;                 // the element's local name
  std::vector<std::string> values;  // power texts of a source_att
  std::optional<std::string> name;
  std::size_t depth = 0;            // path length with the element itself
};

// What one reading pass has gathered so far; driven by element starts, ends and texts.
class ParserState {
 public:
  explicit ParserState(std::uint64_t byte_budget) : remaining_(byte_budget) {}

  // The first element must be a FloXML root; later ones are not checked.
  Status start(const std::string& local);
  void end(const std::string& local);
  // True when a text at the current place would be kept.
  bool is_relevant_text() const;
  // Takes one trimmed, non-empty text of the current element.
  void text(std::string trimmed);
  Result<FlothermFloxmlSummary> finish() &&;

 private:
  bool path_has_attributes() const { return attributes_in_path_ > 0; }
  bool tail_is(std::string_view a, std::string_view b, std::string_view c) const;
  const std::string& leaf() const { return path_.back(); }

  std::vector<std::string> path_;
  // Facts about the path kept up to date on push and pop, so that no text has to walk it.
  std::size_t attributes_in_path_ = 0;
  std::size_t solution_domains_in_path_ = 0;
  std::vector<std::size_t> grid_positions_;       // path indices of x_grid, y_grid, z_grid
  std::vector<std::size_t> pending_sources_;      // indices into pending_attributes_

  std::vector<FlothermGridAxis> grid_;
  std::vector<FlothermEntity> attributes_;
  std::vector<FlothermEntity> geometry_;
  std::vector<FlothermSource> sources_;
  std::vector<PendingEntity> pending_attributes_;
  std::vector<PendingEntity> pending_geometry_;
  std::optional<std::string> root_;
  std::optional<std::string> name_, solution_, dimensionality_, radiation_, turbulence_type_,
      gravity_direction_, ambient_temperature_, datum_pressure_, outer_iterations_;
  std::optional<bool> transient_;
  std::optional<FlothermSolutionDomain> solution_domain_;
  std::map<std::string, std::uint64_t> attribute_type_counts_;
  std::map<std::string, std::uint64_t> geometry_type_counts_;
  std::uint64_t remaining_;
  bool truncated_ = false;
};

}  // namespace tolvanex::parsers::flotherm
