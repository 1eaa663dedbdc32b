if(WIN32)
  # On Windows, yyjson is compiled into orvik.dll from its sources (unpacked
  # by scripts/bootstrap-windows), so the DLL needs no yyjson DLL beside it.
  # Built without YYJSON_EXPORTS, yyjson marks nothing for export, and the
  # DLL's export table holds orvik's functions only. 0.10 is accepted here:
  # it is the release Debian serves as source, and everything orvik calls
  # has the same interface from 0.10 to 0.12.
  set(ORVIK_YYJSON_SOURCE_DIR "${PROJECT_SOURCE_DIR}/.deps/yyjson-src"
      CACHE PATH "yyjson source tree compiled into the Windows DLL")
  find_file(_yyjson_header yyjson.h PATHS "${ORVIK_YYJSON_SOURCE_DIR}/src"
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_file(_yyjson_source yyjson.c PATHS "${ORVIK_YYJSON_SOURCE_DIR}/src"
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT _yyjson_header OR NOT _yyjson_source)
    message(FATAL_ERROR "yyjson sources not found in ${ORVIK_YYJSON_SOURCE_DIR}; run scripts/bootstrap-windows")
  endif()
  file(STRINGS "${_yyjson_header}" _yyjson_version REGEX "^#define YYJSON_VERSION_STRING")
  string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" yyjson_VERSION "${_yyjson_version}")
  if(yyjson_VERSION VERSION_LESS 0.10 OR yyjson_VERSION VERSION_GREATER_EQUAL 0.13)
    message(FATAL_ERROR "orvik's Windows build needs yyjson 0.10 to 0.12 sources, found ${yyjson_VERSION} (${_yyjson_header})")
  endif()
  add_library(orvik_yyjson STATIC "${_yyjson_source}")
  target_include_directories(orvik_yyjson SYSTEM PUBLIC "${ORVIK_YYJSON_SOURCE_DIR}/src")
  add_library(yyjson::yyjson ALIAS orvik_yyjson)
  message(STATUS "yyjson ${yyjson_VERSION} (compiled in): ${_yyjson_source}")
  return()
endif()

# yyjson 0.12 from the system, or from the prefix scripts/bootstrap fills.
# Its package ships no version file, so the version is read from its header.
if(EXISTS "${PROJECT_SOURCE_DIR}/.deps/yyjson/usr")
  list(APPEND CMAKE_PREFIX_PATH "${PROJECT_SOURCE_DIR}/.deps/yyjson/usr")
endif()
find_package(yyjson CONFIG REQUIRED)
get_target_property(_yyjson_include yyjson::yyjson INTERFACE_INCLUDE_DIRECTORIES)
find_file(_yyjson_header yyjson.h PATHS ${_yyjson_include} NO_DEFAULT_PATH REQUIRED)
file(STRINGS "${_yyjson_header}" _yyjson_version REGEX "^#define YYJSON_VERSION_STRING")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" yyjson_VERSION "${_yyjson_version}")
if(yyjson_VERSION VERSION_LESS 0.12 OR yyjson_VERSION VERSION_GREATER_EQUAL 0.13)
  message(FATAL_ERROR "orvik needs yyjson 0.12, found ${yyjson_VERSION} (${_yyjson_header}); run scripts/bootstrap")
endif()
message(STATUS "yyjson ${yyjson_VERSION}: ${_yyjson_header}")
