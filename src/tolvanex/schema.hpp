// The result model: format names, options, every summary record and its field list.
//
// Each record names its JSON fields once, with TVX_RECORD: the keys are the member names,
// in the order given. The JSON writer and the compact form both walk the resulting
// `fields()` list, so a record's keys and their order are declared in exactly one place.
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

// The next three are read from the format table (formats.cpp).

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
  using member_type = Member;
  std::string_view key;
  Member Record::*member;
  Presence presence = Presence::Always;
};

// A field of `Record`. Every absent optional is written null, except the one that a record
// names in `omitted_when_absent`, whose key is then left out.
template <class Record, class Member>
constexpr Field<Record, Member> record_field(std::string_view key, Member Record::*member) {
  if constexpr (requires { Record::omitted_when_absent; }) {
    if (key == Record::omitted_when_absent) return {key, member, Presence::OmitWhenAbsent};
  }
  return {key, member, Presence::Always};
}

template <class T>
concept Described = requires { T::fields(); };

// What a field holds, for the code that walks field lists (the JSON writer, the compact
// form, the HDF5 worker's wire form).
template <class T>
inline constexpr bool is_optional_v = false;
template <class T>
inline constexpr bool is_optional_v<std::optional<T>> = true;
template <class T>
inline constexpr bool is_vector_v = false;
template <class T, class A>
inline constexpr bool is_vector_v<std::vector<T, A>> = true;
template <class T>
inline constexpr bool is_variant_v = false;
template <class... T>
inline constexpr bool is_variant_v<std::variant<T...>> = true;

// TVX_RECORD(Record, a, b, c), inside the record: its JSON fields "a", "b", "c" in this
// order (`fields()`), and member-wise equality.
#define TVX_RECORD(Record, ...)                                                    \
  static constexpr auto fields() {                                                 \
    return std::make_tuple(TVX_FOR_EACH(TVX_RECORD_FIELD, Record, __VA_ARGS__));    \
  }                                                                                \
  friend bool operator==(const Record&, const Record&) = default

#define TVX_RECORD_FIELD(Record, member) ::tolvanex::record_field<Record>(#member, &Record::member)

// TVX_FOR_EACH(m, r, a, b, ...) gives m(r, a), m(r, b), ...: up to 64 items, each rescan
// of TVX_EXPAND taking one step.
#define TVX_FOR_EACH(macro, arg, ...) \
  __VA_OPT__(TVX_EXPAND(TVX_FOR_EACH_STEP(macro, arg, __VA_ARGS__)))
#define TVX_FOR_EACH_STEP(macro, arg, first, ...) \
  macro(arg, first) __VA_OPT__(, TVX_FOR_EACH_AGAIN TVX_PARENS(macro, arg, __VA_ARGS__))
#define TVX_FOR_EACH_AGAIN() TVX_FOR_EACH_STEP
#define TVX_PARENS ()
#define TVX_EXPAND(...) TVX_EXPAND3(TVX_EXPAND3(TVX_EXPAND3(TVX_EXPAND3(__VA_ARGS__))))
#define TVX_EXPAND3(...) TVX_EXPAND2(TVX_EXPAND2(TVX_EXPAND2(TVX_EXPAND2(__VA_ARGS__))))
#define TVX_EXPAND2(...) TVX_EXPAND1(TVX_EXPAND1(TVX_EXPAND1(TVX_EXPAND1(__VA_ARGS__))))
#define TVX_EXPAND1(...) __VA_ARGS__

// ---------------------------------------------------------------------------------------
// Item records shared by several formats

struct NamedCount {
  std::string name;
  std::uint64_t count = 0;
  TVX_RECORD(NamedCount, name, count);
};

struct NamedValue {
  std::string name;
  std::optional<std::string> value;
  std::optional<std::string> reference;
  TVX_RECORD(NamedValue, name, value, reference);
};

struct SizeBucket {
  std::string bucket;
  std::uint64_t bytes = 0;
  TVX_RECORD(SizeBucket, bucket, bytes);
};

// ---------------------------------------------------------------------------------------
// AEDT (HFSS and Icepak projects)

struct HfssDesign {
  std::string name;
  std::optional<std::string> design_type;
  std::optional<std::string> solution_type;
  std::optional<bool> is_solved;
  TVX_RECORD(HfssDesign, name, design_type, solution_type, is_solved);
};

struct HfssSidecars {
  bool lock_file_present = false;
  bool results_dir_present = false;
  TVX_RECORD(HfssSidecars, lock_file_present, results_dir_present);
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
  TVX_RECORD(IcepakDesign, name, solution_type, problem_option, ambient_temperature,
             ambient_pressure, ambient_radiation_temperature, default_fluid_material,
             default_solid_material, default_surface_material);
};

struct IcepakBoundary {
  std::string name;
  std::string boundary_type;
  std::optional<std::string> thermal_condition;
  std::optional<std::string> total_power;
  std::optional<std::string> temperature;
  TVX_RECORD(IcepakBoundary, name, boundary_type, thermal_condition, total_power, temperature);
};

struct IcepakAedtSummary {
  std::vector<IcepakDesign> designs;
  std::vector<IcepakBoundary> thermal_boundaries;
  std::vector<std::string> monitors;
  std::vector<std::string> mesh_regions;
  TVX_RECORD(IcepakAedtSummary, designs, thermal_boundaries, monitors, mesh_regions);
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
  static constexpr std::string_view omitted_when_absent = "icepak";
  TVX_RECORD(HfssAedtSummary, project_name, product, version_hint, designs, variables, setups,
             sweeps, ports, boundaries, materials, mesh_operations, icepak, source_member,
             sidecars, truncated);
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
  TVX_RECORD(ComsolMphSummary, schema, saved_in, title, description, comsol_version, node_type,
             is_runnable, parameters, physics_tags, study_tags, material_tags, used_licenses,
             size_breakdown, entries);
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
  TVX_RECORD(AbaqusInpSummary, title, includes, node_count, element_count, materials, sections,
             steps, boundary_keywords, load_keywords, output_keywords, unknown_keywords);
};

// ---------------------------------------------------------------------------------------
// Icepak archives, FloTHERM packs and FloXML

struct IcepakTzrEntry {
  std::string name;
  std::string entry_type;  // "file", "directory", "symlink", "hard-link", "other"
  std::uint64_t bytes = 0;
  TVX_RECORD(IcepakTzrEntry, name, entry_type, bytes);
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
  TVX_RECORD(IcepakTzrSummary, project_name, gzip_compressed, entry_count, file_count,
             directory_count, uncompressed_bytes, job_file_present, model_file_present, entries,
             truncated);
};

struct FlothermPackEntry {
  std::string name;
  bool directory = false;
  std::uint64_t compressed_bytes = 0;
  std::uint64_t uncompressed_bytes = 0;
  TVX_RECORD(FlothermPackEntry, name, directory, compressed_bytes, uncompressed_bytes);
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
  TVX_RECORD(FlothermPackSummary, project_name, project_directory, entry_count, file_count,
             directory_count, compressed_bytes, uncompressed_bytes, project_data_present,
             base_solution_present, entries, truncated);
};

struct FlothermGridAxis {
  std::string axis;
  std::optional<std::string> grid_type;
  std::optional<std::string> min_size;
  std::optional<std::string> max_size;
  TVX_RECORD(FlothermGridAxis, axis, grid_type, min_size, max_size);
};

struct FlothermEntity {
  std::string kind;
  std::string name;
  TVX_RECORD(FlothermEntity, kind, name);
};

struct FlothermSource {
  std::string name;
  std::vector<std::string> powers;
  TVX_RECORD(FlothermSource, name, powers);
};

struct FlothermBoundary {
  std::string face;
  std::string kind;  // "ambient" or "boundary"
  std::string value;
  TVX_RECORD(FlothermBoundary, face, kind, value);
};

struct FlothermSolutionDomain {
  std::optional<std::string> fluid;
  std::vector<FlothermBoundary> boundaries;
  TVX_RECORD(FlothermSolutionDomain, fluid, boundaries);
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
  TVX_RECORD(FlothermFloxmlSummary, root, name, solution, dimensionality, transient, radiation,
             turbulence_type, gravity_direction, ambient_temperature, datum_pressure,
             outer_iterations, grid, attribute_type_counts, attributes, geometry_type_counts,
             geometry, sources, solution_domain, truncated);
};

// ---------------------------------------------------------------------------------------
// HDF5: Fluent files and Mechanical databases

struct Hdf5AttributeInfo {
  std::string name;
  std::string value;
  TVX_RECORD(Hdf5AttributeInfo, name, value);
};

struct Hdf5GroupInfo {
  std::string path;
  std::vector<Hdf5AttributeInfo> attributes;
  TVX_RECORD(Hdf5GroupInfo, path, attributes);
};

struct Hdf5DatasetInfo {
  std::string path;
  std::vector<std::uint64_t> shape;
  std::string dtype;
  std::vector<Hdf5AttributeInfo> attributes;
  TVX_RECORD(Hdf5DatasetInfo, path, shape, dtype, attributes);
};

struct FluentHdf5Hints {
  std::vector<std::string> zone_paths;
  std::vector<std::string> boundary_paths;
  std::vector<std::string> settings_paths;
  TVX_RECORD(FluentHdf5Hints, zone_paths, boundary_paths, settings_paths);
};

struct FluentHdf5Summary {
  std::vector<Hdf5AttributeInfo> root_attributes;
  std::vector<Hdf5GroupInfo> groups;
  std::vector<Hdf5DatasetInfo> datasets;
  FluentHdf5Hints hints;
  TVX_RECORD(FluentHdf5Summary, root_attributes, groups, datasets, hints);
};

struct MechanicalObjectTypeCount {
  std::uint32_t type_id = 0;
  std::uint64_t count = 0;
  TVX_RECORD(MechanicalObjectTypeCount, type_id, count);
};

struct MechanicalStreamInfo {
  std::string name;
  std::uint64_t used_bytes = 0;
  TVX_RECORD(MechanicalStreamInfo, name, used_bytes);
};

struct MechanicalSidecars {
  bool lock_file_present = false;
  bool project_files_dir_present = false;
  TVX_RECORD(MechanicalSidecars, lock_file_present, project_files_dir_present);
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
  TVX_RECORD(MechanicalMechdbSummary, mechanical_version, database_format_version, release_kind,
             object_count, object_type_counts, analyses, bodies, materials, contacts,
             loads_and_conditions, results, geometry_sources, streams, sidecars, content_truncated);
};

// ---------------------------------------------------------------------------------------
// The result record

// One summary per format; the alternative's index is the SimFormat ordinal, and the JSON
// form is {"kind": format name, "data": record}.
using FormatSummary =
    std::variant<ComsolMphSummary, AbaqusInpSummary, FluentHdf5Summary, HfssAedtSummary,
                 MechanicalMechdbSummary, IcepakTzrSummary, FlothermFloxmlSummary,
                 FlothermPackSummary>;

struct TolvanexResult {
  std::optional<std::string> path;  // left out when absent
  std::string file_name;
  SimFormat format = SimFormat::ComsolMph;
  bool ok = true;
  std::vector<std::string> warnings;
  FormatSummary summary;
  static constexpr std::string_view omitted_when_absent = "path";
  TVX_RECORD(TolvanexResult, path, file_name, format, ok, warnings, summary);
};

}  // namespace tolvanex
