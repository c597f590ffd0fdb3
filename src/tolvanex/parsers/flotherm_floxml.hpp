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

// The element names that the reader follows paths by.
enum class Word : std::uint8_t {
  Other,
  XmlCase, SmXmlCase, Name, Power, Attributes, Geometry, SourceAtt, SolutionDomain, Fluid,
  XGrid, YGrid, ZGrid, MinSize, MaxSize, GridType,
  Model, Modeling, Solution, Dimensionality, Transient, Radiation, Turbulence, TurbulenceType,
  Gravity, NormalDirection, Global, AmbientTemperature, DatumPressure,
  Solve, OverallControl, OuterIterations,
};

// What the reader knows of an element name, worked out once for each name the tokenizer
// numbers (and for any other name each time it is met).
struct ElementName {
  enum class Face : std::uint8_t { None, Ambient, Boundary };  // a "_ambient" or "_boundary" face
  std::string local;         // the local name
  Word word = Word::Other;
  bool attribute_kind = false;  // the local name ends with "_att"
  Face face = Face::None;
  bool may_hold_value = false;  // a text of such an element may be kept, depending on its path
  bool tracked = false;  // its start or end changes what the path is known to hold
  // Its entries in the type counts, once made.
  std::uint64_t* attribute_count = nullptr;
  std::uint64_t* geometry_count = nullptr;
};
ElementName describe(std::string_view raw_name);

// What an attribute or geometry element that has started and not yet ended has gathered. Its
// kind is its own local name, which stays on the path while it is open; the depths of all such
// elements are kept in RisingStacks, and this record is made only once a text arrives for one.
struct PendingEntity {
  std::size_t depth = 0;  // the path length that counts the element
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
// element path is the tokenizer's stack of open names (`open`), read in place; the names on it
// are known by their numbers.
class ParserState {
 public:
  ParserState(std::uint64_t byte_budget, const xml::NameStack& open) : open_(open), remaining_(byte_budget) {}

  // Before the first element: it must be a FloXML root; later ones are not checked.
  bool has_root() const { return root_.has_value(); }
  Status take_root(const xml::XmlEvent& ev);
  // A Start event (its element already on the stack), an Empty one (never on it), an End one
  // (already off it). Each returns whether a text that follows would be kept. Start and End
  // come for nearly every byte run of a document: they are defined beside the reading loop,
  // the one caller, and taken into it.
  [[gnu::always_inline]] inline bool start(const xml::XmlEvent& ev);
  bool empty(const xml::XmlEvent& ev);
  [[gnu::always_inline]] inline bool end(const xml::XmlEvent& ev);
  // Takes one trimmed, non-empty text of the current element, where the path keeps texts and
  // within remaining().
  void text(std::string_view trimmed);
  // Bytes of text that may still be kept; a relevant text longer than that is dropped.
  std::uint64_t remaining() const { return remaining_; }
  // Notes a relevant text that was dropped for being longer than remaining().
  void text_over_budget() { truncated_ = true; }
  Result<FlothermFloxmlSummary> finish() &&;

 private:
  // The element `k` levels below the innermost open one; one not numbered is worked out in
  // spare_[k].
  const ElementName& open_at(std::size_t k) const;
  // The element of an event.
  [[gnu::always_inline]] ElementName& named(const xml::XmlEvent& ev) {
    if (ev.id != xml::NameTable::kNone && ev.id < names_.size() && names_[ev.id]) return *names_[ev.id];
    return name_new(ev);
  }
  [[gnu::noinline]] ElementName& name_new(const xml::XmlEvent& ev);  // once per name
  // The innermost open element.
  const ElementName& top_element() const {
    const xml::OpenName& n = open_.top();
    if (n.id != xml::NameTable::kNone && n.id < names_.size() && names_[n.id]) return *names_[n.id];
    return open_at(0);
  }
  [[gnu::always_inline]] inline void begin(ElementName& e, Word parent, std::size_t depth);
  [[gnu::always_inline]] inline void finish_element(const ElementName& e, std::size_t depth);
  // Whether a text at the current place would be kept, `leaf` being the innermost element.
  bool keeps_text(const ElementName& leaf) const { return leaf.may_hold_value && keeps_value(leaf); }
  bool keeps_value(const ElementName& leaf) const;
  // Which of the model settings the path ends in (given its leaf), or one past the last.
  std::size_t setting(Word leaf) const;
  std::uint64_t& count(std::map<std::string, std::uint64_t>& counts, std::uint64_t* ElementName::*cached,
                       ElementName& e);

  const xml::NameStack& open_;
  std::vector<std::unique_ptr<ElementName>> names_;  // by number; made when first met
  mutable ElementName spare_[4];                     // names not numbered
  const ElementName* leaf_ = nullptr;                // the innermost open element
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
  // among the attributes; what those that were given texts gathered, by rising depth.
  RisingStack pending_attribute_depths_;
  RisingStack pending_geometry_depths_;
  RisingStack pending_source_depths_;
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
