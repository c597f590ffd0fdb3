// The directory scan over a small tree built from the input: records separated by "\n@",
// each "d<path>" (a directory), "f<path>\n<content>" (a file) or "l<path>\t<target>" (a
// symbolic link). Paths are cut into at most six names below the scratch directory; a link
// target may climb with leading "../" no higher than the scratch directory, so links form
// cycles and dangle but never lead out. The scan runs recursively and not, with paths; every
// record it gives must equal what inspecting that file gives, and the records of the flat
// scan must be among those of the deep one.
#include <unistd.h>

#include <algorithm>

#include "harness.hpp"

namespace {

using namespace tvx_fuzz;

// The names of a path, each at most 64 bytes, "", "." and ".." dropped, NUL made "_".
std::vector<std::string> names(std::string_view path) {
  std::vector<std::string> out;
  for (const auto piece : split(path, "/")) {
    std::string name(piece.substr(0, 64));
    std::replace(name.begin(), name.end(), '\0', '_');
    if (!name.empty() && name != "." && name != ".." && out.size() < 6) out.push_back(name);
  }
  return out;
}

std::string joined(const std::vector<std::string>& parts, std::size_t from = 0) {
  std::string out;
  for (std::size_t i = from; i < parts.size(); ++i) out += (i > from ? "/" : "") + parts[i];
  return out;
}

void build(std::string_view input) {
  Scratch& scratch = Scratch::get();
  for (const auto record : split(input, "\n@")) {
    if (record.empty()) continue;
    const char op = record[0];
    const std::string_view rest = record.substr(1);
    const std::size_t cut = rest.find(op == 'l' ? '\t' : '\n');
    const auto path = names(rest.substr(0, cut));
    if (path.empty()) continue;
    const std::string where = scratch.path(joined(path));
    std::error_code ec;
    if (op == 'd') {
      std::filesystem::create_directories(where, ec);
    } else if (op == 'f') {
      scratch.write(joined(path), cut == std::string_view::npos ? "" : rest.substr(cut + 1));
    } else if (op == 'l' && cut != std::string_view::npos) {
      std::string_view target = rest.substr(cut + 1);
      std::string up;
      for (std::size_t depth = path.size() - 1; depth > 0 && target.starts_with("../"); --depth) {
        up += "../";
        target.remove_prefix(3);
      }
      std::filesystem::create_directories(std::filesystem::path(where).parent_path(), ec);
      (void)::symlink((up + joined(names(target))).c_str(), where.c_str());
    }
  }
}

Result<std::vector<TolvanexResult>> scan(const std::vector<std::string>& paths, bool recursive) {
  ScanOptions options = ScanOptions::defaults();
  options.recursive = recursive;
  options.include_paths = true;
  return dispatch::scan_paths(paths, options);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Scratch& scratch = Scratch::get();
  const std::string root = scratch.fresh().string();
  build(bytes_of(data, size));

  const auto deep = scan({root, root + "/missing"}, true);
  std::vector<std::string> deep_records;
  if (deep) {
    check_json(json::write(deep.value()));
    for (const TolvanexResult& record : deep.value()) {
      deep_records.push_back(check_record(record));
      expect(record.path && record.path->starts_with(root), "a record's path is below the root", deep_records.back());
      if (fsio::kind_of(*record.path, true) != fsio::Kind::Regular) continue;  // a name that is not UTF-8
      InspectOptions options{.format = record.format, .include_paths = true};
      expect(outcome(dispatch::inspect_path(*record.path, options)) == deep_records.back(),
             "a scanned file gives the record that inspecting it gives", deep_records.back());
    }
  }
  const auto flat = scan({root}, false);
  if (deep && flat)
    for (const TolvanexResult& record : flat.value())
      expect(std::find(deep_records.begin(), deep_records.end(), check_record(record)) != deep_records.end(),
             "a record of the flat scan is one of the deep scan");
  return 0;
}
