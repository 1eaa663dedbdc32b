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
