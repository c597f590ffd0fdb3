// The compact view of a result: every text cut to 256 bytes, every list replaced by a
// sample of its first 8 items with the list's length, and fixed sentences that say what
// the inspection of each format leaves out. Its size has a fixed bound per format,
// whatever the inspected file holds.
//
// The compact records mirror the full records of schema.hpp key by key, and like them name
// their JSON fields once with TVX_RECORD, so json::write writes both forms. An item record
// that holds no list keeps its own type in the compact form, its texts bounded; a compact
// record departs from its full record only where noted at the record.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "tolvanex/schema.hpp"

namespace tolvanex::summary {

inline constexpr std::size_t SUMMARY_TEXT_LIMIT = 256;   // bytes kept of a text
inline constexpr std::size_t SUMMARY_SAMPLE_LIMIT = 8;   // items kept of a list

// A text of at most 256 bytes is copied; a longer one is cut at the last character
// boundary at or before byte 256 and followed by the ellipsis (U+2026).
std::string bounded_text(std::string_view text);
// An absent text stays absent. (A template, so that only an optional picks it.)
template <class T>
  requires std::same_as<T, std::optional<std::string>>
std::optional<std::string> bounded_text(const T& text) {
  if (!text) return std::nullopt;
  return bounded_text(std::string_view(*text));
}

// The compact form of a list: its length, its first 8 items converted, and whether items
// were left out.
template <class T>
struct BoundedList {
  using value_type = T;
  std::uint64_t total = 0;
  std::vector<T> sample;
  bool truncated = false;
  TVX_RECORD(BoundedList, total, sample, truncated);
};

// Converts only the sampled items: storage for them is reserved once and items past the
// eighth are never read.
template <class T, class Item, class Convert>
BoundedList<T> bounded_list(const std::vector<Item>& source, Convert&& convert) {
  BoundedList<T> list;
  const std::size_t kept = std::min(source.size(), SUMMARY_SAMPLE_LIMIT);
  list.sample.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) list.sample.push_back(convert(source[i]));
  list.total = source.size();
  list.truncated = source.size() > SUMMARY_SAMPLE_LIMIT;
  return list;
}

BoundedList<std::string> bounded_texts(const std::vector<std::string>& texts);

using BoundedTexts = BoundedList<std::string>;

// ---------------------------------------------------------------------------------------
// Compact item records that are field for field their full record: the full type itself,
// whose texts the mirror rule bounds like any other.

using CompactNamedValue = NamedValue;
using CompactSizeBucket = SizeBucket;
using CompactNamedCount = NamedCount;
using CompactHdf5Attribute = Hdf5AttributeInfo;
using CompactHfssDesign = HfssDesign;
using CompactIcepakDesign = IcepakDesign;
using CompactIcepakBoundary = IcepakBoundary;
using CompactMechanicalObjectTypeCount = MechanicalObjectTypeCount;
using CompactMechanicalStreamInfo = MechanicalStreamInfo;
using CompactIcepakTzrEntry = IcepakTzrEntry;
using CompactFlothermEntity = FlothermEntity;
using CompactFlothermGridAxis = FlothermGridAxis;
using CompactFlothermBoundary = FlothermBoundary;
using CompactFlothermPackEntry = FlothermPackEntry;

// ---------------------------------------------------------------------------------------
// Compact item records: the items that hold a list, which becomes a BoundedList.

struct CompactHdf5Group {
  std::string path;
  BoundedList<CompactHdf5Attribute> attributes;
  TVX_RECORD(CompactHdf5Group, path, attributes);
};

struct CompactHdf5Dataset {
  std::string path;
  BoundedList<std::uint64_t> shape;
  std::string dtype;
  BoundedList<CompactHdf5Attribute> attributes;
  TVX_RECORD(CompactHdf5Dataset, path, shape, dtype, attributes);
};

struct CompactIcepakAedtSummary {
  BoundedList<CompactIcepakDesign> designs;
  BoundedList<CompactIcepakBoundary> thermal_boundaries;
  BoundedTexts monitors;
  BoundedTexts mesh_regions;
  TVX_RECORD(CompactIcepakAedtSummary, designs, thermal_boundaries, monitors, mesh_regions);
};

struct CompactFlothermSource {
  std::string name;
  BoundedTexts powers;
  TVX_RECORD(CompactFlothermSource, name, powers);
};

struct CompactFlothermSolutionDomain {
  std::optional<std::string> fluid;
  BoundedList<CompactFlothermBoundary> boundaries;
  TVX_RECORD(CompactFlothermSolutionDomain, fluid, boundaries);
};

// ---------------------------------------------------------------------------------------
// Compact format records, one per format.

struct CompactComsolMphSummary {
  std::optional<std::string> schema;
  std::optional<std::string> saved_in;
  std::optional<std::string> title;
  std::optional<std::string> description;
  std::optional<std::string> comsol_version;
  std::optional<std::string> node_type;
  std::optional<bool> is_runnable;
  BoundedList<CompactNamedValue> parameters;
  BoundedTexts physics_tags;
  BoundedTexts study_tags;
  BoundedTexts material_tags;
  BoundedTexts used_licenses;
  BoundedList<CompactSizeBucket> size_breakdown;
  BoundedTexts entries;
  TVX_RECORD(CompactComsolMphSummary, schema, saved_in, title, description, comsol_version,
             node_type, is_runnable, parameters, physics_tags, study_tags, material_tags,
             used_licenses, size_breakdown, entries);
};

// "includes" holds the include paths as bounded texts.
struct CompactAbaqusInpSummary {
  std::optional<std::string> title;
  BoundedTexts includes;
  std::uint64_t node_count = 0;
  std::uint64_t element_count = 0;
  BoundedTexts materials;
  BoundedTexts sections;
  BoundedTexts steps;
  BoundedTexts boundary_keywords;
  BoundedTexts load_keywords;
  BoundedTexts output_keywords;
  BoundedTexts unknown_keywords;
  TVX_RECORD(CompactAbaqusInpSummary, title, includes, node_count, element_count, materials,
             sections, steps, boundary_keywords, load_keywords, output_keywords, unknown_keywords);
};

// The three hint lists stand flat in place of "hints".
struct CompactFluentHdf5Summary {
  BoundedList<CompactHdf5Attribute> root_attributes;
  BoundedList<CompactHdf5Group> groups;
  BoundedList<CompactHdf5Dataset> datasets;
  BoundedTexts zone_paths;
  BoundedTexts boundary_paths;
  BoundedTexts settings_paths;
  TVX_RECORD(CompactFluentHdf5Summary, root_attributes, groups, datasets, zone_paths,
             boundary_paths, settings_paths);
};

// "icepak" is always written (null without an Icepak part); the sidecar flags stand flat
// in place of "sidecars"; the reader's "truncated" becomes "source_truncated".
struct CompactHfssAedtSummary {
  std::optional<std::string> project_name;
  std::optional<std::string> product;
  std::optional<std::string> version_hint;
  BoundedList<CompactHfssDesign> designs;
  BoundedTexts variables;
  BoundedTexts setups;
  BoundedTexts sweeps;
  BoundedTexts ports;
  BoundedTexts boundaries;
  BoundedTexts materials;
  BoundedTexts mesh_operations;
  std::optional<CompactIcepakAedtSummary> icepak;
  std::optional<std::string> source_member;
  bool lock_file_present = false;
  bool results_dir_present = false;
  bool source_truncated = false;
  TVX_RECORD(CompactHfssAedtSummary, project_name, product, version_hint, designs, variables,
             setups, sweeps, ports, boundaries, materials, mesh_operations, icepak, source_member,
             lock_file_present, results_dir_present, source_truncated);
};

// The sidecar flags stand flat in place of "sidecars".
struct CompactMechanicalMechdbSummary {
  std::optional<std::string> mechanical_version;
  std::optional<std::string> database_format_version;
  std::optional<std::string> release_kind;
  std::uint64_t object_count = 0;
  BoundedList<CompactMechanicalObjectTypeCount> object_type_counts;
  BoundedTexts analyses;
  BoundedTexts bodies;
  BoundedTexts materials;
  BoundedTexts contacts;
  BoundedTexts loads_and_conditions;
  BoundedTexts results;
  BoundedTexts geometry_sources;
  BoundedList<CompactMechanicalStreamInfo> streams;
  bool lock_file_present = false;
  bool project_files_dir_present = false;
  bool content_truncated = false;
  TVX_RECORD(CompactMechanicalMechdbSummary, mechanical_version, database_format_version,
             release_kind, object_count, object_type_counts, analyses, bodies, materials, contacts,
             loads_and_conditions, results, geometry_sources, streams, lock_file_present,
             project_files_dir_present, content_truncated);
};

// The reader's "truncated" becomes "source_truncated" (also in the next two records).
struct CompactIcepakTzrSummary {
  std::optional<std::string> project_name;
  bool gzip_compressed = false;
  std::uint64_t entry_count = 0;
  std::uint64_t file_count = 0;
  std::uint64_t directory_count = 0;
  std::uint64_t uncompressed_bytes = 0;
  bool job_file_present = false;
  bool model_file_present = false;
  BoundedList<CompactIcepakTzrEntry> entries;
  bool source_truncated = false;
  TVX_RECORD(CompactIcepakTzrSummary, project_name, gzip_compressed, entry_count, file_count,
             directory_count, uncompressed_bytes, job_file_present, model_file_present, entries,
             source_truncated);
};

struct CompactFlothermFloxmlSummary {
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
  BoundedList<CompactFlothermGridAxis> grid;
  BoundedList<CompactNamedCount> attribute_type_counts;
  BoundedList<CompactFlothermEntity> attributes;
  BoundedList<CompactNamedCount> geometry_type_counts;
  BoundedList<CompactFlothermEntity> geometry;
  BoundedList<CompactFlothermSource> sources;
  std::optional<CompactFlothermSolutionDomain> solution_domain;
  bool source_truncated = false;
  TVX_RECORD(CompactFlothermFloxmlSummary, root, name, solution, dimensionality, transient,
             radiation, turbulence_type, gravity_direction, ambient_temperature, datum_pressure,
             outer_iterations, grid, attribute_type_counts, attributes, geometry_type_counts,
             geometry, sources, solution_domain, source_truncated);
};

struct CompactFlothermPackSummary {
  std::optional<std::string> project_name;
  std::optional<std::string> project_directory;
  std::uint64_t entry_count = 0;
  std::uint64_t file_count = 0;
  std::uint64_t directory_count = 0;
  std::uint64_t compressed_bytes = 0;
  std::uint64_t uncompressed_bytes = 0;
  bool project_data_present = false;
  bool base_solution_present = false;
  BoundedList<CompactFlothermPackEntry> entries;
  bool source_truncated = false;
  TVX_RECORD(CompactFlothermPackSummary, project_name, project_directory, entry_count, file_count,
             directory_count, compressed_bytes, uncompressed_bytes, project_data_present,
             base_solution_present, entries, source_truncated);
};

// Same alternatives in the same order as FormatSummary, so the kind is kept; written as
// {"kind": format name, "data": record} like the full summary.
using CompactFormatSummary =
    std::variant<CompactComsolMphSummary, CompactAbaqusInpSummary, CompactFluentHdf5Summary,
                 CompactHfssAedtSummary, CompactMechanicalMechdbSummary, CompactIcepakTzrSummary,
                 CompactFlothermFloxmlSummary, CompactFlothermPackSummary>;

inline constexpr std::uint32_t kSummarySchemaVersion = 1;

struct TolvanexSummaryResult {
  std::uint32_t schema_version = kSummarySchemaVersion;
  std::string view = "summary";
  std::optional<std::string> path;  // left out, as in the full record, when absent
  std::string file_name;
  SimFormat format = SimFormat::ComsolMph;
  bool ok = true;
  BoundedTexts warnings;
  std::vector<std::string> limitations;  // fixed sentences of the format; not bounded
  CompactFormatSummary summary;
  static constexpr std::string_view omitted_when_absent = "path";
  TVX_RECORD(TolvanexSummaryResult, schema_version, view, path, file_name, format, ok, warnings,
             limitations, summary);
};

// ---------------------------------------------------------------------------------------
// Conversions. Both are pure: they read the full record and share nothing with it.

// The compact record of the same kind as `summary`.
CompactFormatSummary compact_summary(const FormatSummary& summary);

// The compact form of one result, with the limitation sentences of its kind.
TolvanexSummaryResult summarize_result(const TolvanexResult& result);

}  // namespace tolvanex::summary
