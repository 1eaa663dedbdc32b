# Reads the dynamic symbol table of LIBRARY and fails unless the defined
# function symbols are exactly the twelve orvik_ functions.
set(expected
  orvik_append orvik_clear orvik_create orvik_free orvik_get_label_names
  orvik_get_label_values orvik_ingest_snapshot_json orvik_last_error orvik_query
  orvik_query_range orvik_series_count orvik_total_samples)
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(exported "")
foreach(line IN LISTS lines)
  # Functions (T/W/i); the version-script node symbol is an absolute (A) one.
  if(line MATCHES "^[0-9a-f]+ [TtWwi] (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[0-9a-f]+ [BDRV] (.+)$")
    message(FATAL_ERROR "exported data symbol: ${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exported functions differ\n  expected: ${expected}\n  found:    ${exported}")
endif()
message(STATUS "exports: ${exported}")
