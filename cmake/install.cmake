# What `cmake --install` lays down: the public headers, the shared library
# with its SONAME links, a CMake package exporting orvik::orvik and a
# pkg-config file. Only the shared library is exported; the internal targets
# it is made from stay out of the package's link interface.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVIK_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/orvik"
    CACHE STRING "Where the CMake package files of orvik are installed, relative to the prefix")

# liborvik needs libyyjson.so.0 when a program using it is linked and run.
# When yyjson is not in a directory the linker and loader search anyway (the
# .deps prefix of scripts/bootstrap), the installed library carries the
# directory it was linked from as its run path, which both consult.
get_target_property(_orvik_yyjson_configs yyjson::yyjson IMPORTED_CONFIGURATIONS)
set(_orvik_yyjson_file "")
foreach(_config IN LISTS _orvik_yyjson_configs)
  get_target_property(_orvik_yyjson_file yyjson::yyjson IMPORTED_LOCATION_${_config})
  if(_orvik_yyjson_file)
    break()
  endif()
endforeach()
if(NOT _orvik_yyjson_file)
  get_target_property(_orvik_yyjson_file yyjson::yyjson IMPORTED_LOCATION)
endif()
if(_orvik_yyjson_file)
  get_filename_component(_orvik_yyjson_dir "${_orvik_yyjson_file}" DIRECTORY)
  if(NOT _orvik_yyjson_dir IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES AND
     NOT _orvik_yyjson_dir IN_LIST CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES)
    set_property(TARGET orvik APPEND PROPERTY INSTALL_RPATH "${_orvik_yyjson_dir}")
  endif()
endif()

install(TARGETS orvik EXPORT orvikTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT orvik_Runtime
          NAMELINK_COMPONENT orvik_Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT orvik_Runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT orvik_Development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/orvik.h ${PROJECT_BINARY_DIR}/include/orvik_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT orvik_Development)

install(EXPORT orvikTargets NAMESPACE orvik::
  DESTINATION ${ORVIK_INSTALL_CMAKEDIR} COMPONENT orvik_Development)

# The consumer's find_package looks here first for yyjson, so it links the
# same yyjson the library was built against; a stale path is simply skipped.
set(ORVIK_YYJSON_HINT "${yyjson_DIR}")
get_target_property(_orvik_yyjson_imported yyjson::yyjson IMPORTED)
if(_orvik_yyjson_imported)
  set(ORVIK_SHARED_YYJSON TRUE)
else()
  set(ORVIK_SHARED_YYJSON FALSE)
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/orvikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orvikConfig.cmake
  INSTALL_DESTINATION ${ORVIK_INSTALL_CMAKEDIR})
# 0.x releases promise nothing across minor versions in general, but orvik
# keeps its twelve functions stable within a major version, as its SONAME does.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvikConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvikConfig.cmake ${PROJECT_BINARY_DIR}/orvikConfigVersion.cmake
  DESTINATION ${ORVIK_INSTALL_CMAKEDIR} COMPONENT orvik_Development)

# pkg-config: every path relative to the .pc file, so the prefix can move.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ORVIK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ORVIK_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(ORVIK_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH _orvik_pc_up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" _orvik_pc_up "${_orvik_pc_up}")
  set(ORVIK_PC_PREFIX "\${pcfiledir}/${_orvik_pc_up}")
  set(ORVIK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(ORVIK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/orvik.pc.in ${PROJECT_BINARY_DIR}/orvik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvik.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT orvik_Development)
