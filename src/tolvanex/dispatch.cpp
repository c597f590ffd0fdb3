#include "tolvanex/dispatch.hpp"

#include <array>
#include <string_view>

#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/text/text.hpp"
#include "tolvanex/walk.hpp"

namespace tolvanex::dispatch {
namespace {

struct SuffixRule {
  std::string_view suffix;
  SimFormat format;
};

// Tried in order; the first suffix that matches decides. ".xml" is handled apart.
constexpr std::array<SuffixRule, 11> kSuffixRules = {{
    {".mph", SimFormat::ComsolMph},
    {".inp", SimFormat::AbaqusInp},
    {".inc", SimFormat::AbaqusInp},
    {".cas.h5", SimFormat::FluentHdf5},
    {".msh.h5", SimFormat::FluentHdf5},
    {".aedt", SimFormat::HfssAedt},
    {".aedtz", SimFormat::HfssAedt},
    {".mechdb", SimFormat::AnsysMechanical},
    {".mechdat", SimFormat::AnsysMechanical},
    {".tzr", SimFormat::IcepakTzr},
    {".floxml", SimFormat::FlothermFloxml},
}};

std::optional<std::string> lower_file_name(const std::string& path) {
  auto name = text::file_name(path);
  if (!name) return std::nullopt;
  return text::ascii_lower(*name);
}

template <class Summary>
Result<FormatSummary> wrap(Result<Summary> result) {
  if (!result) return std::move(result).error();
  return FormatSummary(std::in_place_type<Summary>, std::move(result).value());
}

// The dispatch table, by format ordinal.
Result<FormatSummary> run_reader(const std::string& path, SimFormat format,
                                 std::uint64_t budget) {
  using namespace parsers;
  switch (format) {
    case SimFormat::ComsolMph: return wrap(comsol::inspect_comsol_mph(path));
    case SimFormat::AbaqusInp: return wrap(abaqus::inspect_abaqus_inp(path));
    case SimFormat::FluentHdf5: return wrap(inspect_fluent_hdf5(path));
    case SimFormat::HfssAedt: return wrap(hfss::inspect_hfss_aedt(path, budget));
    case SimFormat::AnsysMechanical: return wrap(inspect_mechanical_mechdb(path, budget));
    case SimFormat::IcepakTzr: return wrap(icepak::inspect_icepak_tzr(path, budget));
    case SimFormat::FlothermFloxml: return wrap(flotherm::inspect_flotherm_floxml(path, budget));
    case SimFormat::FlothermPack: return wrap(flotherm::inspect_flotherm_pack(path, budget));
  }
  return TolvanexError::message("unknown format ordinal");
}

}  // namespace

std::optional<SimFormat> detect_format(const std::string& path) {
  const auto name = lower_file_name(path);
  if (!name || name->size() < 4) return std::nullopt;
  for (const SuffixRule& rule : kSuffixRules)
    if (text::ends_with(*name, rule.suffix)) return rule.format;
  if (text::ends_with(*name, ".xml")) {
    if (parsers::flotherm::has_flotherm_root(path)) return SimFormat::FlothermFloxml;
    return std::nullopt;
  }
  if (text::ends_with(*name, ".pack")) return SimFormat::FlothermPack;
  return std::nullopt;
}

bool should_include(const std::string& path, const std::vector<std::string>& patterns) {
  const auto name = lower_file_name(path);
  if (!name) return false;
  for (const std::string& raw : patterns) {
    const std::string pattern = text::ascii_lower(text::trim_unicode(raw));
    if (pattern.empty()) continue;
    if (pattern == "*") return true;
    if (pattern.front() == '*') {
      if (text::ends_with(*name, std::string_view(pattern).substr(1))) return true;
    } else if (*name == pattern) {
      return true;
    }
  }
  return false;
}

Result<TolvanexResult> inspect_as(const std::string& path, SimFormat format,
                                  std::uint64_t byte_budget, bool include_paths) {
  TVX_TRY_ASSIGN(FormatSummary summary, run_reader(path, format, byte_budget));
  TolvanexResult record{
      .path = std::nullopt,
      .file_name = {},
      .format = format,
      .ok = true,
      .warnings = {},
      .summary = std::move(summary),
  };
  const std::string display = text::decode_lossy(path);
  if (include_paths) record.path = display;
  record.file_name = text::file_name(path).value_or(display);
  return record;
}

Result<TolvanexResult> inspect_path(const std::string& path, const InspectOptions& options) {
  std::optional<SimFormat> format = options.format;
  if (!format) format = detect_format(path);
  if (!format) return TolvanexError::unsupported_format(text::decode_lossy(path));
  return inspect_as(path, *format, options.byte_budget, options.include_paths);
}

Result<std::vector<TolvanexResult>> scan_paths(const std::vector<std::string>& paths,
                                               const ScanOptions& options) {
  std::vector<TolvanexResult> records;
  // Returns false only on a reader error, which `failure` then holds.
  std::optional<TolvanexError> failure;
  auto visit = [&](const std::string& candidate) {
    if (fsio::kind_of(candidate, /*follow_links=*/true) != fsio::Kind::Regular) return true;
    if (!should_include(candidate, options.patterns)) return true;
    std::optional<SimFormat> format = options.inspect_options.format;
    if (!format) format = detect_format(candidate);
    if (!format) return true;
    auto record =
        inspect_as(candidate, *format, options.inspect_options.byte_budget, options.include_paths);
    if (!record) {
      failure = std::move(record).error();
      return false;
    }
    records.push_back(std::move(record).value());
    return true;
  };

  for (const std::string& path : paths) {
    if (fsio::kind_of(path, /*follow_links=*/true) == fsio::Kind::Regular) {
      if (!visit(path)) return std::move(*failure);
      continue;
    }
    DirectoryWalk walk(path, options.recursive);
    while (auto entry = walk.next())
      if (!visit(*entry)) return std::move(*failure);
  }
  return records;
}

}  // namespace tolvanex::dispatch
