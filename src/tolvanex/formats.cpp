#include "tolvanex/formats.hpp"

#include <type_traits>
#include <utility>
#include <variant>

#include "tolvanex/call_context.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex {
namespace {

template <SimFormat F>
using SummaryOf = std::variant_alternative_t<static_cast<std::size_t>(F), FormatSummary>;

// Calls a reader, with the budget when it takes one and the call's context (or only its
// interrupt), and wraps its summary in the variant of format F. A reader that returns another
// format's record, or takes neither, does not compile.
template <SimFormat F, auto Read>
Result<FormatSummary> read_as(const std::string& path, std::uint64_t byte_budget, CallContext& call) {
  using R = decltype(Read);
  auto summary = [&] {
    if constexpr (std::is_invocable_v<R, const std::string&, std::uint64_t, CallContext&>)
      return Read(path, byte_budget, call);
    else if constexpr (std::is_invocable_v<R, const std::string&, CallContext&>)
      return Read(path, call);
    else if constexpr (std::is_invocable_v<R, const std::string&, std::uint64_t, fsio::Interrupt*>)
      return Read(path, byte_budget, &call.interrupt);
    else
      return Read(path, &call.interrupt);
  }();
  static_assert(std::is_same_v<decltype(summary), Result<SummaryOf<F>>>,
                "the reader returns the record of another format");
  if (!summary) return std::move(summary).error();
  return FormatSummary(std::in_place_index<static_cast<std::size_t>(F)>,
                       std::move(summary).value());
}

template <SimFormat F, auto Read>
constexpr ReaderEntry reader{F, &read_as<F, Read>};

using namespace parsers;

constexpr std::array<FormatRow, kFormatCount> kTable = {{
    {.format = SimFormat::ComsolMph,
     .name = "comsol-mph",
     .accepted_names = {"mph", "comsol-mph"},
     .suffixes = {{".mph"}},
     .limitations = {"Shallow archive metadata only; geometry, mesh, solution data, and model "
                     "semantics are not evaluated."},
     .reader = reader<SimFormat::ComsolMph, comsol::inspect_comsol_mph>},
    {.format = SimFormat::AbaqusInp,
     .name = "abaqus-inp",
     .accepted_names = {"inp", "inc", "abaqus-inp"},
     .suffixes = {{".inp"}, {".inc"}},
     .limitations = {"Keyword inventory only; generated entities and solver semantics are not "
                     "evaluated."},
     .reader = reader<SimFormat::AbaqusInp, abaqus::inspect_abaqus_inp>},
    {.format = SimFormat::FluentHdf5,
     .name = "fluent-hdf5",
     .accepted_names = {"cas.h5", "msh.h5", "fluent-h5", "fluent-hdf5"},
     .suffixes = {{".cas.h5"}, {".msh.h5"}},
     .limitations = {"Shallow HDF5 structure and metadata only; field arrays and case/data "
                     "consistency are not evaluated."},
     .reader = reader<SimFormat::FluentHdf5, inspect_fluent_hdf5>},
    {.format = SimFormat::HfssAedt,
     .name = "hfss-aedt",
     .accepted_names = {"aedt", "aedtz", "hfss-aedt"},
     .suffixes = {{".aedt"}, {".aedtz"}},
     .limitations = {"Shallow AEDT section inventory only; component payloads, solved fields, "
                     "and electromagnetic or thermal-fluid model semantics are not evaluated."},
     .reader = reader<SimFormat::HfssAedt, hfss::inspect_hfss_aedt>},
    {.format = SimFormat::AnsysMechanical,
     .name = "ansys-mechanical",
     .accepted_names = {"mechdb", "mechdat", "mechanical", "ansys-mechanical"},
     .suffixes = {{".mechdb"}, {".mechdat"}},
     .limitations = {"Shallow Mechanical database inventory only; mesh payloads, result arrays, "
                     "material curves, and solver semantics are not evaluated.",
                     "Object categories use observed Mechanical database type identifiers and "
                     "may require vendor-tool confirmation across releases."},
     .reader = reader<SimFormat::AnsysMechanical, inspect_mechanical_mechdb>},
    {.format = SimFormat::IcepakTzr,
     .name = "icepak-tzr",
     .accepted_names = {"tzr", "icepak", "icepak-tzr"},
     .suffixes = {{".tzr"}},
     .limitations = {"Archive inventory only; Icepak Classic model payloads, mesh, results, and "
                     "solver semantics are not decoded."},
     .reader = reader<SimFormat::IcepakTzr, icepak::inspect_icepak_tzr>},
    {.format = SimFormat::FlothermFloxml,
     .name = "flotherm-floxml",
     .accepted_names = {"floxml", "flotherm", "flotherm-floxml"},
     // Only an ".xml" file whose first element is a FloXML root is one.
     .suffixes = {{".floxml"}, {".xml", flotherm::has_flotherm_root}},
     .limitations = {"Shallow FloXML structure only; references, geometry validity, mesh "
                     "generation, result fields, and solver semantics are not evaluated.",
                     "Proprietary FloTHERM PDML project payloads are not decoded."},
     .reader = reader<SimFormat::FlothermFloxml, flotherm::inspect_flotherm_floxml>},
    {.format = SimFormat::FlothermPack,
     .name = "flotherm-pack",
     .accepted_names = {"pack", "flotherm-pack"},
     .suffixes = {{".pack"}},
     .limitations = {"Archive inventory only; proprietary PDML payloads, mesh and result "
                     "fields, and solver semantics are not decoded."},
     .reader = reader<SimFormat::FlothermPack, flotherm::inspect_flotherm_pack>},
}};

constexpr bool rows_in_format_order() {
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    const FormatRow& row = kTable[i];
    if (row.format != static_cast<SimFormat>(i)) return false;
    if (row.reader.format != row.format) return false;
    if (std::find(row.accepted_names.begin(), row.accepted_names.end(), row.name) ==
        row.accepted_names.end())
      return false;
  }
  return true;
}
static_assert(rows_in_format_order(),
              "rows stand in SimFormat order, each with its own reader and its name accepted");

}  // namespace

std::span<const FormatRow, kFormatCount> format_table() { return kTable; }

std::string_view format_name(SimFormat format) { return format_row(format).name; }

std::optional<SimFormat> parse_format(std::string_view text, std::string* error) {
  const std::string lower = text::ascii_lower(text);
  for (const FormatRow& row : kTable)
    for (std::string_view name : row.accepted_names)
      if (name == lower) return row.format;
  if (error)
    *error = lower == "auto" ? "auto is not a concrete format" : "unknown format: " + lower;
  return std::nullopt;
}

// One "*{suffix}" pattern per detection suffix, in detection order.
ScanOptions ScanOptions::defaults() {
  ScanOptions options;
  for (const FormatRow& row : kTable)
    for (const SuffixRule& rule : row.suffixes)
      options.patterns.emplace_back("*").append(rule.suffix);
  return options;
}

}  // namespace tolvanex
