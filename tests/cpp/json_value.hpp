// nlohmann-json for code that reads the library's JSON back: the tests and the fuzz targets,
// which link it themselves. The library writes its records and reads the COMSOL JSON member
// on its own, so nothing under src/ uses nlohmann.
#pragma once

#include <nlohmann/json.hpp>

namespace tolvanex::json {

// A parsed value whose objects keep their keys in the order written.
using Json = nlohmann::ordered_json;

}  // namespace tolvanex::json
