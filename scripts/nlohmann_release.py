"""Installs one nlohmann-json release from PyPI into a directory of its own and gives it the
CMake package files that an installed copy has, so that a build can be pointed at it with
-Dnlohmann_json_DIR=<directory>/cmake instead of the system's copy.

    python scripts/nlohmann_release.py DIRECTORY [REQUIREMENT]

The PyPI package carries only the headers; the version is read from them. Prints the version.
"""
import pathlib
import re
import subprocess
import sys


def main():
    target = pathlib.Path(sys.argv[1]).resolve()
    requirement = sys.argv[2] if len(sys.argv) > 2 else "nlohmann-json==3.12.0"
    include = target / "nlohmann_json" / "include"
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--upgrade",
                    "--target", str(target), requirement], check=True)
    macros = (include / "nlohmann" / "detail" / "abi_macros.hpp").read_text()
    version = ".".join(re.search(rf"#define NLOHMANN_JSON_VERSION_{part}\s+(\d+)", macros).group(1)
                       for part in ("MAJOR", "MINOR", "PATCH"))
    cmake = target / "cmake"
    cmake.mkdir(exist_ok=True)
    (cmake / "nlohmann_jsonConfig.cmake").write_text(
        "if(NOT TARGET nlohmann_json::nlohmann_json)\n"
        "  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)\n"
        "  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES\n"
        f'    INTERFACE_INCLUDE_DIRECTORIES "{include}")\n'
        "endif()\n")
    # Any release of the same major version that is not older than the one asked for.
    (cmake / "nlohmann_jsonConfigVersion.cmake").write_text(
        f'set(PACKAGE_VERSION "{version}")\n'
        "if(PACKAGE_VERSION VERSION_LESS PACKAGE_FIND_VERSION OR\n"
        f'   NOT PACKAGE_FIND_VERSION_MAJOR STREQUAL "{version.split(".")[0]}")\n'
        "  set(PACKAGE_VERSION_COMPATIBLE FALSE)\n"
        "else()\n"
        "  set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
        "  if(PACKAGE_FIND_VERSION STREQUAL PACKAGE_VERSION)\n"
        "    set(PACKAGE_VERSION_EXACT TRUE)\n"
        "  endif()\n"
        "endif()\n")
    print(version)


if __name__ == "__main__":
    main()
