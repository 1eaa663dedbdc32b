# Sets `expected` to the names the version script EXPORTS_MAP exports (its
# "global:" entries): the one list the export checks of both platforms test
# the built library against.
if(NOT EXPORTS_MAP)
  message(FATAL_ERROR "EXPORTS_MAP (the library's version script) is not set")
endif()
file(READ "${EXPORTS_MAP}" _map)
string(REGEX MATCH "global:([^}]*)local:" _global "${_map}")
string(REGEX MATCHALL "orvik_[A-Za-z0-9_]+" expected "${CMAKE_MATCH_1}")
list(LENGTH expected _count)
if(_count EQUAL 0)
  message(FATAL_ERROR "no exported names found in ${EXPORTS_MAP}")
endif()
