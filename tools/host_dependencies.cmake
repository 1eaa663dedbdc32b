# The host program's own dependencies: Boost's header-only Beast and Asio,
# zlib (gzip answers), OpenSSL (TLS connections, and SHA-256 for the
# credential cache), yaml-cpp (the web configuration file), libcrypt (bcrypt
# through crypt_r), RE2 (regular expressions in queries), CLI11, and for
# remote write protobuf (with protoc) and snappy. Both tools/ and tests/tools/
# include this; the library needs none of them. Sets
# ORVIK_HOST_DEPENDENCIES_FOUND. The program reads Linux's /proc and uses
# POSIX signals, so other systems (the Windows cross build) go without.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(ORVIK_HOST_DEPENDENCIES_FOUND FALSE)
  return()
endif()
if(NOT TARGET Boost::headers)
  find_package(Boost 1.74 QUIET)
endif()
if(NOT TARGET ZLIB::ZLIB)
  find_package(ZLIB QUIET)
endif()
if(NOT TARGET OpenSSL::SSL)
  find_package(OpenSSL QUIET)
endif()
find_package(PkgConfig QUIET)
foreach(module re2 libcrypt)
  if(PkgConfig_FOUND AND NOT TARGET PkgConfig::${module})
    pkg_check_modules(${module} QUIET IMPORTED_TARGET GLOBAL ${module})
  endif()
endforeach()
# Packages whose config files make their targets local to the directory
# that found them: made global, since both tools/ and tests/tools/ link
# them. A macro, not a function, so the variables the packages set (protoc's
# path among them) stay visible here.
macro(orvik_find_global target)
  if(NOT TARGET ${target})
    find_package(${ARGN} QUIET)
    if(TARGET ${target})
      set_target_properties(${target} PROPERTIES IMPORTED_GLOBAL TRUE)
    endif()
  endif()
endmacro()
orvik_find_global(yaml-cpp yaml-cpp CONFIG)
orvik_find_global(CLI11::CLI11 CLI11 CONFIG)
orvik_find_global(protobuf::libprotobuf Protobuf)
orvik_find_global(Snappy::snappy Snappy CONFIG)
find_package(Threads REQUIRED)
if(TARGET Boost::headers AND TARGET ZLIB::ZLIB AND TARGET OpenSSL::SSL AND TARGET CLI11::CLI11
   AND TARGET PkgConfig::libcrypt AND TARGET yaml-cpp AND TARGET PkgConfig::re2 AND TARGET protobuf::libprotobuf
   AND Protobuf_PROTOC_EXECUTABLE AND TARGET Snappy::snappy)
  set(ORVIK_HOST_DEPENDENCIES_FOUND TRUE)
else()
  set(ORVIK_HOST_DEPENDENCIES_FOUND FALSE)
endif()
