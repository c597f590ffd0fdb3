// FloTHERM FloXML: an XML project description whose root is <xml_case> (or <sm_xml_case> for
// SmartParts). The reader walks it once and keeps the model settings, grid axes, named
// attributes and geometry, sources and the solution domain; the entry points the driver
// calls are declared in readers.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvanex/error.hpp"
#include "tolvanex/markup/xml.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex::parsers::flotherm {

// The raw element name decoded (invalid UTF-8 replaced), then the part after its last ":".
std::string local_name(std::string_view raw_name);

// "1", "true", "yes", "on" and "0", "false", "no", "off" in any ASCII case; else absent.
std::optional<bool> parse_bool(std::string_view text);

// What an attribute or geometry element that has started and not yet ended has gathered. Its
// kind is its own local name, which stays on the path while it is open, and its depth is kept
// in a RisingStack; it is stored only once a text arrives for it.
struct PendingEntity {
  std::optional<std::string> name;
  std::vector<std::string> values;  // power texts of a source_att
};

// A stack of rising numbers (depths and positions on the path), each kept as its difference
// from the one below in base 128, so that a level of nesting usually costs one byte.
class RisingStack {
 public:
  // `value` is at least top() (or anything when empty).
  void push(std::size_t value);
  void pop();  // not empty
  std::size_t top() const { return top_; }  // not empty
  bool empty() const { return bytes_.empty(); }

 private:
  std::string bytes_;
  std::size_t top_ = 0;
};

// What one reading pass has gathered so far; driven by element starts, ends and texts. The
// element path is the tokenizer's stack of open names (`open`), read in place.
class ParserState {
 public:
  ParserState(std::uint64_t byte_budget, const xml::NameStack& open) : open_(open), remaining_(byte_budget) {}

  // An element of local name `local` starts or ends at `depth` (the path length counting it;
  // an Empty element, never on the tokenizer's stack, starts and ends at once). The first
  // element must be a FloXML root; later ones are not checked.
  Status start(const std::string& local, std::size_t depth);
  void end(const std::string& local, std::size_t depth);
  // True when a text at the current place would be kept.
  bool is_relevant_text() const;
  // Takes one trimmed, non-empty text of the current element.
  void text(std::string_view trimmed);
  // Bytes of text that may still be kept; a relevant text longer than that is dropped.
  std::uint64_t remaining() const { return remaining_; }
  // Notes a relevant text that was dropped for being longer than remaining().
  void text_over_budget() { truncated_ = true; }
  Result<FlothermFloxmlSummary> finish() &&;

 private:
  bool path_has_attributes() const { return attributes_in_path_ > 0; }
  // The local part of the name at `depth` (1: the root), up to the path's length.
  std::string_view local_at(std::size_t depth) const;
  std::string_view leaf() const { return local_at(open_.size()); }
  // Which of the model settings the path ends in (given its leaf), or one past the last.
  std::size_t setting(std::string_view leaf) const;

  const xml::NameStack& open_;
  // Facts about the path kept up to date on starts and ends, so that no text has to walk it.
  std::size_t attributes_in_path_ = 0;
  std::size_t solution_domains_in_path_ = 0;
  // The x_grid, y_grid and z_grid elements open: 3 * (position on the path) + (0, 1 or 2).
  RisingStack grid_axes_;

  std::vector<FlothermGridAxis> grid_;
  std::vector<FlothermEntity> attributes_;
  std::vector<FlothermEntity> geometry_;
  std::vector<FlothermSource> sources_;
  // Depths of the attributes and geometry elements open (pending), and of the source_att ones
  // among the attributes; what they gathered, by depth.
  RisingStack pending_attribute_depths_;
  RisingStack pending_geometry_depths_;
  RisingStack pending_source_depths_;
  std::map<std::size_t, PendingEntity> pending_attributes_;
  std::map<std::size_t, PendingEntity> pending_geometry_;
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
