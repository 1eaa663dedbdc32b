# Flags every orvik target links through interface targets, never globally.
add_library(orvik_warnings INTERFACE)
target_compile_features(orvik_warnings INTERFACE cxx_std_17 c_std_11)
target_compile_options(orvik_warnings INTERFACE -Wall -Wextra -Werror -Wshadow -Wformat=2)

# Instrumentation chosen by the options of the top-level CMakeLists.txt:
# sanitizers, libFuzzer's coverage hooks, or gcov counters.
add_library(orvik_instrumentation INTERFACE)
if(ORVIK_SANITIZE)
  target_compile_options(orvik_instrumentation INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(orvik_instrumentation INTERFACE -fsanitize=address,undefined)
endif()
if(ORVIK_FUZZ)
  # The library itself must carry coverage instrumentation, or libFuzzer
  # would only see the few edges of each harness.
  target_compile_options(orvik_instrumentation INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  target_link_options(orvik_instrumentation INTERFACE -fsanitize=address,undefined)
endif()
# Line and branch coverage for scripts/coverage (gcov format, read by gcovr).
if(ORVIK_COVERAGE)
  target_compile_options(orvik_instrumentation INTERFACE --coverage)
  target_link_options(orvik_instrumentation INTERFACE --coverage)
endif()
# The earlier name, still linked by the host programs' build.
add_library(orvik_sanitizers ALIAS orvik_instrumentation)
