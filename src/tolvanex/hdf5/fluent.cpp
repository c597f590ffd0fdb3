// Fluent case and mesh files stored as HDF5 (.cas.h5, .msh.h5): the root's attributes,
// every group and dataset with attributes, shape and datatype, and the paths whose names
// hint at zones, boundary conditions and settings. No dataset's content is read.
#include <string>
#include <string_view>

#include "tolvanex/hdf5/inspectors.hpp"
#include "tolvanex/hdf5/library.hpp"
#include "tolvanex/hdf5/tree_walk.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::hdf5 {

Hdf5Result<FluentHdf5Summary> inspect_fluent_hdf5(const std::string& path, Hdf5Worker& worker) {
  return worker.fluent(path);
}

namespace {

bool contains_any(std::string_view haystack, std::initializer_list<std::string_view> needles) {
  for (std::string_view n : needles)
    if (haystack.find(n) != std::string_view::npos) return true;
  return false;
}

void add_hints(FluentHdf5Hints& hints, const std::string& path) {
  const std::string lower = text::ascii_lower(path);
  if (contains_any(lower, {"zone"})) hints.zone_paths.push_back(path);
  if (contains_any(lower, {"boundary", "boundaries", "bc"})) hints.boundary_paths.push_back(path);
  if (contains_any(lower, {"setting", "solver", "model"})) hints.settings_paths.push_back(path);
}

}  // namespace

Hdf5Result<FluentHdf5Summary> fluent_summary(std::string_view image, Progress& progress) {
  TVX_TRY_ASSIGN(const Handle file, open_image(image));
  FluentHdf5Summary summary;
  const WalkContext ctx{file.get(), progress, image.size()};
  TVX_TRY(walk_group(ctx, "", summary.groups, summary.datasets));
  TVX_TRY_ASSIGN(const Handle root, checked(H5Gopen2(file.get(), "/", H5P_DEFAULT), H5Gclose));
  TVX_TRY_ASSIGN(const Hdf5Attributes attrs, read_attributes(root.get(), ctx));
  summary.root_attributes = attrs_to_vec(attrs);
  for (const Hdf5GroupInfo& g : summary.groups) add_hints(summary.hints, g.path);
  for (const Hdf5DatasetInfo& d : summary.datasets) add_hints(summary.hints, d.path);
  return summary;
}

}  // namespace tolvanex::hdf5
