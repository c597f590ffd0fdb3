#include "tolvanex/dispatch.hpp"

#include <string_view>

#include "tolvanex/call_context.hpp"
#include "tolvanex/formats.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/text/text.hpp"
#include "tolvanex/directory_walk.hpp"

namespace tolvanex::dispatch {
namespace {

// A file name as detection and the filter compare it: decoded lossily, then ASCII
// lower-cased; into `out`, whose storage is reused from name to name.
void lower_name_into(std::string_view name, std::string& out) {
  out.clear();
  text::append_lossy(out, name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

// The include patterns, trimmed and lower-cased once per scan rather than once per name.
class NameFilter {
 public:
  explicit NameFilter(const std::vector<std::string>& patterns) {
    for (const std::string& raw : patterns) {
      std::string pattern = text::ascii_lower(text::trim_unicode(raw));
      if (pattern.empty()) continue;  // matches nothing
      if (pattern == "*") {
        any_ = true;
        break;
      }
      if (pattern.front() == '*') suffixes_.push_back(pattern.substr(1));
      else names_.push_back(std::move(pattern));
    }
  }

  bool admits(std::string_view lower_name) const {
    if (any_) return true;
    // Most names end differently from every suffix: their last byte settles it.
    for (const std::string& suffix : suffixes_)
      if (!lower_name.empty() && lower_name.back() == suffix.back() && text::ends_with(lower_name, suffix))
        return true;
    for (const std::string& name : names_)
      if (lower_name == name) return true;
    return false;
  }

 private:
  bool any_ = false;
  std::vector<std::string> suffixes_;  // of "*suffix" patterns
  std::vector<std::string> names_;     // of patterns without a leading "*"
};

// The format that a lower-cased name's suffix gives; `probe`, when set, must still agree by
// looking at the file.
struct SuffixMatch {
  SimFormat format;
  bool (*probe)(const std::string& path, fsio::Interrupt* interrupt);
};

std::optional<SuffixMatch> match_suffix(std::string_view lower_name) {
  if (lower_name.size() < 4) return std::nullopt;
  for (const FormatRow& row : format_table())
    for (const SuffixRule& rule : row.suffixes)
      if (text::ends_with(lower_name, rule.suffix)) return SuffixMatch{row.format, rule.probe};
  return std::nullopt;
}

// Runs the reader of `format` on `path` and wraps its summary in a record. An interrupt that
// said stop while the file was read, or says so now that it is done, ends the call whatever
// the reader made of its reads that were broken off.
Result<TolvanexResult> inspect_as(const std::string& path, SimFormat format,
                                  std::uint64_t byte_budget, bool include_paths, CallContext& call) {
  auto read = format_row(format).reader.read(path, byte_budget, call);
  TVX_TRY(call.interrupt.poll());
  TVX_TRY_ASSIGN(FormatSummary summary, std::move(read));
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

std::optional<SimFormat> detect_format(const std::string& path, fsio::Interrupt* interrupt) {
  const auto name = text::file_name_bytes(path);
  if (!name) return std::nullopt;
  std::string lower;
  lower_name_into(*name, lower);
  const auto match = match_suffix(lower);
  if (!match || (match->probe && !match->probe(path, interrupt))) return std::nullopt;
  return match->format;
}

bool should_include(const std::string& path, const std::vector<std::string>& patterns) {
  const auto name = text::file_name_bytes(path);
  if (!name) return false;
  std::string lower;
  lower_name_into(*name, lower);
  return NameFilter(patterns).admits(lower);
}

Result<TolvanexResult> inspect_path(const std::string& path, const InspectOptions& options) {
  CallContext call;
  return inspect_path(path, options, call);
}

Result<TolvanexResult> inspect_path(const std::string& path, const InspectOptions& options,
                                    CallContext& call) {
  std::optional<SimFormat> format = options.format;
  if (!format) format = detect_format(path, &call.interrupt);
  if (!format) {
    TVX_TRY(call.interrupt.poll());  // the probe may have been broken off
    return TolvanexError::unsupported_format(text::decode_lossy(path));
  }
  return inspect_as(path, *format, options.byte_budget, options.include_paths, call);
}

Result<std::vector<TolvanexResult>> scan_paths(const std::vector<std::string>& paths,
                                               const ScanOptions& options) {
  CallContext call;
  return scan_paths(paths, options, call);
}

Result<std::vector<TolvanexResult>> scan_paths(const std::vector<std::string>& paths,
                                               const ScanOptions& options, CallContext& call) {
  const NameFilter filter(options.patterns);
  const std::optional<SimFormat> forced = options.inspect_options.format;
  std::vector<TolvanexResult> records;
  std::string lower;  // the current name, lower-cased

  // A candidate whose lower-cased name is in `lower`. The name is tested first (filter, then
  // suffix); only a name that passes costs a path and a look at the file system, and only a
  // regular file is probed or read. Returns a reader's error, else success whether the file
  // was read or skipped.
  auto visit = [&](auto&& path, auto&& is_regular_file) -> Status {
    if (!filter.admits(lower)) return ok_status();
    std::optional<SuffixMatch> match;
    if (!forced && !(match = match_suffix(lower))) return ok_status();
    if (!is_regular_file()) return ok_status();
    const std::string& p = path();
    if (match && match->probe && !match->probe(p, &call.interrupt)) return call.interrupt.poll();
    TVX_TRY_ASSIGN(TolvanexResult record, inspect_as(p, forced ? *forced : match->format,
                                                     options.inspect_options.byte_budget,
                                                     options.include_paths, call));
    records.push_back(std::move(record));
    return ok_status();
  };

  // Names and entries turned down by their name cost little each: the interrupt is asked
  // once every so many of them, and after every file read.
  fsio::Paced<1024> paced(call.interrupt);
  for (const std::string& path : paths) {
    TVX_TRY(paced.poll());
    if (fsio::kind_of(path, /*follow_links=*/true) == fsio::Kind::Regular) {
      const auto name = text::file_name_bytes(path);
      if (!name) continue;
      lower_name_into(*name, lower);
      TVX_TRY(visit([&]() -> const std::string& { return path; }, [] { return true; }));
      continue;
    }
    // An entry's file name is its own name: it holds no "/" and is never "." or "..".
    DirectoryWalk walk(path, options.recursive);
    while (walk.next()) {
      TVX_TRY(paced.poll());
      lower_name_into(walk.name(), lower);
      TVX_TRY(visit([&]() -> const std::string& { return walk.path(); }, [&] { return walk.is_regular_file(); }));
    }
  }
  return records;
}

}  // namespace tolvanex::dispatch
