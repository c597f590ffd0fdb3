// The result model: format names, options, every summary record and its field list.
//
// Each record lists its JSON fields once, in `fields()`: (key, member, presence). The JSON
// writer and the compact form both walk these lists, so a record's keys and order are
// declared in exactly one place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

namespace tolvanex {

// ---------------------------------------------------------------------------------------
// Formats and options

enum class SimFormat : std::uint8_t {
  ComsolMph = 0,
  AbaqusInp = 1,
  FluentHdf5 = 2,
  HfssAedt = 3,
  AnsysMechanical = 4,
  IcepakTzr = 5,
  FlothermFloxml = 6,
  FlothermPack = 7,
};

inline constexpr std::size_t kFormatCount = 8;

// "comsol-mph", "abaqus-inp", ...: the format's name in records and errors.
std::string_view format_name(SimFormat format);

// Parses one of the 24 accepted names, ignoring ASCII case. On failure `error` holds
// "auto is not a concrete format" or "unknown format: {lower-cased text}".
std::optional<SimFormat> parse_format(std::string_view text, std::string* error);

inline constexpr std::uint64_t kDefaultByteBudget = 2'097'152;

struct InspectOptions {
  std::uint64_t byte_budget = kDefaultByteBudget;
  std::optional<SimFormat> format;
  bool include_paths = false;
};

struct ScanOptions {
  std::vector<std::string> patterns;
  InspectOptions inspect_options;
  bool recursive = true;
  bool include_paths = false;

  // The 13 default suffix patterns, budget 2 MiB, no forced format, recursive, no paths.
  static ScanOptions defaults();
};

// ---------------------------------------------------------------------------------------
// Field descriptions

enum class Presence {
  Always,          // written always; an absent optional is null
  OmitWhenAbsent,  // an absent optional leaves its key out
};

template <class Record, class Member>
struct Field {
  std::string_view key;
  Member Record::*member;
  Presence presence = Presence::Always;
};

template <class Record, class Member>
constexpr Field<Record, Member> field(std::string_view key, Member Record::*member,
                                      Presence presence = Presence::Always) {
  return {key, member, presence};
}

template <class T>
concept Described = requires { T::fields(); };

#define TVX_FIELD(Record, name) ::tolvanex::field(#name, &Record::name)

// ---------------------------------------------------------------------------------------
// Item records shared by several formats

struct NamedCount {
  std::string name;
  std::uint64_t count = 0;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(NamedCount, name), TVX_FIELD(NamedCount, count));
  }
  friend bool operator==(const NamedCount&, const NamedCount&) = default;
};

struct NamedValue {
  std::string name;
  std::optional<std::string> value;
  std::optional<std::string> reference;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(NamedValue, name), TVX_FIELD(NamedValue, value),
                           TVX_FIELD(NamedValue, reference));
  }
  friend bool operator==(const NamedValue&, const NamedValue&) = default;
};

struct SizeBucket {
  std::string bucket;
  std::uint64_t bytes = 0;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(SizeBucket, bucket), TVX_FIELD(SizeBucket, bytes));
  }
  friend bool operator==(const SizeBucket&, const SizeBucket&) = default;
};

// ---------------------------------------------------------------------------------------
// AEDT (HFSS and Icepak projects)

struct HfssDesign {
  std::string name;
  std::optional<std::string> design_type;
  std::optional<std::string> solution_type;
  std::optional<bool> is_solved;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(HfssDesign, name), TVX_FIELD(HfssDesign, design_type),
                           TVX_FIELD(HfssDesign, solution_type), TVX_FIELD(HfssDesign, is_solved));
  }
  friend bool operator==(const HfssDesign&, const HfssDesign&) = default;
};

struct HfssSidecars {
  bool lock_file_present = false;
  bool results_dir_present = false;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(HfssSidecars, lock_file_present),
                           TVX_FIELD(HfssSidecars, results_dir_present));
  }
  friend bool operator==(const HfssSidecars&, const HfssSidecars&) = default;
};

struct IcepakDesign {
  std::string name;
  std::optional<std::string> solution_type;
  std::optional<std::string> problem_option;
  std::optional<std::string> ambient_temperature;
  std::optional<std::string> ambient_pressure;
  std::optional<std::string> ambient_radiation_temperature;
  std::optional<std::string> default_fluid_material;
  std::optional<std::string> default_solid_material;
  std::optional<std::string> default_surface_material;
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(IcepakDesign, name), TVX_FIELD(IcepakDesign, solution_type),
        TVX_FIELD(IcepakDesign, problem_option), TVX_FIELD(IcepakDesign, ambient_temperature),
        TVX_FIELD(IcepakDesign, ambient_pressure),
        TVX_FIELD(IcepakDesign, ambient_radiation_temperature),
        TVX_FIELD(IcepakDesign, default_fluid_material),
        TVX_FIELD(IcepakDesign, default_solid_material),
        TVX_FIELD(IcepakDesign, default_surface_material));
  }
  friend bool operator==(const IcepakDesign&, const IcepakDesign&) = default;
};

struct IcepakBoundary {
  std::string name;
  std::string boundary_type;
  std::optional<std::string> thermal_condition;
  std::optional<std::string> total_power;
  std::optional<std::string> temperature;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(IcepakBoundary, name), TVX_FIELD(IcepakBoundary, boundary_type),
                           TVX_FIELD(IcepakBoundary, thermal_condition),
                           TVX_FIELD(IcepakBoundary, total_power),
                           TVX_FIELD(IcepakBoundary, temperature));
  }
  friend bool operator==(const IcepakBoundary&, const IcepakBoundary&) = default;
};

struct IcepakAedtSummary {
  std::vector<IcepakDesign> designs;
  std::vector<IcepakBoundary> thermal_boundaries;
  std::vector<std::string> monitors;
  std::vector<std::string> mesh_regions;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(IcepakAedtSummary, designs),
                           TVX_FIELD(IcepakAedtSummary, thermal_boundaries),
                           TVX_FIELD(IcepakAedtSummary, monitors),
                           TVX_FIELD(IcepakAedtSummary, mesh_regions));
  }
  friend bool operator==(const IcepakAedtSummary&, const IcepakAedtSummary&) = default;
};

struct HfssAedtSummary {
  std::optional<std::string> project_name;
  std::optional<std::string> product;
  std::optional<std::string> version_hint;
  std::vector<HfssDesign> designs;
  std::vector<std::string> variables;
  std::vector<std::string> setups;
  std::vector<std::string> sweeps;
  std::vector<std::string> ports;
  std::vector<std::string> boundaries;
  std::vector<std::string> materials;
  std::vector<std::string> mesh_operations;
  std::optional<IcepakAedtSummary> icepak;
  std::optional<std::string> source_member;
  HfssSidecars sidecars;
  bool truncated = false;
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(HfssAedtSummary, project_name), TVX_FIELD(HfssAedtSummary, product),
        TVX_FIELD(HfssAedtSummary, version_hint), TVX_FIELD(HfssAedtSummary, designs),
        TVX_FIELD(HfssAedtSummary, variables), TVX_FIELD(HfssAedtSummary, setups),
        TVX_FIELD(HfssAedtSummary, sweeps), TVX_FIELD(HfssAedtSummary, ports),
        TVX_FIELD(HfssAedtSummary, boundaries), TVX_FIELD(HfssAedtSummary, materials),
        TVX_FIELD(HfssAedtSummary, mesh_operations),
        field("icepak", &HfssAedtSummary::icepak, Presence::OmitWhenAbsent),
        TVX_FIELD(HfssAedtSummary, source_member), TVX_FIELD(HfssAedtSummary, sidecars),
        TVX_FIELD(HfssAedtSummary, truncated));
  }
  friend bool operator==(const HfssAedtSummary&, const HfssAedtSummary&) = default;
};

// ---------------------------------------------------------------------------------------
// COMSOL and Abaqus

struct ComsolMphSummary {
  std::optional<std::string> schema;
  std::optional<std::string> saved_in;
  std::optional<std::string> title;
  std::optional<std::string> description;
  std::optional<std::string> comsol_version;
  std::optional<std::string> node_type;
  std::optional<bool> is_runnable;
  std::vector<NamedValue> parameters;
  std::vector<std::string> physics_tags;
  std::vector<std::string> study_tags;
  std::vector<std::string> material_tags;
  std::vector<std::string> used_licenses;
  std::vector<SizeBucket> size_breakdown;
  std::vector<std::string> entries;
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(ComsolMphSummary, schema), TVX_FIELD(ComsolMphSummary, saved_in),
        TVX_FIELD(ComsolMphSummary, title), TVX_FIELD(ComsolMphSummary, description),
        TVX_FIELD(ComsolMphSummary, comsol_version), TVX_FIELD(ComsolMphSummary, node_type),
        TVX_FIELD(ComsolMphSummary, is_runnable), TVX_FIELD(ComsolMphSummary, parameters),
        TVX_FIELD(ComsolMphSummary, physics_tags), TVX_FIELD(ComsolMphSummary, study_tags),
        TVX_FIELD(ComsolMphSummary, material_tags), TVX_FIELD(ComsolMphSummary, used_licenses),
        TVX_FIELD(ComsolMphSummary, size_breakdown), TVX_FIELD(ComsolMphSummary, entries));
  }
  friend bool operator==(const ComsolMphSummary&, const ComsolMphSummary&) = default;
};

struct AbaqusInpSummary {
  std::optional<std::string> title;
  // Include paths as the deck writes them; always valid UTF-8 (decks must be UTF-8).
  std::vector<std::string> includes;
  std::uint64_t node_count = 0;
  std::uint64_t element_count = 0;
  std::vector<std::string> materials;
  std::vector<std::string> sections;
  std::vector<std::string> steps;
  std::vector<std::string> boundary_keywords;
  std::vector<std::string> load_keywords;
  std::vector<std::string> output_keywords;
  std::vector<std::string> unknown_keywords;
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(AbaqusInpSummary, title), TVX_FIELD(AbaqusInpSummary, includes),
        TVX_FIELD(AbaqusInpSummary, node_count), TVX_FIELD(AbaqusInpSummary, element_count),
        TVX_FIELD(AbaqusInpSummary, materials), TVX_FIELD(AbaqusInpSummary, sections),
        TVX_FIELD(AbaqusInpSummary, steps), TVX_FIELD(AbaqusInpSummary, boundary_keywords),
        TVX_FIELD(AbaqusInpSummary, load_keywords), TVX_FIELD(AbaqusInpSummary, output_keywords),
        TVX_FIELD(AbaqusInpSummary, unknown_keywords));
  }
  friend bool operator==(const AbaqusInpSummary&, const AbaqusInpSummary&) = default;
};

// ---------------------------------------------------------------------------------------
// Icepak archives, FloTHERM packs and FloXML

struct IcepakTzrEntry {
  std::string name;
  std::string entry_type;  // "file", "directory", "symlink", "hard-link", "other"
  std::uint64_t bytes = 0;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(IcepakTzrEntry, name), TVX_FIELD(IcepakTzrEntry, entry_type),
                           TVX_FIELD(IcepakTzrEntry, bytes));
  }
  friend bool operator==(const IcepakTzrEntry&, const IcepakTzrEntry&) = default;
};

struct IcepakTzrSummary {
  std::optional<std::string> project_name;
  bool gzip_compressed = false;
  std::uint64_t entry_count = 0;
  std::uint64_t file_count = 0;
  std::uint64_t directory_count = 0;
  std::uint64_t uncompressed_bytes = 0;
  bool job_file_present = false;
  bool model_file_present = false;
  std::vector<IcepakTzrEntry> entries;
  bool truncated = false;
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(IcepakTzrSummary, project_name), TVX_FIELD(IcepakTzrSummary, gzip_compressed),
        TVX_FIELD(IcepakTzrSummary, entry_count), TVX_FIELD(IcepakTzrSummary, file_count),
        TVX_FIELD(IcepakTzrSummary, directory_count),
        TVX_FIELD(IcepakTzrSummary, uncompressed_bytes),
        TVX_FIELD(IcepakTzrSummary, job_file_present),
        TVX_FIELD(IcepakTzrSummary, model_file_present), TVX_FIELD(IcepakTzrSummary, entries),
        TVX_FIELD(IcepakTzrSummary, truncated));
  }
  friend bool operator==(const IcepakTzrSummary&, const IcepakTzrSummary&) = default;
};

struct FlothermPackEntry {
  std::string name;
  bool directory = false;
  std::uint64_t compressed_bytes = 0;
  std::uint64_t uncompressed_bytes = 0;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(FlothermPackEntry, name), TVX_FIELD(FlothermPackEntry, directory),
                           TVX_FIELD(FlothermPackEntry, compressed_bytes),
                           TVX_FIELD(FlothermPackEntry, uncompressed_bytes));
  }
  friend bool operator==(const FlothermPackEntry&, const FlothermPackEntry&) = default;
};

struct FlothermPackSummary {
  std::optional<std::string> project_name;
  std::optional<std::string> project_directory;
  std::uint64_t entry_count = 0;
  std::uint64_t file_count = 0;
  std::uint64_t directory_count = 0;
  std::uint64_t compressed_bytes = 0;
  std::uint64_t uncompressed_bytes = 0;
  bool project_data_present = false;
  bool base_solution_present = false;
  std::vector<FlothermPackEntry> entries;
  bool truncated = false;
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(FlothermPackSummary, project_name),
        TVX_FIELD(FlothermPackSummary, project_directory),
        TVX_FIELD(FlothermPackSummary, entry_count), TVX_FIELD(FlothermPackSummary, file_count),
        TVX_FIELD(FlothermPackSummary, directory_count),
        TVX_FIELD(FlothermPackSummary, compressed_bytes),
        TVX_FIELD(FlothermPackSummary, uncompressed_bytes),
        TVX_FIELD(FlothermPackSummary, project_data_present),
        TVX_FIELD(FlothermPackSummary, base_solution_present),
        TVX_FIELD(FlothermPackSummary, entries), TVX_FIELD(FlothermPackSummary, truncated));
  }
  friend bool operator==(const FlothermPackSummary&, const FlothermPackSummary&) = default;
};

struct FlothermGridAxis {
  std::string axis;
  std::optional<std::string> grid_type;
  std::optional<std::string> min_size;
  std::optional<std::string> max_size;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(FlothermGridAxis, axis), TVX_FIELD(FlothermGridAxis, grid_type),
                           TVX_FIELD(FlothermGridAxis, min_size),
                           TVX_FIELD(FlothermGridAxis, max_size));
  }
  friend bool operator==(const FlothermGridAxis&, const FlothermGridAxis&) = default;
};

struct FlothermEntity {
  std::string kind;
  std::string name;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(FlothermEntity, kind), TVX_FIELD(FlothermEntity, name));
  }
  friend bool operator==(const FlothermEntity&, const FlothermEntity&) = default;
};

struct FlothermSource {
  std::string name;
  std::vector<std::string> powers;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(FlothermSource, name), TVX_FIELD(FlothermSource, powers));
  }
  friend bool operator==(const FlothermSource&, const FlothermSource&) = default;
};

struct FlothermBoundary {
  std::string face;
  std::string kind;  // "ambient" or "boundary"
  std::string value;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(FlothermBoundary, face), TVX_FIELD(FlothermBoundary, kind),
                           TVX_FIELD(FlothermBoundary, value));
  }
  friend bool operator==(const FlothermBoundary&, const FlothermBoundary&) = default;
};

struct FlothermSolutionDomain {
  std::optional<std::string> fluid;
  std::vector<FlothermBoundary> boundaries;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(FlothermSolutionDomain, fluid),
                           TVX_FIELD(FlothermSolutionDomain, boundaries));
  }
  friend bool operator==(const FlothermSolutionDomain&, const FlothermSolutionDomain&) = default;
};

struct FlothermFloxmlSummary {
  std::string root;
  std::optional<std::string> name;
  std::optional<std::string> solution;
  std::optional<std::string> dimensionality;
  std::optional<bool> transient;
  std::optional<std::string> radiation;
  std::optional<std::string> turbulence_type;
  std::optional<std::string> gravity_direction;
  std::optional<std::string> ambient_temperature;
  std::optional<std::string> datum_pressure;
  std::optional<std::string> outer_iterations;
  std::vector<FlothermGridAxis> grid;
  std::vector<NamedCount> attribute_type_counts;
  std::vector<FlothermEntity> attributes;
  std::vector<NamedCount> geometry_type_counts;
  std::vector<FlothermEntity> geometry;
  std::vector<FlothermSource> sources;
  std::optional<FlothermSolutionDomain> solution_domain;
  bool truncated = false;
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(FlothermFloxmlSummary, root), TVX_FIELD(FlothermFloxmlSummary, name),
        TVX_FIELD(FlothermFloxmlSummary, solution),
        TVX_FIELD(FlothermFloxmlSummary, dimensionality),
        TVX_FIELD(FlothermFloxmlSummary, transient), TVX_FIELD(FlothermFloxmlSummary, radiation),
        TVX_FIELD(FlothermFloxmlSummary, turbulence_type),
        TVX_FIELD(FlothermFloxmlSummary, gravity_direction),
        TVX_FIELD(FlothermFloxmlSummary, ambient_temperature),
        TVX_FIELD(FlothermFloxmlSummary, datum_pressure),
        TVX_FIELD(FlothermFloxmlSummary, outer_iterations), TVX_FIELD(FlothermFloxmlSummary, grid),
        TVX_FIELD(FlothermFloxmlSummary, attribute_type_counts),
        TVX_FIELD(FlothermFloxmlSummary, attributes),
        TVX_FIELD(FlothermFloxmlSummary, geometry_type_counts),
        TVX_FIELD(FlothermFloxmlSummary, geometry), TVX_FIELD(FlothermFloxmlSummary, sources),
        TVX_FIELD(FlothermFloxmlSummary, solution_domain),
        TVX_FIELD(FlothermFloxmlSummary, truncated));
  }
  friend bool operator==(const FlothermFloxmlSummary&, const FlothermFloxmlSummary&) = default;
};

// ---------------------------------------------------------------------------------------
// HDF5: Fluent files and Mechanical databases

struct Hdf5AttributeInfo {
  std::string name;
  std::string value;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(Hdf5AttributeInfo, name), TVX_FIELD(Hdf5AttributeInfo, value));
  }
  friend bool operator==(const Hdf5AttributeInfo&, const Hdf5AttributeInfo&) = default;
};

struct Hdf5GroupInfo {
  std::string path;
  std::vector<Hdf5AttributeInfo> attributes;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(Hdf5GroupInfo, path), TVX_FIELD(Hdf5GroupInfo, attributes));
  }
  friend bool operator==(const Hdf5GroupInfo&, const Hdf5GroupInfo&) = default;
};

struct Hdf5DatasetInfo {
  std::string path;
  std::vector<std::uint64_t> shape;
  std::string dtype;
  std::vector<Hdf5AttributeInfo> attributes;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(Hdf5DatasetInfo, path), TVX_FIELD(Hdf5DatasetInfo, shape),
                           TVX_FIELD(Hdf5DatasetInfo, dtype), TVX_FIELD(Hdf5DatasetInfo, attributes));
  }
  friend bool operator==(const Hdf5DatasetInfo&, const Hdf5DatasetInfo&) = default;
};

struct FluentHdf5Hints {
  std::vector<std::string> zone_paths;
  std::vector<std::string> boundary_paths;
  std::vector<std::string> settings_paths;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(FluentHdf5Hints, zone_paths),
                           TVX_FIELD(FluentHdf5Hints, boundary_paths),
                           TVX_FIELD(FluentHdf5Hints, settings_paths));
  }
  friend bool operator==(const FluentHdf5Hints&, const FluentHdf5Hints&) = default;
};

struct FluentHdf5Summary {
  std::vector<Hdf5AttributeInfo> root_attributes;
  std::vector<Hdf5GroupInfo> groups;
  std::vector<Hdf5DatasetInfo> datasets;
  FluentHdf5Hints hints;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(FluentHdf5Summary, root_attributes),
                           TVX_FIELD(FluentHdf5Summary, groups), TVX_FIELD(FluentHdf5Summary, datasets),
                           TVX_FIELD(FluentHdf5Summary, hints));
  }
  friend bool operator==(const FluentHdf5Summary&, const FluentHdf5Summary&) = default;
};

struct MechanicalObjectTypeCount {
  std::uint32_t type_id = 0;
  std::uint64_t count = 0;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(MechanicalObjectTypeCount, type_id),
                           TVX_FIELD(MechanicalObjectTypeCount, count));
  }
  friend bool operator==(const MechanicalObjectTypeCount&, const MechanicalObjectTypeCount&) = default;
};

struct MechanicalStreamInfo {
  std::string name;
  std::uint64_t used_bytes = 0;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(MechanicalStreamInfo, name),
                           TVX_FIELD(MechanicalStreamInfo, used_bytes));
  }
  friend bool operator==(const MechanicalStreamInfo&, const MechanicalStreamInfo&) = default;
};

struct MechanicalSidecars {
  bool lock_file_present = false;
  bool project_files_dir_present = false;
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(MechanicalSidecars, lock_file_present),
                           TVX_FIELD(MechanicalSidecars, project_files_dir_present));
  }
  friend bool operator==(const MechanicalSidecars&, const MechanicalSidecars&) = default;
};

struct MechanicalMechdbSummary {
  std::optional<std::string> mechanical_version;
  std::optional<std::string> database_format_version;
  std::optional<std::string> release_kind;
  std::uint64_t object_count = 0;
  std::vector<MechanicalObjectTypeCount> object_type_counts;
  std::vector<std::string> analyses;
  std::vector<std::string> bodies;
  std::vector<std::string> materials;
  std::vector<std::string> contacts;
  std::vector<std::string> loads_and_conditions;
  std::vector<std::string> results;
  std::vector<std::string> geometry_sources;
  std::vector<MechanicalStreamInfo> streams;
  MechanicalSidecars sidecars;
  bool content_truncated = false;
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(MechanicalMechdbSummary, mechanical_version),
        TVX_FIELD(MechanicalMechdbSummary, database_format_version),
        TVX_FIELD(MechanicalMechdbSummary, release_kind),
        TVX_FIELD(MechanicalMechdbSummary, object_count),
        TVX_FIELD(MechanicalMechdbSummary, object_type_counts),
        TVX_FIELD(MechanicalMechdbSummary, analyses), TVX_FIELD(MechanicalMechdbSummary, bodies),
        TVX_FIELD(MechanicalMechdbSummary, materials), TVX_FIELD(MechanicalMechdbSummary, contacts),
        TVX_FIELD(MechanicalMechdbSummary, loads_and_conditions),
        TVX_FIELD(MechanicalMechdbSummary, results),
        TVX_FIELD(MechanicalMechdbSummary, geometry_sources),
        TVX_FIELD(MechanicalMechdbSummary, streams), TVX_FIELD(MechanicalMechdbSummary, sidecars),
        TVX_FIELD(MechanicalMechdbSummary, content_truncated));
  }
  friend bool operator==(const MechanicalMechdbSummary&, const MechanicalMechdbSummary&) = default;
};

// ---------------------------------------------------------------------------------------
// The result record

// One summary per format; the alternative's index is the SimFormat ordinal, and the JSON
// form is {"kind": format name, "data": record}.
using FormatSummary =
    std::variant<ComsolMphSummary, AbaqusInpSummary, FluentHdf5Summary, HfssAedtSummary,
                 MechanicalMechdbSummary, IcepakTzrSummary, FlothermFloxmlSummary,
                 FlothermPackSummary>;

inline SimFormat summary_format(const FormatSummary& s) { return static_cast<SimFormat>(s.index()); }

struct TolvanexResult {
  std::optional<std::string> path;
  std::string file_name;
  SimFormat format = SimFormat::ComsolMph;
  bool ok = true;
  std::vector<std::string> warnings;
  FormatSummary summary;
  static constexpr auto fields() {
    return std::make_tuple(field("path", &TolvanexResult::path, Presence::OmitWhenAbsent),
                           TVX_FIELD(TolvanexResult, file_name), TVX_FIELD(TolvanexResult, format),
                           TVX_FIELD(TolvanexResult, ok), TVX_FIELD(TolvanexResult, warnings),
                           TVX_FIELD(TolvanexResult, summary));
  }
  friend bool operator==(const TolvanexResult&, const TolvanexResult&) = default;
};

}  // namespace tolvanex
