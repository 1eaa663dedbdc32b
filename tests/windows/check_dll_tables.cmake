# Reads the export and import tables of DLL with OBJDUMP and fails unless it
# exports exactly the twelve orvik_ functions by name and imports from system
# DLLs only (no GCC, C++ or threads runtime DLL has to ship beside it).
set(expected
  orvik_append orvik_clear orvik_create orvik_free orvik_get_label_names
  orvik_get_label_values orvik_ingest_snapshot_json orvik_last_error orvik_query
  orvik_query_range orvik_series_count orvik_total_samples)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${DLL}")
endif()
string(REPLACE "\n" ";" lines "${out}")

set(exported "")
set(imported "")
set(in_names OFF)
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_names ON)
  elseif(in_names AND line MATCHES "^\t\\[ *[0-9]+\\] (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  elseif(in_names)
    set(in_names OFF)
  endif()
  if(line MATCHES "^\tDLL Name: (.+)$")
    list(APPEND imported "${CMAKE_MATCH_1}")
  endif()
endforeach()

list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exported names differ\n  expected: ${expected}\n  found:    ${exported}")
endif()
foreach(name IN LISTS imported)
  string(TOLOWER "${name}" lower)
  if(NOT lower MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
    message(FATAL_ERROR "imports from a DLL that is not part of Windows: ${name} (all: ${imported})")
  endif()
endforeach()
message(STATUS "exports: ${exported}")
message(STATUS "imports: ${imported}")
