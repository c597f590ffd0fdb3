# Lookups of the libraries the build needs. Each is made quietly, and one that is missing stops
# the configure step naming the Debian package that carries it: CMake's own error names only a
# package configuration file or a variable, which tells a newcomer nothing about what to install.

function(tolvanex_missing debian what)
  message(FATAL_ERROR
    "${what} was not found: install the Debian package ${debian} "
    "(or run scripts/setup.sh as root, which installs every package the build and the tests need)")
endfunction()

# tolvanex_find_package(<debian-package> <find_package arguments>...): a macro, so that the
# variables find_package sets stay in the caller's scope.
macro(tolvanex_find_package debian name)
  find_package(${name} ${ARGN} QUIET)
  if(NOT ${name}_FOUND)
    string(REPLACE ";" " " _tolvanex_args "${name};${ARGN}")
    tolvanex_missing(${debian} "${_tolvanex_args}")
  endif()
endmacro()

# tolvanex_pkg_check_modules(<debian-package> <prefix> <module>): an imported target
# PkgConfig::<prefix> for a pkg-config module.
macro(tolvanex_pkg_check_modules debian prefix module)
  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
  if(NOT ${prefix}_FOUND)
    tolvanex_missing(${debian} "pkg-config module ${module}")
  endif()
endmacro()

# tolvanex_static_libraries(<out-var> <debian-package>:<name>...): the full paths of the static
# archives lib<name>.a, in the order given (a library before the ones it uses).
function(tolvanex_static_libraries out)
  set(paths)
  foreach(pair ${ARGN})
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 debian)
    list(GET pair 1 name)
    find_library(TOLVANEX_STATIC_${name} NAMES lib${name}.a)
    if(NOT TOLVANEX_STATIC_${name})
      tolvanex_missing(${debian} "The static library lib${name}.a")
    endif()
    list(APPEND paths ${TOLVANEX_STATIC_${name}})
  endforeach()
  set(${out} ${paths} PARENT_SCOPE)
endfunction()
