// Mechanical databases (.mechdb, .mechdat): HDF5 files whose datasets are byte streams.
// Every stream is listed with the bytes it uses; three are read, each cut to the byte
// budget: "/Version Info Stream" (UTF-16LE, fields separated by "|"), "/DS Objects
// Information" (UTF-16LE records "|,{id},{type},{name}" separated by U+0000) and
// "/Part Manager Stream" (4 bytes, then a zlib stream naming the geometry files). Two
// neighbouring paths, "{path}.lock" and "{stem}_Mech_Files", are probed on disk.

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "tolvanex/codec/codec.hpp"
#include "tolvanex/hdf5/inspectors.hpp"
#include "tolvanex/hdf5/library.hpp"
#include "tolvanex/hdf5/tree_walk.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/saturating.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::hdf5 {

Hdf5Result<MechanicalMechdbSummary> inspect_mechanical_mechdb(const std::string& path,
                                                              std::uint64_t byte_budget,
                                                              Hdf5Worker& worker) {
  TVX_TRY_ASSIGN(MechanicalMechdbSummary summary, worker.mechanical(path, byte_budget));
  summary.sidecars = probe_sidecars(path);
  return summary;
}

namespace {

struct StreamRead {
  std::string bytes;
  bool cut = false;
};

// The first min(used, budget) bytes of the named stream; nothing when there is none.
Hdf5Result<std::optional<StreamRead>> read_named_bytes(hid_t file,
                                                       const std::vector<Hdf5DatasetInfo>& datasets,
                                                       std::string_view name, std::uint64_t budget) {
  const auto it = std::find_if(datasets.begin(), datasets.end(),
                               [&](const Hdf5DatasetInfo& d) { return d.path == name; });
  if (it == datasets.end()) return std::optional<StreamRead>();
  const std::string relative(name.substr(name.find_first_not_of('/')));
  TVX_TRY_ASSIGN(const RawDataset raw, open_raw(file, relative));
  const std::uint64_t used = std::min(raw.byte_length, dataset_used_bytes(*it));
  TVX_TRY_ASSIGN(std::string bytes, read_leading(raw, std::min(used, budget)));
  return std::optional<StreamRead>(StreamRead{std::move(bytes), used > budget});
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The text of a stream: 4 bytes of header, then UTF-16LE (an odd last byte dropped, an
// unpaired surrogate replaced by U+FFFD).
std::string decode_stream_text(std::string_view bytes) {
  std::string out;
  if (bytes.size() < 4) return out;
  bytes.remove_prefix(4);
  const std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t i) -> char32_t {
    return static_cast<unsigned char>(bytes[2 * i]) | (static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else {
      append_utf8(out, u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u);
    }
  }
  return out;
}

std::optional<std::string> field_text(std::string_view field) {
  const std::string_view t = text::trim_unicode(field);
  if (t.empty()) return std::nullopt;
  return std::string(t);
}

// "{format}|…|{release}|…|{kind}" with NULs and bars around it.
void read_version(std::string_view text, MechanicalMechdbSummary& summary) {
  const std::size_t begin = text.find_first_not_of(std::string_view("\0|", 2));
  if (begin == std::string_view::npos) return;
  text = text.substr(begin, text.find_last_not_of(std::string_view("\0|", 2)) - begin + 1);
  std::vector<std::string_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t bar = text.find('|', at);
    fields.push_back(text.substr(at, bar == std::string_view::npos ? std::string_view::npos : bar - at));
    if (bar == std::string_view::npos) break;
    at = bar + 1;
  }
  if (fields.size() > 0) summary.database_format_version = field_text(fields[0]);
  if (fields.size() > 2) summary.mechanical_version = field_text(fields[2]);
  if (fields.size() > 4) summary.release_kind = field_text(fields[4]);
}

// The part of a name after its last separator, when the name looks like a path.
std::string display_name(std::string_view name) {
  const bool is_path = name.find('/') != std::string_view::npos ||
                       name.find('\\') != std::string_view::npos || (name.size() > 1 && name[1] == ':');
  if (!is_path) return std::string(name);
  std::string s(name);
  std::replace(s.begin(), s.end(), '\\', '/');
  return s.substr(s.rfind('/') == std::string::npos ? 0 : s.rfind('/') + 1);
}

void sort_unique(std::vector<std::string>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

std::vector<std::string>* category(MechanicalMechdbSummary& s, std::uint32_t type_id) {
  switch (type_id) {
    case 105: return &s.analyses;
    case 400: return &s.bodies;
    case 406: return &s.materials;
    case 575: return &s.contacts;
    case 403: return &s.loads_and_conditions;
    case 520: return &s.results;
    default: return nullptr;
  }
}

void read_inventory(std::string_view text, MechanicalMechdbSummary& summary) {
  std::map<std::uint32_t, std::uint64_t> counts;
  for (MechanicalObject& object : parse_object_inventory(text)) {
    ++summary.object_count;
    ++counts[object.type_id];
    std::vector<std::string>* list = category(summary, object.type_id);
    const std::string_view name = text::trim_unicode(object.name);
    if (!list || name.empty() || (name.size() == 8 && text::ascii_iequals(name, "[noname]"))) continue;
    list->push_back(display_name(name));
  }
  for (const auto& [type_id, count] : counts) summary.object_type_counts.push_back({type_id, count});
  for (auto* list : {&summary.analyses, &summary.bodies, &summary.materials, &summary.contacts,
                     &summary.loads_and_conditions, &summary.results})
    sort_unique(*list);
}

// File names of geometry files: printable ASCII runs of 4 or more bytes that end with a
// geometry suffix, cut after their last separator.
std::vector<std::string> geometry_names(std::string_view bytes) {
  static constexpr std::string_view kSuffixes[] = {".step", ".stp", ".iges", ".igs", ".x_t", ".x_b", ".scdoc"};
  std::vector<std::string> out;
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t j = i;
    while (j < bytes.size() && bytes[j] >= 0x20 && bytes[j] <= 0x7E) ++j;
    if (j - i >= 4) {
      const std::string_view run = bytes.substr(i, j - i);
      const std::string lower = text::ascii_lower(run);
      for (std::string_view suffix : kSuffixes) {
        if (!text::ends_with(lower, suffix)) continue;
        std::string name(run);
        std::replace(name.begin(), name.end(), '\\', '/');
        out.push_back(name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1));
        break;
      }
    }
    i = j == i ? i + 1 : j;
  }
  sort_unique(out);
  return out;
}

}  // namespace

std::uint64_t dataset_used_bytes(const Hdf5DatasetInfo& dataset) {
  for (const Hdf5AttributeInfo& a : dataset.attributes) {
    if (a.name != "UsedSize") continue;
    const std::string_view v = a.value;
    if (v.size() > 5 && v.substr(0, 4) == "U64(" && v.back() == ')')
      if (const auto n = text::parse_decimal(v.substr(4, v.size() - 5))) return *n;
    break;
  }
  std::uint64_t product = 1;  // modulo 2^64
  for (std::uint64_t d : dataset.shape) product *= d;
  return product;
}

std::vector<MechanicalObject> parse_object_inventory(std::string_view text) {
  std::vector<MechanicalObject> out;
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\0', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view record = text::trim_unicode(text.substr(at, end - at));
    at = end + 1;
    std::string_view fields[4];
    std::string_view rest = record;
    int n = 0;
    for (; n < 3; ++n) {
      const std::size_t comma = rest.find(',');
      if (comma == std::string_view::npos) break;
      fields[n] = rest.substr(0, comma);
      rest.remove_prefix(comma + 1);
    }
    if (n < 3) continue;
    fields[3] = rest;
    if (text::trim_unicode(fields[0]) != "|" || !text::parse_u32(text::trim_unicode(fields[1]))) continue;
    const auto type_id = text::parse_u32(text::trim_unicode(fields[2]));
    if (!type_id) continue;
    out.push_back({std::string(text::trim_unicode(fields[3])), *type_id});
  }
  return out;
}

Hdf5Result<MechanicalMechdbSummary> mechanical_summary(std::string_view image, std::uint64_t budget,
                                                       Progress& progress) {
  TVX_TRY_ASSIGN(const Handle file, open_image(image));
  std::vector<Hdf5GroupInfo> groups;
  std::vector<Hdf5DatasetInfo> datasets;
  TVX_TRY(walk_group(WalkContext{file.get(), progress, image.size()}, "", groups, datasets));

  MechanicalMechdbSummary summary;
  for (const Hdf5DatasetInfo& d : datasets) summary.streams.push_back({d.path, dataset_used_bytes(d)});

  TVX_TRY_ASSIGN(auto version, read_named_bytes(file.get(), datasets, "/Version Info Stream", budget));
  if (version) {
    summary.content_truncated |= version->cut;
    read_version(decode_stream_text(version->bytes), summary);
  }
  TVX_TRY_ASSIGN(auto inventory, read_named_bytes(file.get(), datasets, "/DS Objects Information", budget));
  if (inventory) {
    summary.content_truncated |= inventory->cut;
    read_inventory(decode_stream_text(inventory->bytes), summary);
  }
  TVX_TRY_ASSIGN(auto parts, read_named_bytes(file.get(), datasets, "/Part Manager Stream", budget));
  if (parts) {
    summary.content_truncated |= parts->cut;
    const std::string_view bytes = parts->bytes;
    if (bytes.size() >= 5 && static_cast<unsigned char>(bytes[4]) == 0x78) {
      // A corrupt stream or checksum leaves the list empty; input that ends early is read
      // as far as it goes.
      const std::string_view deflated = bytes.substr(4);
      auto inflated = codec::inflate_zlib(
          {reinterpret_cast<const unsigned char*>(deflated.data()), deflated.size()},
          static_cast<std::size_t>(saturating_add(budget, 1)));
      if (inflated) {
        std::string& out = inflated.value();
        if (out.size() > budget) {
          summary.content_truncated = true;
          out.resize(static_cast<std::size_t>(budget));
        }
        summary.geometry_sources = geometry_names(out);
      }
    }
  }
  return summary;
}

MechanicalSidecars probe_sidecars(const std::string& path) {
  MechanicalSidecars sidecars;
  sidecars.lock_file_present = fsio::kind_of(path + ".lock", /*follow_links=*/true) == fsio::Kind::Regular;

  // The stem (the file name without its last extension) beside the file, in its parent.
  const auto name = text::file_name_bytes(path);
  if (!name) return sidecars;
  const std::size_t dot = name->rfind('.');
  const std::string_view stem = dot == std::string_view::npos || dot == 0 ? *name : name->substr(0, dot);
  std::string_view parent(path);
  while (parent.size() > 1 && (parent.back() == '/' || text::ends_with(parent, "/."))) parent.remove_suffix(1);
  const std::size_t slash = parent.rfind('/');
  parent = slash == std::string_view::npos ? std::string_view() : parent.substr(0, slash == 0 ? 1 : slash);
  std::string dir(parent);
  if (!dir.empty() && dir.back() != '/') dir += '/';
  dir.append(stem);
  dir += "_Mech_Files";
  sidecars.project_files_dir_present = fsio::kind_of(dir, /*follow_links=*/true) == fsio::Kind::Directory;
  return sidecars;
}

}  // namespace tolvanex::hdf5
