# Configures, builds and runs an outside CMake project against the orvik
# installed in PREFIX, the way a user would: only CMAKE_PREFIX_PATH points at
# it. The program's output must match EXPECT.
# Inputs: SOURCE_DIR, BINARY_DIR, PREFIX, PROGRAM, EXPECT, GENERATOR,
#   C_COMPILER, BUILD_TYPE, FLAGS (compile and link flags, e.g. sanitizers),
#   ARGS (program arguments, a list).
file(REMOVE_RECURSE "${BINARY_DIR}")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(configure "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
  "-DCMAKE_PREFIX_PATH=${PREFIX}"
  "-DCMAKE_C_COMPILER=${C_COMPILER}"
  "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
  "-DCMAKE_C_FLAGS=${FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)

# The package must be the installed one, not some other copy.
file(STRINGS "${BINARY_DIR}/CMakeCache.txt" found_dir REGEX "^orvik_DIR:")
string(REGEX REPLACE "^[^=]*=" "" found_dir "${found_dir}")
file(REAL_PATH "${PREFIX}" real_prefix)
file(REAL_PATH "${found_dir}" real_found)
string(FIND "${real_found}" "${real_prefix}/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "orvik was found in ${found_dir}, not under ${PREFIX}")
endif()

run(build "${CMAKE_COMMAND}" --build "${BINARY_DIR}")
run("${PROGRAM}" "${BINARY_DIR}/${PROGRAM}" ${ARGS})
if(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "${PROGRAM} printed:\n${out}\nwhich does not match: ${EXPECT}")
endif()
message(STATUS "${PROGRAM}:\n${out}")
