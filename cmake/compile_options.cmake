# Flags every orvik target links through interface targets, never globally.
add_library(orvik_warnings INTERFACE)
target_compile_features(orvik_warnings INTERFACE cxx_std_17 c_std_11)
target_compile_options(orvik_warnings INTERFACE -Wall -Wextra -Werror -Wshadow -Wformat=2)

add_library(orvik_sanitizers INTERFACE)
if(ORVIK_SANITIZE)
  target_compile_options(orvik_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(orvik_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
if(ORVIK_FUZZ)
  # The library itself must carry coverage instrumentation, or libFuzzer
  # would only see the few edges of each harness.
  target_compile_options(orvik_sanitizers INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  target_link_options(orvik_sanitizers INTERFACE -fsanitize=address,undefined)
endif()

# Line and branch coverage for scripts/coverage (gcov format, read by gcovr).
option(ORVIK_COVERAGE "Build everything with gcov coverage instrumentation" OFF)
if(ORVIK_COVERAGE)
  target_compile_options(orvik_sanitizers INTERFACE --coverage)
  target_link_options(orvik_sanitizers INTERFACE --coverage)
endif()
