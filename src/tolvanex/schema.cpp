#include "tolvanex/schema.hpp"

#include <array>

#include "tolvanex/text/text.hpp"

namespace tolvanex {
namespace {

constexpr std::array<std::string_view, kFormatCount> kFormatNames = {
    "comsol-mph", "abaqus-inp",  "fluent-hdf5",     "hfss-aedt",
    "ansys-mechanical", "icepak-tzr", "flotherm-floxml", "flotherm-pack"};

struct Alias {
  std::string_view name;
  SimFormat format;
};

constexpr std::array<Alias, 24> kAliases = {{
    {"mph", SimFormat::ComsolMph},
    {"comsol-mph", SimFormat::ComsolMph},
    {"inp", SimFormat::AbaqusInp},
    {"inc", SimFormat::AbaqusInp},
    {"abaqus-inp", SimFormat::AbaqusInp},
    {"cas.h5", SimFormat::FluentHdf5},
    {"msh.h5", SimFormat::FluentHdf5},
    {"fluent-h5", SimFormat::FluentHdf5},
    {"fluent-hdf5", SimFormat::FluentHdf5},
    {"aedt", SimFormat::HfssAedt},
    {"aedtz", SimFormat::HfssAedt},
    {"hfss-aedt", SimFormat::HfssAedt},
    {"mechdb", SimFormat::AnsysMechanical},
    {"mechdat", SimFormat::AnsysMechanical},
    {"mechanical", SimFormat::AnsysMechanical},
    {"ansys-mechanical", SimFormat::AnsysMechanical},
    {"tzr", SimFormat::IcepakTzr},
    {"icepak", SimFormat::IcepakTzr},
    {"icepak-tzr", SimFormat::IcepakTzr},
    {"floxml", SimFormat::FlothermFloxml},
    {"flotherm", SimFormat::FlothermFloxml},
    {"flotherm-floxml", SimFormat::FlothermFloxml},
    {"pack", SimFormat::FlothermPack},
    {"flotherm-pack", SimFormat::FlothermPack},
}};

}  // namespace

std::string_view format_name(SimFormat format) {
  return kFormatNames[static_cast<std::size_t>(format)];
}

std::optional<SimFormat> parse_format(std::string_view text, std::string* error) {
  const std::string lower = text::ascii_lower(text);
  for (const Alias& alias : kAliases)
    if (alias.name == lower) return alias.format;
  if (error) *error = lower == "auto" ? "auto is not a concrete format" : "unknown format: " + lower;
  return std::nullopt;
}

ScanOptions ScanOptions::defaults() {
  ScanOptions options;
  options.patterns = {"*.mph",    "*.inp",     "*.inc", "*.cas.h5", "*.msh.h5",
                      "*.aedt",   "*.aedtz",   "*.mechdb", "*.mechdat", "*.tzr",
                      "*.floxml", "*.xml",     "*.pack"};
  return options;
}

}  // namespace tolvanex
