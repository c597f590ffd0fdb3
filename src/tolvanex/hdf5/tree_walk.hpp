// The tree walk shared by both HDF5 inspectors: every group below the root (pre-order) and
// every dataset (a group's own datasets after all of its subgroups'), children taken in
// byte order of their names, each with its attributes rendered as text.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tolvanex/hdf5/error.hpp"
#include "tolvanex/hdf5/library.hpp"
#include "tolvanex/hdf5/progress.hpp"
#include "tolvanex/hdf5/text_forms.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex::hdf5 {

struct WalkContext {
  hid_t file = -1;
  Progress& progress;
  // No group or object lists more links or attributes than this (the image's size in
  // bytes: each takes at least one byte).
  std::uint64_t item_limit = 0;
};

// Appends the groups and datasets below the group at `relative_path` ("" for the root;
// names joined by "/"). A group that is already on the path from the root (a hard-link
// cycle) is listed but not entered again. An object that several links reach is listed
// under each path, as long as such repeats stay within a bound (walk.cpp); past it the walk
// fails.
Hdf5Status walk_group(const WalkContext& ctx, const std::string& relative_path,
                      std::vector<Hdf5GroupInfo>& groups, std::vector<Hdf5DatasetInfo>& datasets);

// The attributes of an object, by their names' raw bytes, as far as their values can be
// decoded. Names are decoded only when written out, so two names that decode alike stay two.
using Hdf5Attributes = std::map<std::string, Hdf5AttrValue>;
Hdf5Result<Hdf5Attributes> read_attributes(hid_t object, const WalkContext& ctx);

// The attributes in byte order of their names, names and values as text.
std::vector<Hdf5AttributeInfo> attrs_to_vec(const Hdf5Attributes& attributes);

// A dataset's datatype, as far as its text form needs it.
Hdf5Result<Hdf5Dtype> decode_dtype(hid_t type);

// A dataset opened for its raw content: the bytes of all its elements in storage order,
// once its filters are undone.
struct RawDataset {
  Handle dataset;
  Handle type;
  Handle space;
  std::uint64_t byte_length = 0;  // elements times element size, saturating
};
Hdf5Result<RawDataset> open_raw(hid_t file, const std::string& relative_path);
// The first min(count, byte_length) bytes; only the elements that hold them are read.
Hdf5Result<std::string> read_leading(const RawDataset& raw, std::uint64_t count);

}  // namespace tolvanex::hdf5
