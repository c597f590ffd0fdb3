#include "tolvanex/parsers/flotherm_floxml.hpp"

#include <algorithm>
#include <iterator>
#include <tuple>
#include <utility>

#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/markup/xml.hpp"
#include "tolvanex/text/budgeted_text.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::parsers::flotherm {

namespace {

// The names of the words, looked up once per element name.
constexpr std::pair<std::string_view, Word> kWords[] = {
    {"xml_case", Word::XmlCase},
    {"sm_xml_case", Word::SmXmlCase},
    {"name", Word::Name},
    {"power", Word::Power},
    {"attributes", Word::Attributes},
    {"geometry", Word::Geometry},
    {"source_att", Word::SourceAtt},
    {"solution_domain", Word::SolutionDomain},
    {"fluid", Word::Fluid},
    {"x_grid", Word::XGrid},
    {"y_grid", Word::YGrid},
    {"z_grid", Word::ZGrid},
    {"min_size", Word::MinSize},
    {"max_size", Word::MaxSize},
    {"grid_type", Word::GridType},
    {"model", Word::Model},
    {"modeling", Word::Modeling},
    {"solution", Word::Solution},
    {"dimensionality", Word::Dimensionality},
    {"transient", Word::Transient},
    {"radiation", Word::Radiation},
    {"turbulence", Word::Turbulence},
    {"turbulence_type", Word::TurbulenceType},
    {"gravity", Word::Gravity},
    {"normal_direction", Word::NormalDirection},
    {"global", Word::Global},
    {"ambient_temperature", Word::AmbientTemperature},
    {"datum_pressure", Word::DatumPressure},
    {"solve", Word::Solve},
    {"overall_control", Word::OverallControl},
    {"outer_iterations", Word::OuterIterations},
};

// The nine model settings, by the last three elements of their path.
constexpr Word kSettings[][3] = {
    {Word::Model, Word::Modeling, Word::Solution},
    {Word::Model, Word::Modeling, Word::Dimensionality},
    {Word::Model, Word::Modeling, Word::Transient},
    {Word::Model, Word::Modeling, Word::Radiation},
    {Word::Model, Word::Turbulence, Word::TurbulenceType},
    {Word::Model, Word::Gravity, Word::NormalDirection},
    {Word::Model, Word::Global, Word::AmbientTemperature},
    {Word::Model, Word::Global, Word::DatumPressure},
    {Word::Solve, Word::OverallControl, Word::OuterIterations},
};
constexpr std::size_t kNoSetting = std::size(kSettings);
constexpr std::size_t kTransient = 2;

bool is_root(Word w) { return w == Word::XmlCase || w == Word::SmXmlCase; }
bool is_grid_axis(Word w) { return w == Word::XGrid || w == Word::YGrid || w == Word::ZGrid; }
bool is_grid_field(Word w) { return w == Word::MinSize || w == Word::MaxSize || w == Word::GridType; }

// Records the entity of the element `e` that ends at `depth` when it was given a name. What
// was gathered for the pending entity at that depth is that element's, since the tokenizer
// matches every end tag to its start tag; and it is the last gathered, since entities close
// innermost first.
void close_pending(std::vector<PendingEntity>& pending, std::size_t depth, const ElementName& e,
                   std::vector<FlothermEntity>& out, std::vector<FlothermSource>* sources) {
  if (pending.empty() || pending.back().depth != depth) return;
  PendingEntity done = std::move(pending.back());
  pending.pop_back();
  if (!done.name) return;
  if (sources && e.word == Word::SourceAtt) sources->push_back({*done.name, std::move(done.values)});
  out.push_back({e.local, std::move(*done.name)});
}

// What has been gathered for the pending entity at `depth`, made when first needed.
PendingEntity& gathered(std::vector<PendingEntity>& pending, std::size_t depth) {
  auto at = pending.end();
  while (at != pending.begin() && std::prev(at)->depth >= depth) --at;
  if (at == pending.end() || at->depth != depth) at = pending.insert(at, PendingEntity{depth, {}, {}});
  return *at;
}

// std::stable_sort on the positions of the records, which are then moved once each: a record
// holds two strings, and a merge sort would move every one of them at every pass.
template <class T, class Less>
void stable_sort_records(std::vector<T>& records, Less less) {
  std::vector<std::size_t> order(records.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return less(records[a], records[b]); });
  std::vector<T> sorted;
  sorted.reserve(records.size());
  for (const std::size_t i : order) sorted.push_back(std::move(records[i]));
  records = std::move(sorted);
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

ElementName describe(std::string_view raw_name) {
  ElementName e;
  e.local = local_name(raw_name);
  for (const auto& [word, w] : kWords) {
    if (e.local == word) e.word = w;
  }
  e.attribute_kind = text::ends_with(e.local, "_att");
  if (text::ends_with(e.local, "_ambient")) e.face = ElementName::Face::Ambient;
  if (text::ends_with(e.local, "_boundary")) e.face = ElementName::Face::Boundary;
  e.may_hold_value = e.word == Word::Name || e.word == Word::Power || e.word == Word::Fluid ||
                     e.face != ElementName::Face::None || is_grid_field(e.word) ||
                     std::any_of(std::begin(kSettings), std::end(kSettings), [&](const Word(&path)[3]) { return path[2] == e.word; });
  e.tracked = e.attribute_kind || e.word == Word::Attributes || e.word == Word::SolutionDomain || is_grid_axis(e.word);
  return e;
}

ElementName& ParserState::name_new(const xml::XmlEvent& ev) {
  if (ev.id == xml::NameTable::kNone) return spare_[3] = describe(ev.name());
  if (ev.id >= names_.size()) names_.resize(ev.id + 1);
  if (!names_[ev.id]) names_[ev.id] = std::make_unique<ElementName>(describe(ev.name()));
  return *names_[ev.id];
}

const ElementName& ParserState::open_at(std::size_t k) const {
  const xml::OpenName n = k == 0 ? open_.top() : open_.from_top(k);
  if (n.id != xml::NameTable::kNone && n.id < names_.size() && names_[n.id]) return *names_[n.id];
  return spare_[k] = describe(n.name);
}

std::uint64_t& ParserState::count(std::map<std::string, std::uint64_t>& counts,
                                  std::uint64_t* ElementName::*cached, ElementName& e) {
  if (e.*cached == nullptr) e.*cached = &counts[e.local];
  return *(e.*cached);
}

Status ParserState::take_root(const xml::XmlEvent& ev) {
  const ElementName& e = named(ev);
  if (!is_root(e.word)) {
    // The name as far as an error quotes names: a hostile one can be as long as the file.
    return TolvanexError::message("expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <" +
                                  text::cut_text(e.local, xml::kQuotedName) + ">");
  }
  root_ = e.local;
  return ok_status();
}

bool ParserState::start(const xml::XmlEvent& ev) {
  const Word parent = leaf_ != nullptr ? leaf_->word : Word::Other;
  ElementName& e = named(ev);
  begin(e, parent, open_.size());
  leaf_ = &e;
  return keeps_text(e);
}

bool ParserState::empty(const xml::XmlEvent& ev) {
  const Word parent = leaf_ != nullptr ? leaf_->word : Word::Other;
  ElementName& e = named(ev);
  const std::size_t depth = open_.size() + 1;
  begin(e, parent, depth);
  finish_element(e, depth);
  // The innermost element is as before; its spare, if it has one, may have been reused.
  leaf_ = open_.empty() ? nullptr : &top_element();
  return leaf_ != nullptr && keeps_text(*leaf_);
}

bool ParserState::end(const xml::XmlEvent& ev) {
  finish_element(named(ev), open_.size() + 1);
  leaf_ = open_.empty() ? nullptr : &top_element();
  return leaf_ != nullptr && keeps_text(*leaf_);
}

void ParserState::begin(ElementName& e, Word parent, std::size_t depth) {
  if (e.tracked) {
    if (e.word == Word::Attributes) ++attributes_in_path_;
    if (e.word == Word::SolutionDomain) {
      ++solution_domains_in_path_;
      solution_domain_ = FlothermSolutionDomain{};  // replaces an earlier one with all it held
    }
    if (is_grid_axis(e.word)) {
      grid_axes_.push(3 * (depth - 1) + static_cast<std::size_t>(static_cast<int>(e.word) - static_cast<int>(Word::XGrid)));
    }
    if (e.attribute_kind && attributes_in_path_ > 0) {
      ++count(attribute_type_counts_, &ElementName::attribute_count, e);
      pending_attribute_depths_.push(depth);
      if (e.word == Word::SourceAtt) pending_source_depths_.push(depth);
      return;
    }
  }
  if (parent == Word::Geometry) {
    ++count(geometry_type_counts_, &ElementName::geometry_count, e);
    pending_geometry_depths_.push(depth);
  }
}

void ParserState::finish_element(const ElementName& e, std::size_t depth) {
  if (!pending_attribute_depths_.empty() && pending_attribute_depths_.top() == depth) {
    pending_attribute_depths_.pop();
    if (!pending_source_depths_.empty() && pending_source_depths_.top() == depth) pending_source_depths_.pop();
    close_pending(pending_attributes_, depth, e, attributes_, &sources_);
  }
  if (!pending_geometry_depths_.empty() && pending_geometry_depths_.top() == depth) {
    pending_geometry_depths_.pop();
    close_pending(pending_geometry_, depth, e, geometry_, nullptr);
  }
  if (!e.tracked) return;
  if (e.word == Word::Attributes) --attributes_in_path_;
  if (e.word == Word::SolutionDomain) --solution_domains_in_path_;
  if (!grid_axes_.empty() && grid_axes_.top() / 3 == depth - 1) grid_axes_.pop();
}

std::size_t ParserState::setting(Word leaf) const {
  if (open_.size() < 3) return kNoSetting;
  for (std::size_t i = 0; i < kNoSetting; ++i) {
    if (leaf != kSettings[i][2]) continue;
    if (open_at(1).word == kSettings[i][1] && open_at(2).word == kSettings[i][0]) return i;
  }
  return kNoSetting;
}

bool ParserState::keeps_value(const ElementName& leaf) const {
  const std::size_t d = open_.size();
  if (leaf.word == Word::Name) {
    if (d == 2) return true;
    if (!pending_attribute_depths_.empty() && pending_attribute_depths_.top() + 1 == d) return true;
    if (!pending_geometry_depths_.empty() && pending_geometry_depths_.top() + 1 == d) return true;
  }
  if (is_grid_field(leaf.word) && !grid_axes_.empty()) return true;
  if (leaf.word == Word::Power && !pending_source_depths_.empty()) return true;
  if (solution_domains_in_path_ > 0 && (leaf.word == Word::Fluid || leaf.face != ElementName::Face::None)) return true;
  return setting(leaf.word) != kNoSetting;
}

void ParserState::text(std::string_view piece) {
  // Only a text that the path keeps comes here, already cut to fit what remains.
  remaining_ -= piece.size();
  std::string trimmed(piece);

  const ElementName& leaf = open_at(0);
  const std::size_t d = open_.size();
  if (d == 2 && leaf.word == Word::Name) {
    name_ = std::move(trimmed);
    return;
  }
  std::optional<std::string>* const text_fields[] = {
      &solution_, &dimensionality_, nullptr, &radiation_, &turbulence_type_,
      &gravity_direction_, &ambient_temperature_, &datum_pressure_, &outer_iterations_,
  };
  if (const std::size_t i = setting(leaf.word); i != kNoSetting) {
    if (i == kTransient) {
      transient_ = parse_bool(trimmed);  // an unrecognised later text clears an earlier value
    } else {
      *text_fields[i] = std::move(trimmed);
    }
    return;
  }
  if (!grid_axes_.empty() && is_grid_field(leaf.word)) {
    const std::string axis_name = "xyz"[grid_axes_.top() % 3] + std::string("_grid");
    auto axis = std::find_if(grid_.begin(), grid_.end(),
                             [&](const FlothermGridAxis& a) { return a.axis == axis_name; });
    if (axis == grid_.end()) axis = grid_.insert(grid_.end(), FlothermGridAxis{axis_name, {}, {}, {}});
    if (leaf.word == Word::MinSize) axis->min_size = std::move(trimmed);
    else if (leaf.word == Word::MaxSize) axis->max_size = std::move(trimmed);
    else axis->grid_type = std::move(trimmed);
    return;
  }
  if (leaf.word == Word::Power) {
    gathered(pending_attributes_, pending_source_depths_.top()).values.push_back(std::move(trimmed));
    return;
  }
  if (leaf.word == Word::Name) {
    if (!pending_attribute_depths_.empty() && pending_attribute_depths_.top() + 1 == d) {
      gathered(pending_attributes_, pending_attribute_depths_.top()).name = std::move(trimmed);
    } else {
      gathered(pending_geometry_, pending_geometry_depths_.top()).name = std::move(trimmed);
    }
    return;
  }
  // Solution domain: the element is present whenever one is open on the path.
  const std::string& l = leaf.local;
  if (leaf.word == Word::Fluid) {
    solution_domain_->fluid = std::move(trimmed);
  } else if (leaf.face == ElementName::Face::Ambient) {
    solution_domain_->boundaries.push_back({l.substr(0, l.size() - 8), "ambient", std::move(trimmed)});
  } else {
    solution_domain_->boundaries.push_back({l.substr(0, l.size() - 9), "boundary", std::move(trimmed)});
  }
}

Result<FlothermFloxmlSummary> ParserState::finish() && {
  if (!root_) return TolvanexError::message("FloTHERM FloXML file did not contain a root element");
  std::stable_sort(grid_.begin(), grid_.end(),
                   [](const FlothermGridAxis& a, const FlothermGridAxis& b) { return a.axis < b.axis; });
  const auto by_kind_then_name = [](const FlothermEntity& a, const FlothermEntity& b) {
    return std::tie(a.kind, a.name) < std::tie(b.kind, b.name);
  };
  stable_sort_records(attributes_, by_kind_then_name);
  stable_sort_records(geometry_, by_kind_then_name);
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

Result<FlothermFloxmlSummary> inspect_flotherm_floxml(const std::string& path, std::uint64_t byte_budget,
                                                      fsio::Interrupt* interrupt) {
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path, interrupt));
  FileSource source(file);
  // Only element names and some texts are ever used; no attribute is read, and a text that
  // would not be kept here is not even an event.
  xml::XmlPullReader reader(source);
  reader.show_only({xml::XmlEventKind::Start, xml::XmlEventKind::Empty, xml::XmlEventKind::End});
  ParserState state(byte_budget, reader.open_names());
  // A text that would be kept comes in pieces, held only as far as it can fit in what is left
  // of the budget.
  text::BudgetedText budgeted;
  std::string scratch;
  bool relevant = false;  // a text here would be kept: the path has not changed since
  for (;;) {
    reader.set_text_sink(relevant ? &budgeted : nullptr);
    if (relevant) budgeted.begin(state.remaining());
    Result<xml::XmlEvent> next = reader.next_event(scratch);
    if (!next) return std::move(next).error();
    const xml::XmlEvent& ev = next.value();
    switch (ev.kind) {
      case xml::XmlEventKind::Start:  // already on the tokenizer's stack
        if (!state.has_root()) TVX_TRY(state.take_root(ev));
        relevant = state.start(ev);
        break;
      case xml::XmlEventKind::Empty:
        if (!state.has_root()) TVX_TRY(state.take_root(ev));
        relevant = state.empty(ev);
        break;
      case xml::XmlEventKind::End:  // already taken off it
        relevant = state.end(ev);
        break;
      case xml::XmlEventKind::Text:  // only where relevant
        if (!budgeted.finish()) {
          state.text_over_budget();
        } else if (!budgeted.kept().empty()) {
          state.text(budgeted.kept());
        }
        break;
      case xml::XmlEventKind::Eof:
        return std::move(state).finish();
      default:
        break;
    }
  }
}

bool has_flotherm_root(const std::string& path, fsio::Interrupt* interrupt) {
  Result<fsio::File> file = fsio::File::open_read(path, interrupt);
  if (!file) return false;
  FileSource source(file.value());
  xml::XmlPullReader reader(source);
  // Only the first element's name matters, so nothing else is kept, however long.
  reader.set_skim(true);
  reader.show_only({xml::XmlEventKind::Start, xml::XmlEventKind::Empty});
  std::string scratch;
  Result<xml::XmlEvent> ev = reader.next_event(scratch);
  if (!ev || ev.value().kind == xml::XmlEventKind::Eof) return false;
  const std::string_view name = ev.value().name();
  // A clipped name still holds its whole local part when a ":" was kept.
  if (reader.name_clipped() && name.find(':') == std::string_view::npos) return false;
  return is_root(describe(name).word);
}

}  // namespace tolvanex::parsers::flotherm
