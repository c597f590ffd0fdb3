// The compact view of a result: every text cut to 256 bytes, every list replaced by a
// sample of its first 8 items with the list's length, and fixed sentences that say what
// the inspection of each format leaves out. Its size has a fixed bound per format,
// whatever the inspected file holds.
//
// The compact records mirror the full records of schema.hpp key by key, and like them list
// their JSON fields once in `fields()`, so json::write writes both forms. A compact record
// departs from its full record only where noted at the record.
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
inline constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026, appended to a cut text

// A text of at most 256 bytes is copied; a longer one is cut at the last character
// boundary at or before byte 256 and followed by the ellipsis.
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
  static constexpr auto fields() {
    return std::make_tuple(TVX_FIELD(BoundedList, total), TVX_FIELD(BoundedList, sample),
                           TVX_FIELD(BoundedList, truncated));
  }
  friend bool operator==(const BoundedList&, const BoundedList&) = default;
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

#define TVX_COMPACT_FIELDS(Record, ...)                                            \
  static constexpr auto fields() { return std::make_tuple(__VA_ARGS__); }         \
  friend bool operator==(const Record&, const Record&) = default

// ---------------------------------------------------------------------------------------
// Compact item records: each mirrors the full item record of the same name less "Compact".

struct CompactNamedValue {
  std::string name;
  std::optional<std::string> value;
  std::optional<std::string> reference;
  TVX_COMPACT_FIELDS(CompactNamedValue, TVX_FIELD(CompactNamedValue, name),
                     TVX_FIELD(CompactNamedValue, value), TVX_FIELD(CompactNamedValue, reference));
};

struct CompactSizeBucket {
  std::string bucket;
  std::uint64_t bytes = 0;
  TVX_COMPACT_FIELDS(CompactSizeBucket, TVX_FIELD(CompactSizeBucket, bucket),
                     TVX_FIELD(CompactSizeBucket, bytes));
};

struct CompactNamedCount {
  std::string name;
  std::uint64_t count = 0;
  TVX_COMPACT_FIELDS(CompactNamedCount, TVX_FIELD(CompactNamedCount, name),
                     TVX_FIELD(CompactNamedCount, count));
};

struct CompactHdf5Attribute {
  std::string name;
  std::string value;
  TVX_COMPACT_FIELDS(CompactHdf5Attribute, TVX_FIELD(CompactHdf5Attribute, name),
                     TVX_FIELD(CompactHdf5Attribute, value));
};

struct CompactHdf5Group {
  std::string path;
  BoundedList<CompactHdf5Attribute> attributes;
  TVX_COMPACT_FIELDS(CompactHdf5Group, TVX_FIELD(CompactHdf5Group, path),
                     TVX_FIELD(CompactHdf5Group, attributes));
};

struct CompactHdf5Dataset {
  std::string path;
  BoundedList<std::uint64_t> shape;
  std::string dtype;
  BoundedList<CompactHdf5Attribute> attributes;
  TVX_COMPACT_FIELDS(CompactHdf5Dataset, TVX_FIELD(CompactHdf5Dataset, path),
                     TVX_FIELD(CompactHdf5Dataset, shape), TVX_FIELD(CompactHdf5Dataset, dtype),
                     TVX_FIELD(CompactHdf5Dataset, attributes));
};

struct CompactHfssDesign {
  std::string name;
  std::optional<std::string> design_type;
  std::optional<std::string> solution_type;
  std::optional<bool> is_solved;
  TVX_COMPACT_FIELDS(CompactHfssDesign, TVX_FIELD(CompactHfssDesign, name),
                     TVX_FIELD(CompactHfssDesign, design_type),
                     TVX_FIELD(CompactHfssDesign, solution_type),
                     TVX_FIELD(CompactHfssDesign, is_solved));
};

struct CompactIcepakDesign {
  std::string name;
  std::optional<std::string> solution_type;
  std::optional<std::string> problem_option;
  std::optional<std::string> ambient_temperature;
  std::optional<std::string> ambient_pressure;
  std::optional<std::string> ambient_radiation_temperature;
  std::optional<std::string> default_fluid_material;
  std::optional<std::string> default_solid_material;
  std::optional<std::string> default_surface_material;
  TVX_COMPACT_FIELDS(CompactIcepakDesign, TVX_FIELD(CompactIcepakDesign, name),
                     TVX_FIELD(CompactIcepakDesign, solution_type),
                     TVX_FIELD(CompactIcepakDesign, problem_option),
                     TVX_FIELD(CompactIcepakDesign, ambient_temperature),
                     TVX_FIELD(CompactIcepakDesign, ambient_pressure),
                     TVX_FIELD(CompactIcepakDesign, ambient_radiation_temperature),
                     TVX_FIELD(CompactIcepakDesign, default_fluid_material),
                     TVX_FIELD(CompactIcepakDesign, default_solid_material),
                     TVX_FIELD(CompactIcepakDesign, default_surface_material));
};

struct CompactIcepakBoundary {
  std::string name;
  std::string boundary_type;
  std::optional<std::string> thermal_condition;
  std::optional<std::string> total_power;
  std::optional<std::string> temperature;
  TVX_COMPACT_FIELDS(CompactIcepakBoundary, TVX_FIELD(CompactIcepakBoundary, name),
                     TVX_FIELD(CompactIcepakBoundary, boundary_type),
                     TVX_FIELD(CompactIcepakBoundary, thermal_condition),
                     TVX_FIELD(CompactIcepakBoundary, total_power),
                     TVX_FIELD(CompactIcepakBoundary, temperature));
};

struct CompactIcepakAedtSummary {
  BoundedList<CompactIcepakDesign> designs;
  BoundedList<CompactIcepakBoundary> thermal_boundaries;
  BoundedTexts monitors;
  BoundedTexts mesh_regions;
  TVX_COMPACT_FIELDS(CompactIcepakAedtSummary, TVX_FIELD(CompactIcepakAedtSummary, designs),
                     TVX_FIELD(CompactIcepakAedtSummary, thermal_boundaries),
                     TVX_FIELD(CompactIcepakAedtSummary, monitors),
                     TVX_FIELD(CompactIcepakAedtSummary, mesh_regions));
};

struct CompactMechanicalObjectTypeCount {
  std::uint32_t type_id = 0;
  std::uint64_t count = 0;
  TVX_COMPACT_FIELDS(CompactMechanicalObjectTypeCount,
                     TVX_FIELD(CompactMechanicalObjectTypeCount, type_id),
                     TVX_FIELD(CompactMechanicalObjectTypeCount, count));
};

struct CompactMechanicalStreamInfo {
  std::string name;
  std::uint64_t used_bytes = 0;
  TVX_COMPACT_FIELDS(CompactMechanicalStreamInfo, TVX_FIELD(CompactMechanicalStreamInfo, name),
                     TVX_FIELD(CompactMechanicalStreamInfo, used_bytes));
};

struct CompactIcepakTzrEntry {
  std::string name;
  std::string entry_type;
  std::uint64_t bytes = 0;
  TVX_COMPACT_FIELDS(CompactIcepakTzrEntry, TVX_FIELD(CompactIcepakTzrEntry, name),
                     TVX_FIELD(CompactIcepakTzrEntry, entry_type),
                     TVX_FIELD(CompactIcepakTzrEntry, bytes));
};

struct CompactFlothermPackEntry {
  std::string name;
  bool directory = false;
  std::uint64_t compressed_bytes = 0;
  std::uint64_t uncompressed_bytes = 0;
  TVX_COMPACT_FIELDS(CompactFlothermPackEntry, TVX_FIELD(CompactFlothermPackEntry, name),
                     TVX_FIELD(CompactFlothermPackEntry, directory),
                     TVX_FIELD(CompactFlothermPackEntry, compressed_bytes),
                     TVX_FIELD(CompactFlothermPackEntry, uncompressed_bytes));
};

struct CompactFlothermGridAxis {
  std::string axis;
  std::optional<std::string> grid_type;
  std::optional<std::string> min_size;
  std::optional<std::string> max_size;
  TVX_COMPACT_FIELDS(CompactFlothermGridAxis, TVX_FIELD(CompactFlothermGridAxis, axis),
                     TVX_FIELD(CompactFlothermGridAxis, grid_type),
                     TVX_FIELD(CompactFlothermGridAxis, min_size),
                     TVX_FIELD(CompactFlothermGridAxis, max_size));
};

struct CompactFlothermEntity {
  std::string kind;
  std::string name;
  TVX_COMPACT_FIELDS(CompactFlothermEntity, TVX_FIELD(CompactFlothermEntity, kind),
                     TVX_FIELD(CompactFlothermEntity, name));
};

struct CompactFlothermSource {
  std::string name;
  BoundedTexts powers;
  TVX_COMPACT_FIELDS(CompactFlothermSource, TVX_FIELD(CompactFlothermSource, name),
                     TVX_FIELD(CompactFlothermSource, powers));
};

struct CompactFlothermBoundary {
  std::string face;
  std::string kind;
  std::string value;
  TVX_COMPACT_FIELDS(CompactFlothermBoundary, TVX_FIELD(CompactFlothermBoundary, face),
                     TVX_FIELD(CompactFlothermBoundary, kind),
                     TVX_FIELD(CompactFlothermBoundary, value));
};

struct CompactFlothermSolutionDomain {
  std::optional<std::string> fluid;
  BoundedList<CompactFlothermBoundary> boundaries;
  TVX_COMPACT_FIELDS(CompactFlothermSolutionDomain, TVX_FIELD(CompactFlothermSolutionDomain, fluid),
                     TVX_FIELD(CompactFlothermSolutionDomain, boundaries));
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
  TVX_COMPACT_FIELDS(
      CompactComsolMphSummary, TVX_FIELD(CompactComsolMphSummary, schema),
      TVX_FIELD(CompactComsolMphSummary, saved_in), TVX_FIELD(CompactComsolMphSummary, title),
      TVX_FIELD(CompactComsolMphSummary, description),
      TVX_FIELD(CompactComsolMphSummary, comsol_version),
      TVX_FIELD(CompactComsolMphSummary, node_type),
      TVX_FIELD(CompactComsolMphSummary, is_runnable),
      TVX_FIELD(CompactComsolMphSummary, parameters),
      TVX_FIELD(CompactComsolMphSummary, physics_tags),
      TVX_FIELD(CompactComsolMphSummary, study_tags),
      TVX_FIELD(CompactComsolMphSummary, material_tags),
      TVX_FIELD(CompactComsolMphSummary, used_licenses),
      TVX_FIELD(CompactComsolMphSummary, size_breakdown),
      TVX_FIELD(CompactComsolMphSummary, entries));
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
  TVX_COMPACT_FIELDS(
      CompactAbaqusInpSummary, TVX_FIELD(CompactAbaqusInpSummary, title),
      TVX_FIELD(CompactAbaqusInpSummary, includes), TVX_FIELD(CompactAbaqusInpSummary, node_count),
      TVX_FIELD(CompactAbaqusInpSummary, element_count),
      TVX_FIELD(CompactAbaqusInpSummary, materials), TVX_FIELD(CompactAbaqusInpSummary, sections),
      TVX_FIELD(CompactAbaqusInpSummary, steps),
      TVX_FIELD(CompactAbaqusInpSummary, boundary_keywords),
      TVX_FIELD(CompactAbaqusInpSummary, load_keywords),
      TVX_FIELD(CompactAbaqusInpSummary, output_keywords),
      TVX_FIELD(CompactAbaqusInpSummary, unknown_keywords));
};

// The three hint lists stand flat in place of "hints".
struct CompactFluentHdf5Summary {
  BoundedList<CompactHdf5Attribute> root_attributes;
  BoundedList<CompactHdf5Group> groups;
  BoundedList<CompactHdf5Dataset> datasets;
  BoundedTexts zone_paths;
  BoundedTexts boundary_paths;
  BoundedTexts settings_paths;
  TVX_COMPACT_FIELDS(CompactFluentHdf5Summary,
                     TVX_FIELD(CompactFluentHdf5Summary, root_attributes),
                     TVX_FIELD(CompactFluentHdf5Summary, groups),
                     TVX_FIELD(CompactFluentHdf5Summary, datasets),
                     TVX_FIELD(CompactFluentHdf5Summary, zone_paths),
                     TVX_FIELD(CompactFluentHdf5Summary, boundary_paths),
                     TVX_FIELD(CompactFluentHdf5Summary, settings_paths));
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
  TVX_COMPACT_FIELDS(
      CompactHfssAedtSummary, TVX_FIELD(CompactHfssAedtSummary, project_name),
      TVX_FIELD(CompactHfssAedtSummary, product), TVX_FIELD(CompactHfssAedtSummary, version_hint),
      TVX_FIELD(CompactHfssAedtSummary, designs), TVX_FIELD(CompactHfssAedtSummary, variables),
      TVX_FIELD(CompactHfssAedtSummary, setups), TVX_FIELD(CompactHfssAedtSummary, sweeps),
      TVX_FIELD(CompactHfssAedtSummary, ports), TVX_FIELD(CompactHfssAedtSummary, boundaries),
      TVX_FIELD(CompactHfssAedtSummary, materials),
      TVX_FIELD(CompactHfssAedtSummary, mesh_operations),
      TVX_FIELD(CompactHfssAedtSummary, icepak), TVX_FIELD(CompactHfssAedtSummary, source_member),
      TVX_FIELD(CompactHfssAedtSummary, lock_file_present),
      TVX_FIELD(CompactHfssAedtSummary, results_dir_present),
      TVX_FIELD(CompactHfssAedtSummary, source_truncated));
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
  TVX_COMPACT_FIELDS(CompactMechanicalMechdbSummary,
                     TVX_FIELD(CompactMechanicalMechdbSummary, mechanical_version),
                     TVX_FIELD(CompactMechanicalMechdbSummary, database_format_version),
                     TVX_FIELD(CompactMechanicalMechdbSummary, release_kind),
                     TVX_FIELD(CompactMechanicalMechdbSummary, object_count),
                     TVX_FIELD(CompactMechanicalMechdbSummary, object_type_counts),
                     TVX_FIELD(CompactMechanicalMechdbSummary, analyses),
                     TVX_FIELD(CompactMechanicalMechdbSummary, bodies),
                     TVX_FIELD(CompactMechanicalMechdbSummary, materials),
                     TVX_FIELD(CompactMechanicalMechdbSummary, contacts),
                     TVX_FIELD(CompactMechanicalMechdbSummary, loads_and_conditions),
                     TVX_FIELD(CompactMechanicalMechdbSummary, results),
                     TVX_FIELD(CompactMechanicalMechdbSummary, geometry_sources),
                     TVX_FIELD(CompactMechanicalMechdbSummary, streams),
                     TVX_FIELD(CompactMechanicalMechdbSummary, lock_file_present),
                     TVX_FIELD(CompactMechanicalMechdbSummary, project_files_dir_present),
                     TVX_FIELD(CompactMechanicalMechdbSummary, content_truncated));
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
  TVX_COMPACT_FIELDS(CompactIcepakTzrSummary, TVX_FIELD(CompactIcepakTzrSummary, project_name),
                     TVX_FIELD(CompactIcepakTzrSummary, gzip_compressed),
                     TVX_FIELD(CompactIcepakTzrSummary, entry_count),
                     TVX_FIELD(CompactIcepakTzrSummary, file_count),
                     TVX_FIELD(CompactIcepakTzrSummary, directory_count),
                     TVX_FIELD(CompactIcepakTzrSummary, uncompressed_bytes),
                     TVX_FIELD(CompactIcepakTzrSummary, job_file_present),
                     TVX_FIELD(CompactIcepakTzrSummary, model_file_present),
                     TVX_FIELD(CompactIcepakTzrSummary, entries),
                     TVX_FIELD(CompactIcepakTzrSummary, source_truncated));
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
  TVX_COMPACT_FIELDS(CompactFlothermFloxmlSummary, TVX_FIELD(CompactFlothermFloxmlSummary, root),
                     TVX_FIELD(CompactFlothermFloxmlSummary, name),
                     TVX_FIELD(CompactFlothermFloxmlSummary, solution),
                     TVX_FIELD(CompactFlothermFloxmlSummary, dimensionality),
                     TVX_FIELD(CompactFlothermFloxmlSummary, transient),
                     TVX_FIELD(CompactFlothermFloxmlSummary, radiation),
                     TVX_FIELD(CompactFlothermFloxmlSummary, turbulence_type),
                     TVX_FIELD(CompactFlothermFloxmlSummary, gravity_direction),
                     TVX_FIELD(CompactFlothermFloxmlSummary, ambient_temperature),
                     TVX_FIELD(CompactFlothermFloxmlSummary, datum_pressure),
                     TVX_FIELD(CompactFlothermFloxmlSummary, outer_iterations),
                     TVX_FIELD(CompactFlothermFloxmlSummary, grid),
                     TVX_FIELD(CompactFlothermFloxmlSummary, attribute_type_counts),
                     TVX_FIELD(CompactFlothermFloxmlSummary, attributes),
                     TVX_FIELD(CompactFlothermFloxmlSummary, geometry_type_counts),
                     TVX_FIELD(CompactFlothermFloxmlSummary, geometry),
                     TVX_FIELD(CompactFlothermFloxmlSummary, sources),
                     TVX_FIELD(CompactFlothermFloxmlSummary, solution_domain),
                     TVX_FIELD(CompactFlothermFloxmlSummary, source_truncated));
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
  TVX_COMPACT_FIELDS(CompactFlothermPackSummary,
                     TVX_FIELD(CompactFlothermPackSummary, project_name),
                     TVX_FIELD(CompactFlothermPackSummary, project_directory),
                     TVX_FIELD(CompactFlothermPackSummary, entry_count),
                     TVX_FIELD(CompactFlothermPackSummary, file_count),
                     TVX_FIELD(CompactFlothermPackSummary, directory_count),
                     TVX_FIELD(CompactFlothermPackSummary, compressed_bytes),
                     TVX_FIELD(CompactFlothermPackSummary, uncompressed_bytes),
                     TVX_FIELD(CompactFlothermPackSummary, project_data_present),
                     TVX_FIELD(CompactFlothermPackSummary, base_solution_present),
                     TVX_FIELD(CompactFlothermPackSummary, entries),
                     TVX_FIELD(CompactFlothermPackSummary, source_truncated));
};

#undef TVX_COMPACT_FIELDS

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
  static constexpr auto fields() {
    return std::make_tuple(
        TVX_FIELD(TolvanexSummaryResult, schema_version), TVX_FIELD(TolvanexSummaryResult, view),
        field("path", &TolvanexSummaryResult::path, Presence::OmitWhenAbsent),
        TVX_FIELD(TolvanexSummaryResult, file_name), TVX_FIELD(TolvanexSummaryResult, format),
        TVX_FIELD(TolvanexSummaryResult, ok), TVX_FIELD(TolvanexSummaryResult, warnings),
        TVX_FIELD(TolvanexSummaryResult, limitations), TVX_FIELD(TolvanexSummaryResult, summary));
  }
  friend bool operator==(const TolvanexSummaryResult&, const TolvanexSummaryResult&) = default;
};

// ---------------------------------------------------------------------------------------
// Conversions. All are pure: they read the full record and share nothing with it.

CompactNamedValue compact_named_value(const NamedValue& item);
CompactHdf5Attribute compact_attribute(const Hdf5AttributeInfo& item);
CompactHdf5Group compact_group(const Hdf5GroupInfo& item);
CompactHdf5Dataset compact_dataset(const Hdf5DatasetInfo& item);
CompactHfssDesign compact_hfss_design(const HfssDesign& item);
CompactIcepakDesign compact_icepak_design(const IcepakDesign& item);
CompactIcepakBoundary compact_icepak_boundary(const IcepakBoundary& item);
CompactMechanicalObjectTypeCount compact_mechanical_type_count(
    const MechanicalObjectTypeCount& item);
CompactMechanicalStreamInfo compact_mechanical_stream(const MechanicalStreamInfo& item);
CompactIcepakTzrEntry compact_icepak_tzr_entry(const IcepakTzrEntry& item);
CompactNamedCount compact_named_count(const NamedCount& item);
CompactFlothermEntity compact_flotherm_entity(const FlothermEntity& item);
CompactFlothermSource compact_flotherm_source(const FlothermSource& item);
CompactFlothermGridAxis compact_flotherm_grid(const FlothermGridAxis& item);
CompactFlothermBoundary compact_flotherm_boundary(const FlothermBoundary& item);
CompactFlothermPackEntry compact_flotherm_pack_entry(const FlothermPackEntry& item);

CompactAbaqusInpSummary compact_abaqus(const AbaqusInpSummary& summary);

// The compact record of the same kind as `summary`.
CompactFormatSummary compact_summary(const FormatSummary& summary);

// The compact form of one result, with the limitation sentences of its kind.
TolvanexSummaryResult summarize_result(const TolvanexResult& result);

}  // namespace tolvanex::summary
