// nlohmann-json, included from this one place.
//
// The JSON writer (json.hpp) drives nlohmann's internal serializer, and the COMSOL JSON feed
// (parsers/comsol_json.cpp) depends on how its lexer reads input, where it places an error
// and how it words it. None of that is nlohmann's stable interface, so only the release this
// code was checked against is accepted: another one fails the build here (and in
// CMakeLists.txt) instead of changing records or error positions unnoticed. To move to a new
// release, widen both checks once the JSON tests pass with it.
#pragma once

#include <nlohmann/json.hpp>

static_assert(NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR == 11 &&
                  NLOHMANN_JSON_VERSION_PATCH == 2,
              "nlohmann-json 3.11.2 is the release this code was checked against");
