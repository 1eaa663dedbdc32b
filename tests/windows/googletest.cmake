# GoogleTest for a Windows build: the installed package where there is one
# (a native toolchain's), otherwise built here from the sources Debian's
# googletest package installs, as a cross build has no package of the target.
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  set(ORVIK_GOOGLETEST_SOURCE_DIR /usr/src/googletest
      CACHE PATH "GoogleTest sources built for the Windows tests")
  if(NOT EXISTS ${ORVIK_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${ORVIK_GOOGLETEST_SOURCE_DIR}; run scripts/bootstrap-windows")
  endif()
  set(BUILD_GMOCK OFF)
  set(INSTALL_GTEST OFF)
  add_subdirectory(${ORVIK_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
