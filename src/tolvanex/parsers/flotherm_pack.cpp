// FloTHERM pack archives (.pack): a ZIP archive holding a project directory. The summary
// comes from the central directory alone; every entry is opened (which checks encryption,
// method and local header) but none is decompressed.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "tolvanex/container/zip.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/saturating.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::parsers::flotherm {

namespace {

bool ends_with_folded(std::string_view name, std::string_view word) {
  return name.size() >= word.size() && text::ascii_iequals(name.substr(name.size() - word.size()), word);
}
// `word` begins with '/', so only the places of slashes are tried.
bool contains_folded(std::string_view name, std::string_view word) {
  for (std::size_t at = name.find('/'); at != std::string_view::npos && name.size() - at >= word.size();
       at = name.find('/', at + 1)) {
    if (text::ascii_iequals(name.substr(at, word.size()), word)) return true;
  }
  return false;
}

}  // namespace

Result<FlothermPackSummary> inspect_flotherm_pack(const std::string& path, std::uint64_t byte_budget,
                                                  fsio::Interrupt* interrupt) {
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path, interrupt));
  TVX_TRY_ASSIGN(const container::ZipArchive zip, container::ZipArchive::open(std::move(file)));
  if (zip.entry_count() == 0)
    return TolvanexError::message("FloTHERM pack archive did not contain any ZIP entries");

  FlothermPackSummary summary;
  summary.entry_count = zip.entry_count();
  // The one top-level name of every entry, while there is only one.
  std::optional<std::string> only_top;
  bool many_tops = false;
  std::optional<std::string> candidate;
  std::uint64_t listed_bytes = 0;
  std::string normalised;

  for (std::size_t i = 0; i < zip.entry_count(); ++i) {
    TVX_TRY(zip.check_entry(i));
    const container::ZipEntry& entry = zip.entry(i);

    // Backslashes are separators too; most names have none, and are used as they stand.
    std::string_view name = entry.name;
    if (name.find('\\') != std::string_view::npos) {
      normalised.assign(name);
      std::replace(normalised.begin(), normalised.end(), '\\', '/');
      name = normalised;
    }
    const bool directory = !entry.name.empty() && (entry.name.back() == '/' || entry.name.back() == '\\');
    ++(directory ? summary.directory_count : summary.file_count);
    summary.compressed_bytes = saturating_add(summary.compressed_bytes, entry.compressed_size);
    summary.uncompressed_bytes = saturating_add(summary.uncompressed_bytes, entry.uncompressed_size);

    const std::string_view top = name.substr(0, name.find('/'));
    if (!top.empty() && !many_tops) {
      if (!only_top) only_top.emplace(top);
      else many_tops = *only_top != top;
    }

    if (ends_with_folded(name, "/pdproject/group")) {
      summary.project_data_present = true;
      candidate = top;
    }
    if (contains_folded(name, "/datasets/basesolution/")) summary.base_solution_present = true;

    const std::uint64_t next = saturating_add(listed_bytes, name.size());
    if (next > byte_budget) {
      summary.truncated = true;
    } else {
      listed_bytes = next;
      summary.entries.push_back({std::string(name), directory, entry.compressed_size, entry.uncompressed_size});
    }
  }

  if (candidate)
    summary.project_directory = std::move(candidate);
  else if (!many_tops)
    summary.project_directory = std::move(only_top);
  if (summary.project_directory) {
    const std::string& dir = *summary.project_directory;
    summary.project_name = dir.substr(0, dir.find('.'));
  }
  return summary;
}

}  // namespace tolvanex::parsers::flotherm
