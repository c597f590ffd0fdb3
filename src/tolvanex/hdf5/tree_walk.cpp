#include "tolvanex/hdf5/tree_walk.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "tolvanex/saturating.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::hdf5 {
namespace {

// ---------------------------------------------------------------------------------------
// Attribute values

// Sizes a buffer for `n` elements that the file declares; false when it can't be had.
template <class T>
bool sized(std::vector<T>& v, std::uint64_t n) {
  if (n > v.max_size()) return false;
  try {
    v.resize(static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

// Fixed-length string elements end by their padding rule.
std::string fixed_element(const char* p, std::size_t size, H5T_str_t pad) {
  std::size_t n = size;
  if (pad == H5T_STR_NULLTERM) {
    n = static_cast<std::size_t>(std::find(p, p + size, '\0') - p);
  } else {
    const char fill = pad == H5T_STR_SPACEPAD ? ' ' : '\0';
    while (n > 0 && p[n - 1] == fill) --n;
  }
  return text::decode_lossy(std::string_view(p, n));
}

std::optional<std::vector<std::string>> read_fixed_strings(hid_t attr, hid_t type, std::uint64_t n) {
  const std::size_t size = H5Tget_size(type);
  std::vector<char> raw;
  if (size == 0 || n > std::numeric_limits<std::uint64_t>::max() / size || !sized(raw, n * size))
    return std::nullopt;
  if (n && H5Aread(attr, type, raw.data()) < 0) return std::nullopt;
  const H5T_str_t pad = H5Tget_strpad(type);
  std::vector<std::string> out;
  for (std::uint64_t i = 0; i < n; ++i) out.push_back(fixed_element(raw.data() + i * size, size, pad));
  return out;
}

std::optional<std::vector<std::string>> read_variable_strings(hid_t attr, hid_t type, hid_t space,
                                                              std::uint64_t n) {
  Handle mem(H5Tcopy(H5T_C_S1), H5Tclose);
  std::vector<char*> ptrs;
  if (!mem || H5Tset_size(mem.get(), H5T_VARIABLE) < 0 ||
      H5Tset_cset(mem.get(), H5Tget_cset(type)) < 0 || !sized(ptrs, n))
    return std::nullopt;
  if (n && H5Aread(attr, mem.get(), ptrs.data()) < 0) return std::nullopt;
  std::vector<std::string> out;
  for (const char* p : ptrs) out.push_back(p ? text::decode_lossy(p) : std::string());
  if (n) H5Dvlen_reclaim(mem.get(), space, H5P_DEFAULT, ptrs.data());
  return out;
}

// A variable-length sequence of one-byte ASCII strings is a string stored the old way.
bool is_byte_string_sequence(hid_t type) {
  Handle base(H5Tget_super(type), H5Tclose);
  return base && H5Tget_class(base.get()) == H5T_STRING && !H5Tis_variable_str(base.get()) &&
         H5Tget_size(base.get()) == 1 && H5Tget_cset(base.get()) == H5T_CSET_ASCII;
}

std::optional<std::vector<std::string>> read_byte_sequences(hid_t attr, hid_t type, hid_t space,
                                                            std::uint64_t n) {
  Handle base(H5Tget_super(type), H5Tclose);
  Handle mem(base ? H5Tvlen_create(base.get()) : -1, H5Tclose);
  std::vector<hvl_t> seqs;
  if (!mem || !sized(seqs, n)) return std::nullopt;
  if (n && H5Aread(attr, mem.get(), seqs.data()) < 0) return std::nullopt;
  std::vector<std::string> out;
  for (const hvl_t& s : seqs)
    out.push_back(text::decode_lossy(std::string_view(static_cast<const char*>(s.p), s.p ? s.len : 0)));
  if (n) H5Dvlen_reclaim(mem.get(), space, H5P_DEFAULT, seqs.data());
  return out;
}

template <class T>
std::optional<std::vector<T>> read_numbers(hid_t attr, hid_t mem_type, std::uint64_t n) {
  std::vector<T> v;
  if (!sized(v, n) || (n && H5Aread(attr, mem_type, v.data()) < 0)) return std::nullopt;
  return v;
}

// Whether the bits that an integer or float datatype names lie inside its element. The
// library converts values by those fields without checking them against the size, so a
// damaged field would have it read bytes past the element: whatever its heap held before.
bool fields_fit(hid_t type, H5T_class_t cls) {
  const std::size_t bits = 8 * H5Tget_size(type);
  const std::size_t precision = H5Tget_precision(type);
  const int offset = H5Tget_offset(type);
  if (precision == 0 || offset < 0 || precision > bits || static_cast<std::size_t>(offset) > bits - precision)
    return false;
  if (cls != H5T_FLOAT) return true;
  std::size_t sign = 0, exponent_at = 0, exponent_bits = 0, mantissa_at = 0, mantissa_bits = 0;
  if (H5Tget_fields(type, &sign, &exponent_at, &exponent_bits, &mantissa_at, &mantissa_bits) < 0) return false;
  // The exponent is taken into a 64-bit word; VAX order swaps the bytes four at a time.
  return sign < precision && exponent_bits <= 64 && exponent_at <= precision - exponent_bits &&
         mantissa_bits <= precision && mantissa_at <= precision - mantissa_bits &&
         (H5Tget_order(type) != H5T_ORDER_VAX || bits % 32 == 0);
}

// One element gives the scalar kind, any other count the list kind.
std::optional<Hdf5AttrValue> decode_attribute(hid_t attr) {
  Handle type(H5Aget_type(attr), H5Tclose);
  Handle space(H5Aget_space(attr), H5Sclose);
  if (!type || !space) return std::nullopt;
  const hssize_t points = H5Sget_simple_extent_npoints(space.get());
  if (points < 0) return std::nullopt;
  const std::uint64_t n =
      H5Sget_simple_extent_type(space.get()) == H5S_NULL ? 0 : static_cast<std::uint64_t>(points);

  auto strings = [&](std::optional<std::vector<std::string>> v) -> std::optional<Hdf5AttrValue> {
    if (!v) return std::nullopt;
    if (n == 1) return Hdf5AttrValue(std::move(v->front()));
    return Hdf5AttrValue(std::move(*v));
  };
  const H5T_class_t cls = H5Tget_class(type.get());
  if ((cls == H5T_INTEGER || cls == H5T_FLOAT) && !fields_fit(type.get(), cls)) return std::nullopt;
  switch (cls) {
    case H5T_INTEGER: {
      const bool is_signed = H5Tget_sign(type.get()) == H5T_SGN_2;
      if (n == 1 && !is_signed) {
        auto v = read_numbers<std::uint64_t>(attr, H5T_NATIVE_UINT64, 1);
        if (v) return Hdf5AttrValue(v->front());
        return std::nullopt;
      }
      std::optional<std::vector<std::int64_t>> v;
      if (is_signed) {
        v = read_numbers<std::int64_t>(attr, H5T_NATIVE_INT64, n);
      } else if (auto u = read_numbers<std::uint64_t>(attr, H5T_NATIVE_UINT64, n)) {
        v.emplace(u->begin(), u->end());  // each value's 64 bits taken as signed
      }
      if (!v) return std::nullopt;
      if (n == 1) return Hdf5AttrValue(v->front());
      return Hdf5AttrValue(std::move(*v));
    }
    case H5T_FLOAT: {
      auto v = read_numbers<double>(attr, H5T_NATIVE_DOUBLE, n);
      if (!v) return std::nullopt;
      if (n == 1) return Hdf5AttrValue(v->front());
      return Hdf5AttrValue(std::move(*v));
    }
    case H5T_STRING:
      if (H5Tis_variable_str(type.get()) > 0)
        return strings(read_variable_strings(attr, type.get(), space.get(), n));
      return strings(read_fixed_strings(attr, type.get(), n));
    case H5T_VLEN:
      if (is_byte_string_sequence(type.get()))
        return strings(read_byte_sequences(attr, type.get(), space.get(), n));
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

struct AttributeScan {
  Hdf5Attributes* out;
  const WalkContext* ctx;
  std::unordered_set<std::string> names;
  std::optional<Hdf5InspectError> failure;
};

// Names are unique within an object, so a name seen twice, or more names than the file
// has bytes, means an index that leads back into itself; the listing ends there. With
// that bound, a long listing may report progress without hiding a loop.
herr_t on_attribute(hid_t object, const char* name, const H5A_info_t*, void* data) {
  auto* scan = static_cast<AttributeScan*>(data);
  scan->ctx->progress.tick();
  if (scan->names.size() >= scan->ctx->item_limit || !scan->names.insert(name).second) {
    scan->failure = Hdf5InspectError{"HDF5 format error: an attribute index repeats itself"};
    return -1;
  }
  const hid_t id = H5Aopen(object, name, H5P_DEFAULT);
  if (id < 0) {
    scan->failure = to_err();
    return -1;
  }
  Handle attr(id, H5Aclose);
  if (auto value = decode_attribute(attr.get()))
    scan->out->insert_or_assign(name, std::move(*value));
  H5Eclear2(H5E_DEFAULT);  // a value that can't be decoded is left out without notice
  return 0;
}

// ---------------------------------------------------------------------------------------
// Datatypes

std::string type_facts(const char* cls, hid_t type) {
  std::string out = cls;
  out += "{size=" + std::to_string(H5Tget_size(type));
  const H5T_order_t order = H5Tget_order(type);
  if (order == H5T_ORDER_LE || order == H5T_ORDER_BE)
    out += order == H5T_ORDER_LE ? ", order=le" : ", order=be";
  return out;
}

// ---------------------------------------------------------------------------------------
// Children of a group

struct Child {
  std::string name;  // raw bytes, as stored
  haddr_t addr = HADDR_UNDEF;
};

struct ChildScan {
  std::vector<Child> groups;
  std::vector<Child> datasets;
  const WalkContext* ctx = nullptr;
  std::unordered_set<std::string> names;
  std::optional<Hdf5InspectError> failure;
};

// Hard and soft links that resolve to a group or dataset in this file; external and
// user-defined links, dangling soft links and other objects (named datatypes) are no child.
herr_t on_link(hid_t group, const char* name, const H5L_info_t* link, void* data) {
  auto* scan = static_cast<ChildScan*>(data);
  scan->ctx->progress.tick();
  if (scan->names.size() >= scan->ctx->item_limit || !scan->names.insert(name).second) {
    scan->failure = Hdf5InspectError{"HDF5 format error: a link index repeats itself"};
    return -1;
  }
  if (link->type != H5L_TYPE_HARD && link->type != H5L_TYPE_SOFT) return 0;
  H5O_info_t info;
  if (H5Oget_info_by_name2(group, name, &info, H5O_INFO_BASIC, H5P_DEFAULT) < 0) {
    if (link->type == H5L_TYPE_SOFT) {
      H5Eclear2(H5E_DEFAULT);
      return 0;
    }
    scan->failure = to_err();
    return -1;
  }
  if (info.type == H5O_TYPE_GROUP)
    scan->groups.push_back({name, info.addr});
  else if (info.type == H5O_TYPE_DATASET)
    scan->datasets.push_back({name, info.addr});
  return 0;
}

Hdf5Result<ChildScan> list_children(hid_t group, const WalkContext& ctx) {
  ChildScan scan;
  scan.ctx = &ctx;
  if (H5Literate(group, H5_INDEX_NAME, H5_ITER_NATIVE, nullptr, on_link, &scan) < 0) {
    if (scan.failure) {
      H5Eclear2(H5E_DEFAULT);
      return std::move(*scan.failure);
    }
    return to_err();
  }
  auto by_name = [](const Child& a, const Child& b) { return a.name < b.name; };
  std::sort(scan.groups.begin(), scan.groups.end(), by_name);
  std::sort(scan.datasets.begin(), scan.datasets.end(), by_name);
  scan.names.clear();
  return scan;
}

Hdf5Result<Hdf5DatasetInfo> read_dataset(hid_t parent, const Child& child, std::string path,
                                         const WalkContext& ctx) {
  TVX_TRY_ASSIGN(Handle dataset, checked(H5Dopen2(parent, child.name.c_str(), H5P_DEFAULT), H5Dclose));
  Hdf5DatasetInfo info;
  info.path = std::move(path);
  TVX_TRY_ASSIGN(Handle space, checked(H5Dget_space(dataset.get()), H5Sclose));
  const int rank = H5Sget_simple_extent_ndims(space.get());
  if (rank < 0) return to_err();
  std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
  if (rank > 0 && H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) < 0) return to_err();
  info.shape.assign(dims.begin(), dims.end());
  TVX_TRY_ASSIGN(Handle type, checked(H5Dget_type(dataset.get()), H5Tclose));
  TVX_TRY_ASSIGN(const Hdf5Dtype dtype, decode_dtype(type.get()));
  info.dtype = dtype_text(dtype);
  TVX_TRY_ASSIGN(const Hdf5Attributes attrs, read_attributes(dataset.get(), ctx));
  info.attributes = attrs_to_vec(attrs);
  return info;
}

// One group being walked: its own handle, paths and address, and its sorted children.
struct Frame {
  Handle group;
  std::string relative;  // raw names joined by "/"
  std::string recorded;  // "/" + decoded names joined by "/"; "" for the root
  haddr_t addr = HADDR_UNDEF;
  ChildScan children;
  std::size_t next_group = 0;
};

// ---------------------------------------------------------------------------------------
// Objects linked from several places

// Counts the items read (links, attributes, records) and passes each tick on.
class CountingProgress final : public Progress {
 public:
  explicit CountingProgress(Progress& inner) : inner_(inner) {}
  void tick() override {
    ++count_;
    inner_.tick();
  }
  std::uint64_t count() const { return count_; }

 private:
  Progress& inner_;
  std::uint64_t count_ = 0;
};

// A group or dataset that several links reach (hard links to one object, soft links) is
// listed under each path, and a shared group's whole subtree with it; links that double at
// every level thus multiply a small file into billions of listings. Fluent and Mechanical
// files share nothing, so the repeats are bounded: whatever the walk reads and records for
// an object it has already met counts against 16 MiB, each item (listing, link or
// attribute) as 64 bytes, about what an entry of the record takes besides its texts, plus
// the texts that the listing adds.
class SharingBudget {
 public:
  static constexpr std::uint64_t kBytes = std::uint64_t{16} << 20;
  static constexpr std::uint64_t kPerItem = 64;

  // True the first time the object at `addr` is met. An undefined address (no object to
  // tell apart) never counts as a first meeting.
  bool first(haddr_t addr) { return addr != HADDR_UNDEF && seen_.insert(addr).second; }

  Hdf5Status charge(std::uint64_t items, std::uint64_t text_bytes) {
    const std::uint64_t item_bytes =
        items > kBytes / kPerItem ? std::numeric_limits<std::uint64_t>::max() : items * kPerItem;
    spent_ = saturating_add(spent_, saturating_add(item_bytes, text_bytes));
    if (spent_ > kBytes)
      return Hdf5InspectError{"groups and datasets linked from several places repeat more than 16 MiB of the tree"};
    return Unit{};
  }

 private:
  std::unordered_set<haddr_t> seen_;
  std::uint64_t spent_ = 0;
};

std::uint64_t text_bytes(const std::vector<Hdf5AttributeInfo>& attributes) {
  std::uint64_t n = 0;
  for (const Hdf5AttributeInfo& a : attributes) n += a.name.size() + a.value.size();
  return n;
}

}  // namespace

Hdf5Result<Hdf5Attributes> read_attributes(hid_t object, const WalkContext& ctx) {
  Hdf5Attributes out;
  AttributeScan scan{&out, &ctx, {}, std::nullopt};
  if (H5Aiterate2(object, H5_INDEX_NAME, H5_ITER_NATIVE, nullptr, on_attribute, &scan) < 0) {
    if (scan.failure) {
      H5Eclear2(H5E_DEFAULT);
      return std::move(*scan.failure);
    }
    return to_err();
  }
  return out;
}

std::vector<Hdf5AttributeInfo> attrs_to_vec(const Hdf5Attributes& attributes) {
  std::vector<Hdf5AttributeInfo> out;
  out.reserve(attributes.size());
  for (const auto& [name, value] : attributes) out.push_back({text::decode_lossy(name), attr_value_text(value)});
  return out;
}

Hdf5Result<Hdf5Dtype> decode_dtype(hid_t type) {
  using K = Hdf5Dtype::Kind;
  Hdf5Dtype t;
  const H5T_class_t cls = H5Tget_class(type);
  const std::size_t size = H5Tget_size(type);
  if (cls == H5T_NO_CLASS || size == 0) return to_err();
  auto other = [&](std::string text) {
    t.kind = K::Other;
    t.other = std::move(text);
  };
  switch (cls) {
    case H5T_INTEGER: {
      const bool is_signed = H5Tget_sign(type) == H5T_SGN_2;
      static constexpr K kSigned[] = {K::I8, K::I16, K::I32, K::I64};
      static constexpr K kUnsigned[] = {K::U8, K::U16, K::U32, K::U64};
      const int at = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : size == 8 ? 3 : -1;
      if (at >= 0)
        t.kind = (is_signed ? kSigned : kUnsigned)[at];
      else
        other((is_signed ? "i" : "u") + std::to_string(8 * size));
      break;
    }
    case H5T_FLOAT:
      if (size == 4 || size == 8)
        t.kind = size == 4 ? K::F32 : K::F64;
      else
        other("float" + std::to_string(8 * size));
      break;
    case H5T_STRING:
      t.kind = H5Tis_variable_str(type) > 0 ? K::VariableLengthString : K::String;
      break;
    case H5T_REFERENCE:
      if (H5Tequal(type, H5T_STD_REF_OBJ) > 0)
        t.kind = K::ObjectReference;
      else
        other(type_facts("reference", type) + "}");
      break;
    case H5T_COMPOUND:
    case H5T_ENUM: {
      const int members = H5Tget_nmembers(type);
      if (members < 0) return to_err();
      t.kind = cls == H5T_COMPOUND ? K::Compound : K::Enum;
      for (int i = 0; i < members; ++i) {
        char* name = H5Tget_member_name(type, static_cast<unsigned>(i));
        if (!name) return to_err();
        t.names.push_back(text::decode_lossy(name));
        H5free_memory(name);
        if (cls == H5T_ENUM) continue;
        TVX_TRY_ASSIGN(Handle member, checked(H5Tget_member_type(type, static_cast<unsigned>(i)), H5Tclose));
        TVX_TRY_ASSIGN(Hdf5Dtype decoded, decode_dtype(member.get()));
        t.types.push_back(std::move(decoded));
      }
      break;
    }
    case H5T_ARRAY: {
      const int rank = H5Tget_array_ndims(type);
      if (rank < 0) return to_err();
      std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
      if (rank > 0 && H5Tget_array_dims2(type, dims.data()) < 0) return to_err();
      TVX_TRY_ASSIGN(Handle base, checked(H5Tget_super(type), H5Tclose));
      TVX_TRY_ASSIGN(Hdf5Dtype element, decode_dtype(base.get()));
      t.kind = K::Array;
      t.types.push_back(std::move(element));
      for (hsize_t d : dims) t.dims.push_back(static_cast<std::uint32_t>(d));
      break;
    }
    case H5T_VLEN: {
      TVX_TRY_ASSIGN(Handle base, checked(H5Tget_super(type), H5Tclose));
      TVX_TRY_ASSIGN(const Hdf5Dtype element, decode_dtype(base.get()));
      other("vlen{base=" + dtype_text(element) + "}");
      break;
    }
    case H5T_OPAQUE: {
      std::string facts = type_facts("opaque", type);
      if (char* tag = H5Tget_tag(type)) {
        if (*tag) facts += ", tag=" + text::decode_lossy(tag);
        H5free_memory(tag);
      }
      other(facts + "}");
      break;
    }
    case H5T_BITFIELD:
      other(type_facts("bitfield", type) + ", precision=" + std::to_string(H5Tget_precision(type)) + "}");
      break;
    case H5T_TIME:
      other(type_facts("time", type) + "}");
      break;
    default:
      other("class" + std::to_string(static_cast<int>(cls)) + "{size=" + std::to_string(size) + "}");
      break;
  }
  H5Eclear2(H5E_DEFAULT);
  return t;
}

Hdf5Status walk_group(const WalkContext& outer, const std::string& relative_path,
                      std::vector<Hdf5GroupInfo>& groups, std::vector<Hdf5DatasetInfo>& datasets) {
  CountingProgress counter(outer.progress);
  const WalkContext ctx{outer.file, counter, outer.item_limit};
  SharingBudget sharing;
  std::vector<Frame> stack;
  auto enter = [&](Handle group, std::string relative, std::string recorded, haddr_t addr) -> Hdf5Status {
    TVX_TRY_ASSIGN(ChildScan children, list_children(group.get(), ctx));
    stack.push_back({std::move(group), std::move(relative), std::move(recorded), addr, std::move(children)});
    return Unit{};
  };

  {
    const char* start = relative_path.empty() ? "/" : relative_path.c_str();
    TVX_TRY_ASSIGN(Handle root, checked(H5Gopen2(ctx.file, start, H5P_DEFAULT), H5Gclose));
    H5O_info_t info;
    if (H5Oget_info2(root.get(), &info, H5O_INFO_BASIC) < 0) return to_err();
    std::string recorded = relative_path.empty() ? "" : "/" + text::decode_lossy(relative_path);
    sharing.first(info.addr);
    TVX_TRY(enter(std::move(root), relative_path, std::move(recorded), info.addr));
  }

  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next_group < top.children.groups.size()) {
      const Child& child = top.children.groups[top.next_group++];
      const std::uint64_t items_before = counter.count();
      std::string relative = top.relative.empty() ? child.name : top.relative + "/" + child.name;
      std::string recorded = top.recorded + "/" + text::decode_lossy(child.name);
      TVX_TRY_ASSIGN(Handle group,
                     checked(H5Gopen2(top.group.get(), child.name.c_str(), H5P_DEFAULT), H5Gclose));
      TVX_TRY_ASSIGN(const Hdf5Attributes attrs, read_attributes(group.get(), ctx));
      groups.push_back({recorded, attrs_to_vec(attrs)});
      ctx.progress.tick();
      const bool first = sharing.first(child.addr);
      // A group on the path from the root is a hard-link cycle: listed, not entered again.
      const bool on_path = !first && std::any_of(stack.begin(), stack.end(),
                                                 [&](const Frame& f) { return f.addr == child.addr; });
      if (!on_path) TVX_TRY(enter(std::move(group), std::move(relative), std::move(recorded), child.addr));
      if (!first) {
        const Hdf5GroupInfo& listed = groups.back();
        TVX_TRY(sharing.charge(counter.count() - items_before, listed.path.size() + text_bytes(listed.attributes)));
      }
      continue;
    }
    for (const Child& child : top.children.datasets) {
      const std::uint64_t items_before = counter.count();
      TVX_TRY_ASSIGN(Hdf5DatasetInfo info,
                     read_dataset(top.group.get(), child,
                                  top.recorded + "/" + text::decode_lossy(child.name), ctx));
      datasets.push_back(std::move(info));
      ctx.progress.tick();
      if (!sharing.first(child.addr)) {
        const Hdf5DatasetInfo& listed = datasets.back();
        TVX_TRY(sharing.charge(counter.count() - items_before,
                               listed.path.size() + listed.dtype.size() + 8 * listed.shape.size() +
                                   text_bytes(listed.attributes)));
      }
    }
    stack.pop_back();
  }
  return Unit{};
}

Hdf5Result<RawDataset> open_raw(hid_t file, const std::string& relative_path) {
  RawDataset raw;
  TVX_TRY_ASSIGN(raw.dataset, checked(H5Dopen2(file, relative_path.c_str(), H5P_DEFAULT), H5Dclose));
  TVX_TRY_ASSIGN(raw.type, checked(H5Dget_type(raw.dataset.get()), H5Tclose));
  TVX_TRY_ASSIGN(raw.space, checked(H5Dget_space(raw.dataset.get()), H5Sclose));
  // Variable-length elements are references into a heap, not bytes of the dataset.
  if (H5Tdetect_class(raw.type.get(), H5T_VLEN) > 0 || H5Tis_variable_str(raw.type.get()) > 0)
    return Hdf5InspectError{"HDF5 format error: variable-length data has no raw byte form"};
  const hssize_t points = H5Sget_simple_extent_npoints(raw.space.get());
  const std::size_t size = H5Tget_size(raw.type.get());
  if (points < 0 || size == 0) return to_err();
  const std::uint64_t n = static_cast<std::uint64_t>(points);
  raw.byte_length = n > std::numeric_limits<std::uint64_t>::max() / size
                        ? std::numeric_limits<std::uint64_t>::max()
                        : n * size;
  return raw;
}

Hdf5Result<std::string> read_leading(const RawDataset& raw, std::uint64_t count) {
  count = std::min(count, raw.byte_length);
  if (count == 0) return std::string();
  const std::uint64_t size = H5Tget_size(raw.type.get());
  const std::uint64_t elements = count / size + (count % size != 0);

  // The first `elements` elements in storage (row-major) order, as at most one hyperslab
  // per dimension: whole rows of the outer dimension, then the rest of the next, and so on.
  TVX_TRY_ASSIGN(Handle file_space, checked(H5Scopy(raw.space.get()), H5Sclose));
  const int rank = H5Sget_simple_extent_ndims(file_space.get());
  if (rank < 0) return to_err();
  if (rank == 0) {
    if (H5Sselect_all(file_space.get()) < 0) return to_err();
  } else {
    std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
    if (H5Sget_simple_extent_dims(file_space.get(), dims.data(), nullptr) < 0) return to_err();
    std::vector<hsize_t> stride(dims.size(), 1);  // elements per step of each dimension
    for (std::size_t k = dims.size() - 1; k > 0; --k) stride[k - 1] = stride[k] * dims[k];
    std::vector<hsize_t> start(dims.size(), 0);
    std::uint64_t rest = elements;
    bool first = true;
    for (std::size_t k = 0; k < dims.size() && rest > 0; ++k) {
      const hsize_t whole = rest / stride[k];
      rest %= stride[k];
      if (whole > 0) {
        std::vector<hsize_t> block(dims.size(), 1);
        block[k] = whole;
        for (std::size_t j = k + 1; j < dims.size(); ++j) block[j] = dims[j];
        if (H5Sselect_hyperslab(file_space.get(), first ? H5S_SELECT_SET : H5S_SELECT_OR,
                                start.data(), nullptr, block.data(), nullptr) < 0)
          return to_err();
        first = false;
      }
      start[k] = whole;
    }
  }
  std::string out;
  try {
    out.resize(static_cast<std::size_t>(elements * size));
  } catch (const std::bad_alloc&) {
    return io_error(ENOMEM);
  }
  const hsize_t mem_dims[1] = {elements};
  TVX_TRY_ASSIGN(Handle mem_space, checked(H5Screate_simple(1, mem_dims, nullptr), H5Sclose));
  if (H5Dread(raw.dataset.get(), raw.type.get(), mem_space.get(), file_space.get(), H5P_DEFAULT,
              out.data()) < 0)
    return to_err();
  out.resize(static_cast<std::size_t>(count));
  return out;
}

}  // namespace tolvanex::hdf5
