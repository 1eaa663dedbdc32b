# Installs the current build into PREFIX (emptied first) and checks what
# landed there: headers, the library with its SONAME links, the CMake package
# and the pkg-config file, none of them naming an internal target or a path
# outside the prefix where a relative one belongs.
# Inputs: BUILD_DIR, PREFIX, CONFIG, LIBDIR, INCLUDEDIR, VERSION, SOVERSION.
file(REMOVE_RECURSE "${PREFIX}")
set(config_args "")
if(CONFIG)
  set(config_args --config "${CONFIG}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" ${config_args}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
endif()

function(expect_file path)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endfunction()

function(expect_link path target)
  if(NOT IS_SYMLINK "${PREFIX}/${path}")
    message(FATAL_ERROR "not a symbolic link: ${path}")
  endif()
  file(READ_SYMLINK "${PREFIX}/${path}" got)
  if(NOT got STREQUAL target)
    message(FATAL_ERROR "${path} points to ${got}, expected ${target}")
  endif()
endfunction()

expect_file(${INCLUDEDIR}/orvik.h)
expect_file(${INCLUDEDIR}/orvik_version.h)
expect_file(${LIBDIR}/liborvik.so.${VERSION})
expect_link(${LIBDIR}/liborvik.so.${SOVERSION} liborvik.so.${VERSION})
expect_link(${LIBDIR}/liborvik.so liborvik.so.${SOVERSION})
expect_file(${LIBDIR}/cmake/orvik/orvikConfig.cmake)
expect_file(${LIBDIR}/cmake/orvik/orvikConfigVersion.cmake)
expect_file(${LIBDIR}/cmake/orvik/orvikTargets.cmake)
expect_file(${LIBDIR}/pkgconfig/orvik.pc)

# The version macros come from the project version and nowhere else.
file(READ "${PREFIX}/${INCLUDEDIR}/orvik_version.h" version_header)
if(NOT version_header MATCHES "#define ORVIK_VERSION_STRING \"${VERSION}\"")
  message(FATAL_ERROR "orvik_version.h does not carry version ${VERSION}:\n${version_header}")
endif()

# Only orvik::orvik is exported, and its link interface names nothing of the
# build's own: the internal archive and the flag targets stay behind.
file(GLOB export_files "${PREFIX}/${LIBDIR}/cmake/orvik/orvikTargets*.cmake")
foreach(f IN LISTS export_files)
  file(READ "${f}" text)
  foreach(internal orvik_internal orvik_warnings orvik_instrumentation orvik_sanitizers)
    if(text MATCHES "${internal}")
      message(FATAL_ERROR "${f} names the internal target ${internal}")
    endif()
  endforeach()
  if(text MATCHES "INTERFACE_LINK_LIBRARIES")
    message(FATAL_ERROR "${f} gives orvik::orvik a link interface:\n${text}")
  endif()
  string(REGEX MATCHALL "add_library\\([^ ]+" added "${text}")
  foreach(a IN LISTS added)
    if(NOT a STREQUAL "add_library(orvik::orvik")
      message(FATAL_ERROR "${f} exports more than orvik::orvik: ${a}")
    endif()
  endforeach()
endforeach()

file(READ "${PREFIX}/${LIBDIR}/pkgconfig/orvik.pc" pc)
if(NOT pc MATCHES "(^|\n)prefix=\\\${pcfiledir}/")
  message(FATAL_ERROR "orvik.pc does not locate its prefix from its own place:\n${pc}")
endif()
string(FIND "${pc}" "${PREFIX}" at_prefix)
string(FIND "${pc}" "${BUILD_DIR}" at_build)
if(NOT at_prefix EQUAL -1 OR NOT at_build EQUAL -1)
  message(FATAL_ERROR "orvik.pc holds an absolute path:\n${pc}")
endif()
message(STATUS "installed orvik ${VERSION} into ${PREFIX}")
