#include "tolvanex/dispatch.hpp"

#include <string_view>

#include "tolvanex/call_context.hpp"
#include "tolvanex/formats.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/text/text.hpp"
#include "tolvanex/walk.hpp"

namespace tolvanex::dispatch {
namespace {

std::optional<std::string> lower_file_name(const std::string& path) {
  auto name = text::file_name(path);
  if (!name) return std::nullopt;
  return text::ascii_lower(*name);
}

// Runs the reader of `format` on `path` and wraps its summary in a record.
Result<TolvanexResult> inspect_as(const std::string& path, SimFormat format,
                                  std::uint64_t byte_budget, bool include_paths, CallContext& call) {
  TVX_TRY_ASSIGN(FormatSummary summary, format_row(format).reader.read(path, byte_budget, call));
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

}  // namespace

std::optional<SimFormat> detect_format(const std::string& path) {
  const auto name = lower_file_name(path);
  if (!name || name->size() < 4) return std::nullopt;
  for (const FormatRow& row : format_table())
    for (const SuffixRule& rule : row.suffixes)
      if (text::ends_with(*name, rule.suffix)) {
        if (rule.probe && !rule.probe(path)) return std::nullopt;
        return row.format;
      }
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

Result<TolvanexResult> inspect_path(const std::string& path, const InspectOptions& options) {
  std::optional<SimFormat> format = options.format;
  if (!format) format = detect_format(path);
  if (!format) return TolvanexError::unsupported_format(text::decode_lossy(path));
  CallContext call;
  return inspect_as(path, *format, options.byte_budget, options.include_paths, call);
}

Result<std::vector<TolvanexResult>> scan_paths(const std::vector<std::string>& paths,
                                               const ScanOptions& options) {
  CallContext call;
  return scan_paths(paths, options, call);
}

Result<std::vector<TolvanexResult>> scan_paths(const std::vector<std::string>& paths,
                                               const ScanOptions& options, CallContext& call) {
  std::vector<TolvanexResult> records;
  // Returns false only on a reader error, which `failure` then holds.
  std::optional<TolvanexError> failure;
  auto visit = [&](const std::string& candidate) {
    if (fsio::kind_of(candidate, /*follow_links=*/true) != fsio::Kind::Regular) return true;
    if (!should_include(candidate, options.patterns)) return true;
    std::optional<SimFormat> format = options.inspect_options.format;
    if (!format) format = detect_format(candidate);
    if (!format) return true;
    auto record = inspect_as(candidate, *format, options.inspect_options.byte_budget,
                             options.include_paths, call);
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
