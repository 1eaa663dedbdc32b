# Builds consumer.c against the orvik installed in PREFIX with nothing but
# the flags pkg-config gives, after moving the installation elsewhere: the
# .pc file must find its prefix from its own location. Then runs it.
# Inputs: SOURCE, PREFIX, WORK_DIR, LIBDIR, PKG_CONFIG, C_COMPILER, FLAGS.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(moved "${WORK_DIR}/moved-prefix")
# file(COPY) keeps the SONAME links as links.
file(COPY "${PREFIX}/" DESTINATION "${moved}")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# PKG_CONFIG_LIBDIR replaces the default search path, so no system orvik.pc
# can answer instead.
set(pkg "${CMAKE_COMMAND}" -E env "PKG_CONFIG_LIBDIR=${moved}/${LIBDIR}/pkgconfig" "${PKG_CONFIG}")
run(pkg-config ${pkg} --cflags --libs orvik)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
string(FIND "${out}" "${moved}/" at)
if(at EQUAL -1)
  message(FATAL_ERROR "pkg-config flags do not point into the moved prefix: ${out}")
endif()
run(pkg-config ${pkg} --modversion orvik)
set(version "${out}")

separate_arguments(extra UNIX_COMMAND "${FLAGS}")
run(compile "${C_COMPILER}" ${extra} "-DEXPECTED_VERSION=\"${version}\"" "${SOURCE}"
  -o "${WORK_DIR}/consumer" ${pc_flags})
# A prefix outside the loader's search path is made known the usual way.
run(consumer "${CMAKE_COMMAND}" -E env "LD_LIBRARY_PATH=${moved}/${LIBDIR}" "${WORK_DIR}/consumer")
if(NOT out MATCHES "consumer: orvik ${version} works")
  message(FATAL_ERROR "consumer printed: ${out}")
endif()
message(STATUS "${out}")
