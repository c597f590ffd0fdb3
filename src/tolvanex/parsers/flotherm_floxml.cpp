#include "tolvanex/parsers/flotherm_floxml.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/markup/xml.hpp"
#include "tolvanex/text/budgeted_text.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::parsers::flotherm {

namespace {

bool is_root_name(std::string_view local) { return local == "xml_case" || local == "sm_xml_case"; }
bool is_grid_axis(std::string_view local) {
  return local == "x_grid" || local == "y_grid" || local == "z_grid";
}
bool is_grid_field(std::string_view local) {
  return local == "min_size" || local == "max_size" || local == "grid_type";
}
bool is_domain_leaf(std::string_view local) {
  return local == "fluid" || text::ends_with(local, "_ambient") || text::ends_with(local, "_boundary");
}

// Records the entity of the element `local` that ends at `depth` when it was given a name.
// The pending entity at that depth is that element's, since the tokenizer matches every end
// tag to its start tag, so its kind is `local`.
void close_pending(std::map<std::size_t, PendingEntity>& pending, std::size_t depth, const std::string& local,
                   std::vector<FlothermEntity>& out, std::vector<FlothermSource>* sources) {
  // Entities close innermost first, so the one closing is the last gathered, if any.
  if (pending.empty() || pending.rbegin()->first != depth) return;
  PendingEntity done = std::move(pending.rbegin()->second);
  pending.erase(std::prev(pending.end()));
  if (!done.name) return;
  if (sources && local == "source_att") sources->push_back({*done.name, std::move(done.values)});
  out.push_back({local, std::move(*done.name)});
}

// The nine model settings, by the last three elements of their path.
struct SettingPath {
  std::string_view a, b, c;
};
constexpr SettingPath kSettings[] = {
    {"model", "modeling", "solution"},         {"model", "modeling", "dimensionality"},
    {"model", "modeling", "transient"},        {"model", "modeling", "radiation"},
    {"model", "turbulence", "turbulence_type"}, {"model", "gravity", "normal_direction"},
    {"model", "global", "ambient_temperature"}, {"model", "global", "datum_pressure"},
    {"solve", "overall_control", "outer_iterations"},
};
constexpr std::size_t kNoSetting = std::size(kSettings);

// The part of a raw name after its last ":". Compared with ASCII words it answers as the
// decoded local name would: a ":" byte always decodes to that character, and ASCII bytes to
// themselves, never into a replacement.
std::string_view local_part(std::string_view raw_name) {
  const std::size_t colon = raw_name.rfind(':');
  return colon == std::string_view::npos ? raw_name : raw_name.substr(colon + 1);
}

std::vector<NamedCount> to_counts(std::map<std::string, std::uint64_t>& counts) {
  std::vector<NamedCount> out;
  out.reserve(counts.size());
  for (auto& [name, count] : counts) out.push_back({name, count});
  return out;
}

}  // namespace

// Each difference is written low seven bits first with the high bit clear, then the higher
// groups with it set, so that it reads backwards from the end.
void RisingStack::push(std::size_t value) {
  std::size_t delta = value - top_;
  bytes_.push_back(static_cast<char>(delta & 0x7F));
  for (delta >>= 7; delta != 0; delta >>= 7) bytes_.push_back(static_cast<char>(0x80 | (delta & 0x7F)));
  top_ = value;
}

void RisingStack::pop() {
  std::size_t delta = 0;
  std::size_t i = bytes_.size();
  while (static_cast<unsigned char>(bytes_[i - 1]) & 0x80) delta = (delta << 7) | (bytes_[--i] & 0x7F);
  delta = (delta << 7) | static_cast<unsigned char>(bytes_[--i]);
  bytes_.resize(i);
  top_ -= delta;
}

std::string local_name(std::string_view raw_name) {
  std::string decoded = text::decode_lossy(raw_name);
  const std::size_t colon = decoded.rfind(':');
  if (colon != std::string::npos) decoded.erase(0, colon + 1);
  return decoded;
}

std::optional<bool> parse_bool(std::string_view text) {
  const std::string lower = text::ascii_lower(text);
  if (lower == "1" || lower == "true" || lower == "yes" || lower == "on") return true;
  if (lower == "0" || lower == "false" || lower == "no" || lower == "off") return false;
  return std::nullopt;
}

std::string_view ParserState::local_at(std::size_t depth) const {
  return local_part(open_.from_top(open_.size() - depth));
}

Status ParserState::start(const std::string& local, std::size_t depth) {
  if (!root_) {
    if (!is_root_name(local)) {
      return TolvanexError::message("expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <" +
                                    local + ">");
    }
    root_ = local;
  }
  const bool parent_is_geometry = depth >= 2 && local_at(depth - 1) == "geometry";
  if (local == "attributes") ++attributes_in_path_;
  if (local == "solution_domain") ++solution_domains_in_path_;
  if (is_grid_axis(local)) grid_axes_.push(3 * (depth - 1) + static_cast<std::size_t>(local[0] - 'x'));

  if (text::ends_with(local, "_att") && path_has_attributes()) {
    ++attribute_type_counts_[local];
    pending_attribute_depths_.push(depth);
    if (local == "source_att") pending_source_depths_.push(depth);
  } else if (parent_is_geometry) {
    ++geometry_type_counts_[local];
    pending_geometry_depths_.push(depth);
  }
  // A new solution domain replaces an earlier one with all it held.
  if (local == "solution_domain") solution_domain_ = FlothermSolutionDomain{};
  return ok_status();
}

void ParserState::end(const std::string& local, std::size_t depth) {
  if (!pending_attribute_depths_.empty() && pending_attribute_depths_.top() == depth) {
    pending_attribute_depths_.pop();
    if (!pending_source_depths_.empty() && pending_source_depths_.top() == depth) pending_source_depths_.pop();
    close_pending(pending_attributes_, depth, local, attributes_, &sources_);
  }
  if (!pending_geometry_depths_.empty() && pending_geometry_depths_.top() == depth) {
    pending_geometry_depths_.pop();
    close_pending(pending_geometry_, depth, local, geometry_, nullptr);
  }
  if (local == "attributes") --attributes_in_path_;
  if (local == "solution_domain") --solution_domains_in_path_;
  if (!grid_axes_.empty() && grid_axes_.top() / 3 == depth - 1) grid_axes_.pop();
}

std::size_t ParserState::setting(std::string_view leaf) const {
  const std::size_t d = open_.size();
  if (d < 3) return kNoSetting;
  for (std::size_t i = 0; i < kNoSetting; ++i) {
    const SettingPath& s = kSettings[i];
    if (leaf == s.c && local_at(d - 1) == s.b && local_at(d - 2) == s.a) return i;
  }
  return kNoSetting;
}

bool ParserState::is_relevant_text() const {
  if (open_.empty()) return false;
  const std::string_view l = leaf();
  const std::size_t d = open_.size();
  if (d == 2 && l == "name") return true;
  if (setting(l) != kNoSetting) return true;
  if (is_grid_field(l) && !grid_axes_.empty()) return true;
  if (l == "power" && !pending_source_depths_.empty()) return true;
  if (l == "name") {
    if (!pending_attribute_depths_.empty() && pending_attribute_depths_.top() + 1 == d) return true;
    if (!pending_geometry_depths_.empty() && pending_geometry_depths_.top() + 1 == d) return true;
  }
  return solution_domains_in_path_ > 0 && is_domain_leaf(l);
}

void ParserState::text(std::string_view piece) {
  if (!is_relevant_text()) return;
  // Checked before copying, so that a text over the budget is not copied.
  if (piece.size() > remaining_) {
    truncated_ = true;
    return;
  }
  remaining_ -= piece.size();
  std::string trimmed(piece);

  const std::string l = local_name(open_.top());
  const std::size_t d = open_.size();
  if (d == 2 && l == "name") {
    name_ = std::move(trimmed);
    return;
  }
  std::optional<std::string>* const text_fields[] = {
      &solution_, &dimensionality_, nullptr, &radiation_, &turbulence_type_,
      &gravity_direction_, &ambient_temperature_, &datum_pressure_, &outer_iterations_,
  };
  if (const std::size_t i = setting(l); i != kNoSetting) {
    if (text_fields[i]) {
      *text_fields[i] = std::move(trimmed);
    } else {
      transient_ = parse_bool(trimmed);  // an unrecognised later text clears an earlier value
    }
    return;
  }
  if (!grid_axes_.empty() && is_grid_field(l)) {
    const std::string axis_name = "xyz"[grid_axes_.top() % 3] + std::string("_grid");
    auto axis = std::find_if(grid_.begin(), grid_.end(),
                             [&](const FlothermGridAxis& a) { return a.axis == axis_name; });
    if (axis == grid_.end()) axis = grid_.insert(grid_.end(), FlothermGridAxis{axis_name, {}, {}, {}});
    if (l == "min_size") axis->min_size = std::move(trimmed);
    else if (l == "max_size") axis->max_size = std::move(trimmed);
    else axis->grid_type = std::move(trimmed);
    return;
  }
  if (l == "power") {
    pending_attributes_[pending_source_depths_.top()].values.push_back(std::move(trimmed));
    return;
  }
  if (l == "name") {
    if (!pending_attribute_depths_.empty() && pending_attribute_depths_.top() + 1 == d) {
      pending_attributes_[pending_attribute_depths_.top()].name = std::move(trimmed);
    } else {
      pending_geometry_[pending_geometry_depths_.top()].name = std::move(trimmed);
    }
    return;
  }
  // Solution domain: the element is present whenever one is open on the path.
  if (l == "fluid") {
    solution_domain_->fluid = std::move(trimmed);
  } else if (text::ends_with(l, "_ambient")) {
    solution_domain_->boundaries.push_back({std::string(l.substr(0, l.size() - 8)), "ambient", std::move(trimmed)});
  } else {
    solution_domain_->boundaries.push_back({std::string(l.substr(0, l.size() - 9)), "boundary", std::move(trimmed)});
  }
}

Result<FlothermFloxmlSummary> ParserState::finish() && {
  if (!root_) return TolvanexError::message("FloTHERM FloXML file did not contain a root element");
  std::stable_sort(grid_.begin(), grid_.end(),
                   [](const FlothermGridAxis& a, const FlothermGridAxis& b) { return a.axis < b.axis; });
  const auto by_kind_then_name = [](const FlothermEntity& a, const FlothermEntity& b) {
    return std::tie(a.kind, a.name) < std::tie(b.kind, b.name);
  };
  std::stable_sort(attributes_.begin(), attributes_.end(), by_kind_then_name);
  std::stable_sort(geometry_.begin(), geometry_.end(), by_kind_then_name);
  std::stable_sort(sources_.begin(), sources_.end(),
                   [](const FlothermSource& a, const FlothermSource& b) { return a.name < b.name; });
  if (solution_domain_) {
    std::stable_sort(solution_domain_->boundaries.begin(), solution_domain_->boundaries.end(),
                     [](const FlothermBoundary& a, const FlothermBoundary& b) { return a.face < b.face; });
  }

  FlothermFloxmlSummary s;
  s.root = std::move(*root_);
  s.name = std::move(name_);
  s.solution = std::move(solution_);
  s.dimensionality = std::move(dimensionality_);
  s.transient = transient_;
  s.radiation = std::move(radiation_);
  s.turbulence_type = std::move(turbulence_type_);
  s.gravity_direction = std::move(gravity_direction_);
  s.ambient_temperature = std::move(ambient_temperature_);
  s.datum_pressure = std::move(datum_pressure_);
  s.outer_iterations = std::move(outer_iterations_);
  s.grid = std::move(grid_);
  s.attribute_type_counts = to_counts(attribute_type_counts_);
  s.attributes = std::move(attributes_);
  s.geometry_type_counts = to_counts(geometry_type_counts_);
  s.geometry = std::move(geometry_);
  s.sources = std::move(sources_);
  s.solution_domain = std::move(solution_domain_);
  s.truncated = truncated_;
  return s;
}

// ---------------------------------------------------------------------------------------

Result<FlothermFloxmlSummary> inspect_flotherm_floxml(const std::string& path, std::uint64_t byte_budget) {
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path));
  FileSource source(file);
  // Only element names and some texts are ever used; no attribute is read.
  xml::XmlPullReader reader(source);
  const xml::NameStack& open = reader.open_names();
  ParserState state(byte_budget, open);
  // Text that would not be kept here is not even buffered; one that would comes in pieces,
  // held only as far as it can fit in what is left of the budget.
  text::BudgetedText budgeted;
  std::string scratch;
  for (;;) {
    const bool relevant = state.is_relevant_text();
    reader.set_text_sink(relevant ? &budgeted : nullptr);
    if (relevant) budgeted.begin(state.remaining());
    TVX_TRY_ASSIGN(xml::XmlEvent ev, reader.next_event(scratch));
    switch (ev.kind) {
      case xml::XmlEventKind::Start:  // already on the tokenizer's stack
        TVX_TRY(state.start(local_name(ev.name()), open.size()));
        break;
      case xml::XmlEventKind::Empty: {
        const std::string local = local_name(ev.name());
        TVX_TRY(state.start(local, open.size() + 1));
        state.end(local, open.size() + 1);
        break;
      }
      case xml::XmlEventKind::End:  // already taken off it
        state.end(local_name(ev.name()), open.size() + 1);
        break;
      case xml::XmlEventKind::Text:
        if (!relevant) break;
        if (!budgeted.finish()) {
          state.text_over_budget();
        } else if (!budgeted.kept().empty()) {
          state.text(budgeted.kept());
        }
        break;
      case xml::XmlEventKind::Eof:
        return std::move(state).finish();
      default:  // references, CDATA, comments, declarations: never values
        break;
    }
  }
}

bool has_flotherm_root(const std::string& path) {
  Result<fsio::File> file = fsio::File::open_read(path);
  if (!file) return false;
  FileSource source(file.value());
  xml::XmlPullReader reader(source);
  // Only the first element's name matters, so nothing else is kept, however long.
  reader.set_skim(true);
  std::string scratch;
  for (;;) {
    Result<xml::XmlEvent> ev = reader.next_event(scratch);
    if (!ev) return false;
    const xml::XmlEvent& e = ev.value();
    if (e.kind == xml::XmlEventKind::Eof) return false;
    if (e.kind != xml::XmlEventKind::Start && e.kind != xml::XmlEventKind::Empty) continue;
    // A clipped name still holds its whole local part when a ":" was kept.
    if (reader.name_clipped() && e.name().find(':') == std::string_view::npos) return false;
    return is_root_name(local_name(e.name()));
  }
}

}  // namespace tolvanex::parsers::flotherm
