// The AEDT block parser: one pass over the kept lines of a project, with a stack of open
// block names and three kinds of pending records (model blocks, design-information blocks,
// boundary blocks) whose content is gathered until their block ends.
//
// What a project looks like, in the parts read here:
//
//   $begin 'AnsoftProject'
//     $begin 'Desktop'            Version(2024, 1, 0)        -> version hint "2024.1"
//     $begin 'HFSSModel'          Name='Antenna'  SolutionType='DrivenModal'
//       $begin 'Boundaries'  $begin 'Port1'  BoundType='Wave Port'  $end 'Port1' ...
//     $begin 'DesignInfo'         DesignName='Antenna'  Factory='HFSS'  IsSolved=true
//     $begin 'IcepakModel'        Name='Cooling'  AmbientTemperature='20cel' ...
//   $end 'AnsoftProject'
//
// Unbalanced text is read by the same rules: an end always pops one block, whatever its
// name, but closes a pending record only at that record's depth (and, for models and
// boundaries, its block name); records never closed are dropped at the end.
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>

#include "tolvanex/parsers/hfss.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::parsers::hfss {
namespace {

using std::string_view;
using OptText = std::optional<std::string>;

// ---------------------------------------------------------------------------------------
// Assignments and values

// A line split at its first "=": the trimmed key side and the raw value text.
struct Assignment {
  string_view key_side;
  string_view value_text;
};

std::optional<Assignment> split_assignment(string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == string_view::npos) return std::nullopt;
  return Assignment{text::trim_unicode(line.substr(0, eq)), line.substr(eq + 1)};
}

string_view strip_single_quotes(string_view s) {
  while (s.starts_with('\'')) s.remove_prefix(1);
  while (s.ends_with('\'')) s.remove_suffix(1);
  return s;
}

// Projects write both Key='v' and Key:='v', and quote keys that hold blanks. A ":" ending the
// key side is read as part of the sign for quoted keys too ('Total Power':='1W'), since the
// line filter keeps exactly those lines for the parser.
bool names_key(string_view key_side, string_view key) {
  if (strip_single_quotes(key_side) == key) return true;
  return key_side.ends_with(':') &&
         strip_single_quotes(key_side.substr(0, key_side.size() - 1)) == key;
}

// Fills `field` from the line's assignment to `key`, only while the field is still absent:
// the first line that gives a value wins.
void take_value(OptText& field, const std::optional<Assignment>& assignment, string_view key) {
  if (!field && assignment && names_key(assignment->key_side, key))
    field = extract_quoted_or_word(assignment->value_text);
}
void take(OptText& field, const std::optional<Assignment>& assignment, AedtKey key) {
  take_value(field, assignment, key.text);
}

// "Version(major, minor, ...)" gives "major.minor"; further pieces are not read.
OptText version_hint(string_view line) {
  constexpr string_view kOpen = AedtCall("Version(").text;
  if (!line.starts_with(kOpen) || line.size() <= kOpen.size() || !line.ends_with(')'))
    return std::nullopt;
  const string_view inner = line.substr(kOpen.size(), line.size() - kOpen.size() - 1);
  const std::size_t comma = inner.find(',');
  if (comma == string_view::npos) return std::nullopt;
  const string_view rest = inner.substr(comma + 1);
  const auto major = text::parse_u32(text::trim_unicode(inner.substr(0, comma)));
  const auto minor = text::parse_u32(text::trim_unicode(rest.substr(0, rest.find(','))));
  if (!major || !minor) return std::nullopt;
  return std::to_string(*major) + "." + std::to_string(*minor);
}

std::optional<bool> solved_flag(const OptText& value) {
  if (!value) return std::nullopt;
  const std::string v = text::ascii_lower(*value);
  if (v == "true" || v == "1") return true;
  if (v == "false" || v == "0") return false;
  return std::nullopt;
}

// The name of a "$begin 'Name'" or "$end 'Name'" line.
OptText block_name(string_view line, AedtBlockKeyword keyword) {
  if (!line.starts_with(keyword.text)) return std::nullopt;
  const string_view rest = text::trim_unicode(line.substr(keyword.text.size()));
  if (!rest.starts_with('\'')) return std::nullopt;
  return extract_quoted_or_word(rest);
}

// ---------------------------------------------------------------------------------------
// Block names

template <std::size_t N>
bool among(const std::array<string_view, N>& names, string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

constexpr std::array<string_view, 2> kProjectBlocks = {"AnsoftProject", "ProjectPreview"};
constexpr std::array<string_view, 3> kNotDesignModels = {"SubModel", "UserDefinedModel",
                                                         "OperandUserDefinedModel"};
// Children that every listed parent holds for its own bookkeeping.
constexpr std::array<string_view, 4> kHousekeeping = {"Data", "Properties", "NextUniqueID",
                                                      "MoveBackwards"};
constexpr std::array<string_view, 8> kBoundaryHousekeeping = {
    "BoundariesDesc",   "BoundariesData",   "BoundariesIDMap",   "BoundariesInstData",
    "ExcitationsDesc",  "ExcitationsData",  "ExcitationsIDMap",  "ExcitationsInstData"};
constexpr std::array<string_view, 4> kMeshRegionHousekeeping = {
    "MeshRegionsDesc", "MeshRegionsData", "MeshRegionsIDMap", "MeshRegionsInstData"};
constexpr std::array<string_view, 3> kBoundaryParents = {"Boundaries", "BoundariesData",
                                                         "ExcitationsData"};
constexpr string_view kIcepakModel = "IcepakModel";
constexpr string_view kModelSuffix = "Model";

// A block directly under the project whose name ends in "Model" is a design's model.
bool is_model_block(string_view name) {
  return name.ends_with(kModelSuffix) && !among(kNotDesignModels, name);
}

// ---------------------------------------------------------------------------------------
// Pending records

struct PendingModel {
  std::string block_name;
  OptText name;
  IcepakDesign settings;  // every setting but the name; solution_type serves every model
  std::size_t depth = 0;  // the depth of the lines directly inside the block
};

struct PendingDesignInfo {
  OptText name;
  OptText factory;
  std::optional<bool> is_solved;
  std::size_t depth = 0;
};

struct PendingBoundary {
  std::string block_name;
  OptText boundary_type;
  OptText thermal_condition;
  OptText total_power;
  OptText temperature;
  std::size_t depth = 0;
};

// The pending records of one kind, in opening order. A block end closes the most recently
// opened record of its key (the depth and, for models and boundaries, the block name). The
// index keeps that look-up logarithmic and "the last pending record" constant, so text with
// many blocks that never close does not turn the pass quadratic.
template <class Record>
class PendingRecords {
 public:
  using Key = std::pair<std::size_t, std::string>;

  void open(Key key, Record record) {
    index_[std::move(key)].push_back(slots_.size());
    slots_.emplace_back(std::move(record));
  }
  // The most recently opened record still pending, if any.
  Record* last() { return slots_.empty() ? nullptr : &*slots_.back(); }

  std::optional<Record> close(const Key& key) {
    const auto it = index_.find(key);
    if (it == index_.end()) return std::nullopt;
    std::optional<Record> record;
    record.swap(slots_[it->second.back()]);
    it->second.pop_back();
    if (it->second.empty()) index_.erase(it);
    while (!slots_.empty() && !slots_.back()) slots_.pop_back();  // the last slot stays live
    return record;
  }

 private:
  std::vector<std::optional<Record>> slots_;  // closed records leave an empty slot
  std::map<Key, std::vector<std::size_t>> index_;
};

// Field by field: what the newer design states replaces what the older one said.
void merge_fields(HfssDesign& into, HfssDesign&& from) {
  if (from.design_type) into.design_type = std::move(from.design_type);
  if (from.solution_type) into.solution_type = std::move(from.solution_type);
  if (from.is_solved) into.is_solved = from.is_solved;
}

// The designs as merge_design keeps them, with an index by name.
class DesignList {
 public:
  void merge(HfssDesign design) {
    const auto [it, added] = at_.try_emplace(design.name, list_.size());
    if (added)
      list_.push_back(std::move(design));
    else
      merge_fields(list_[it->second], std::move(design));
  }
  std::vector<HfssDesign> take() { return std::move(list_); }

 private:
  std::vector<HfssDesign> list_;
  std::unordered_map<std::string, std::size_t> at_;
};

template <class Item>
void sort_dedup_by_name(std::vector<Item>& items) {
  std::stable_sort(items.begin(), items.end(),
                   [](const Item& a, const Item& b) { return a.name < b.name; });
  items.erase(std::unique(items.begin(), items.end(),
                          [](const Item& a, const Item& b) { return a.name == b.name; }),
              items.end());
}

void sort_dedup(std::vector<std::string>& names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
}

// ---------------------------------------------------------------------------------------
// The pass

class BlockParser {
 public:
  void read_line(string_view line) {
    if (OptText name = block_name(line, "$begin")) return begin_block(std::move(*name));
    if (!inside_) return;
    if (OptText name = block_name(line, "$end")) return end_block(*name);
    ordinary_line(line);
  }

  HfssAedtSummary finish() {
    HfssAedtSummary s = std::move(summary_);
    s.designs = designs_.take();
    sort_dedup_designs(s.designs);
    for (auto* list : {&s.variables, &s.setups, &s.sweeps, &s.ports, &s.boundaries,
                       &s.materials, &s.mesh_operations})
      sort_dedup(*list);
    const bool icepak_design_type = std::any_of(s.designs.begin(), s.designs.end(), [](auto& d) {
      return d.design_type && text::ascii_iequals(*d.design_type, "icepak");
    });
    if (!icepak_.designs.empty() || icepak_design_type) {
      sort_dedup_by_name(icepak_.designs);
      sort_dedup_by_name(icepak_.thermal_boundaries);
      sort_dedup(icepak_.monitors);
      sort_dedup(icepak_.mesh_regions);
      s.icepak = std::move(icepak_);
    }
    return s;
  }

 private:
  void push(std::string name) {
    solve_setups_open_ += name == "SolveSetups";
    definitions_open_ += name == "Definitions";
    stack_.push_back(std::move(name));
  }
  void pop() {
    if (stack_.empty()) return;
    solve_setups_open_ -= stack_.back() == "SolveSetups";
    definitions_open_ -= stack_.back() == "Definitions";
    stack_.pop_back();
  }

  void begin_block(std::string name) {
    if (!inside_) {
      if (!among(kProjectBlocks, name)) return;
      inside_ = true;
      return push(std::move(name));
    }
    const string_view parent = stack_.empty() ? string_view() : string_view(stack_.back());
    const std::size_t depth = stack_.size() + 1;
    if (parent == "AnsoftProject" && is_model_block(name)) {
      icepak_models_pending_ += name == kIcepakModel;
      models_.open({depth, name}, PendingModel{name, {}, {}, depth});
    }
    if (name == "DesignInfo") infos_.open({depth, {}}, PendingDesignInfo{{}, {}, {}, depth});
    if (!among(kHousekeeping, name)) child_of(parent, name, depth);
    push(std::move(name));
  }

  // Names listed under the parents that hold them.
  void child_of(string_view parent, const std::string& name, std::size_t depth) {
    if (parent == "SolveSetups") {
      summary_.setups.push_back(name);
    } else if (parent == "Sweeps") {
      if (solve_setups_open_ > 0) summary_.sweeps.push_back(name);
    } else if (parent == "Materials") {
      if (definitions_open_ > 0) summary_.materials.push_back(name);
    } else if (parent == "MeshOperations") {
      summary_.mesh_operations.push_back(name);
    } else if (parent == "IcepakMonitors") {
      icepak_.monitors.push_back(name);
    } else if (parent == "MeshRegions") {
      if (!among(kMeshRegionHousekeeping, name)) icepak_.mesh_regions.push_back(name);
    } else if (among(kBoundaryParents, parent) && !among(kBoundaryHousekeeping, name)) {
      boundaries_.open({depth, name}, PendingBoundary{name, {}, {}, {}, {}, depth});
    }
  }

  void end_block(const std::string& name) {
    const PendingRecords<PendingModel>::Key key{stack_.size(), name};
    if (std::optional<PendingModel> model = models_.close(key)) {
      icepak_models_pending_ -= model->block_name == kIcepakModel;
      if (model->name) close_model(std::move(*model));
    }
    if (name == "DesignInfo") {
      std::optional<PendingDesignInfo> info = infos_.close({stack_.size(), {}});
      if (info && info->name)
        designs_.merge({std::move(*info->name), std::move(info->factory), std::nullopt,
                        info->is_solved});
    }
    if (std::optional<PendingBoundary> boundary = boundaries_.close(key))
      if (boundary->boundary_type) close_boundary(std::move(*boundary));
    pop();
    if (among(kProjectBlocks, name)) inside_ = false;
  }

  void close_model(PendingModel&& model) {
    const std::string& block = model.block_name;
    // 'HFSSModel' is an HFSS design; a block named just "Model" keeps its whole name.
    std::string design_type =
        block.size() > kModelSuffix.size() ? block.substr(0, block.size() - kModelSuffix.size())
                                           : block;
    HfssDesign design{*model.name, std::move(design_type), model.settings.solution_type,
                      std::nullopt};
    if (block == kIcepakModel) {
      model.settings.name = std::move(*model.name);
      icepak_.designs.push_back(std::move(model.settings));
    }
    designs_.merge(std::move(design));
  }

  void close_boundary(PendingBoundary&& b) {
    if (icepak_models_pending_ > 0)
      icepak_.thermal_boundaries.push_back(
          {b.block_name, *b.boundary_type, b.thermal_condition, b.total_power, b.temperature});
    const std::string type = text::ascii_lower(*b.boundary_type);
    const bool port = type.find("port") != std::string::npos ||
                      type.find("terminal") != std::string::npos;
    (port ? summary_.ports : summary_.boundaries).push_back(std::move(b.block_name));
  }

  void ordinary_line(string_view line) {
    const std::size_t depth = stack_.size();
    const std::optional<Assignment> a = split_assignment(line);
    if (depth == 1) {
      take(summary_.project_name, a, "ProjectName");
      take(summary_.product, a, "Product");
    }
    if (depth > 0 && stack_.back() == "Desktop" && !summary_.version_hint)
      summary_.version_hint = version_hint(line);
    if (PendingModel* m = models_.last()) {
      IcepakDesign& s = m->settings;
      if (m->depth == depth) {
        take(m->name, a, "Name");
        take(s.solution_type, a, "SolutionType");
      }
      // An Icepak model's settings also stand in blocks nested inside it.
      if (m->block_name == kIcepakModel && m->depth <= depth) {
        take(s.solution_type, a, "SolutionTypeOption");
        take(s.problem_option, a, "ProblemOption");
        take(s.ambient_temperature, a, "AmbientTemperature");
        take(s.ambient_pressure, a, "AmbientPressure");
        take(s.ambient_radiation_temperature, a, "AmbientRadiationTemperature");
        take(s.default_fluid_material, a, "Default Fluid Material");
        take(s.default_solid_material, a, "Default Solid Material");
        take(s.default_surface_material, a, "Default Surface Material");
      }
    }
    if (PendingDesignInfo* info = infos_.last(); info && info->depth == depth) {
      take(info->name, a, "DesignName");
      take(info->factory, a, "Factory");
      OptText solved;
      if (!info->is_solved) take(solved, a, "IsSolved");
      if (solved) info->is_solved = solved_flag(solved);  // "yes" leaves room for a later line
    }
    if (PendingBoundary* b = boundaries_.last(); b && b->depth == depth) {
      take(b->boundary_type, a, "BoundType");
      take(b->thermal_condition, a, "Thermal Condition");
      take(b->total_power, a, "Total Power");
      take(b->temperature, a, "Temperature");
    }
    for (const AedtCall call : {AedtCall("VariableProp("), AedtCall("PostProcessingVariableProp(")}) {
      if (!line.starts_with(call.text)) continue;
      if (OptText variable = extract_quoted_or_word(line.substr(call.text.size())))
        summary_.variables.push_back(std::move(*variable));
      break;
    }
  }

  std::vector<std::string> stack_;  // open block names, outermost first
  std::size_t solve_setups_open_ = 0;
  std::size_t definitions_open_ = 0;
  bool inside_ = false;
  HfssAedtSummary summary_;
  DesignList designs_;
  IcepakAedtSummary icepak_;
  PendingRecords<PendingModel> models_;
  std::size_t icepak_models_pending_ = 0;
  PendingRecords<PendingDesignInfo> infos_;
  PendingRecords<PendingBoundary> boundaries_;
};

}  // namespace

HfssAedtSummary parse_aedt_text(string_view text, std::optional<std::string> source_member,
                                bool truncated, bool lock_file_present, bool results_dir_present) {
  // The reader hands over decoded text; anything else is decoded here, so that every text
  // in the record is UTF-8.
  std::string decoded;
  if (!text::is_valid_utf8(text)) {
    decoded = text::decode_lossy(text);
    text = decoded;
  }
  BlockParser parser;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    parser.read_line(text::trim_unicode(text.substr(0, lf)));  // CR of a CR LF end is white space
    text = lf == string_view::npos ? string_view() : text.substr(lf + 1);
  }
  HfssAedtSummary s = parser.finish();
  s.source_member = std::move(source_member);
  s.sidecars = {lock_file_present, results_dir_present};
  s.truncated = truncated;
  return s;
}

std::optional<std::string> extract_assignment(string_view line, string_view key) {
  OptText value;
  take_value(value, split_assignment(line), key);
  return value;
}

std::optional<std::string> extract_quoted_or_word(string_view text) {
  string_view s = text::trim_unicode(text);
  while (s.starts_with('(')) s.remove_prefix(1);
  while (s.starts_with(',')) s.remove_prefix(1);
  for (const char quote : {'\'', '"'}) {
    const std::size_t open = s.find(quote);
    if (open == string_view::npos) continue;
    const std::size_t close = s.find(quote, open + 1);
    if (close != string_view::npos) return std::string(s.substr(open + 1, close - open - 1));
  }
  while (true) {
    const std::size_t end = s.find_first_of(" ),");
    const string_view word = text::trim_unicode(s.substr(0, end));
    if (!word.empty()) return std::string(word);
    if (end == string_view::npos) return std::nullopt;
    s.remove_prefix(end + 1);
  }
}

void merge_design(std::vector<HfssDesign>& designs, HfssDesign design) {
  const auto same = std::find_if(designs.begin(), designs.end(),
                                 [&](const HfssDesign& d) { return d.name == design.name; });
  if (same == designs.end())
    designs.push_back(std::move(design));
  else
    merge_fields(*same, std::move(design));
}

void sort_dedup_designs(std::vector<HfssDesign>& designs) { sort_dedup_by_name(designs); }

}  // namespace tolvanex::parsers::hfss
