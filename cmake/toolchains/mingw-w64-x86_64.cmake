# Cross-compiles orvik for 64-bit Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-x86-64), posix threads variant:
#   cmake -S . -B build-windows --toolchain cmake/toolchains/mingw-w64-x86_64.cmake
# Test programs run under Wine when its loader is installed; scripts/test-windows
# does all of this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_orvik_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_orvik_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_orvik_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_orvik_mingw}-windres)

# Headers, libraries and packages come from the target's sysroot only, so
# nothing built for Linux is picked up by mistake; programs run on the build
# machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_orvik_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL carry their own copy of the GCC, C++ and
# winpthread runtimes, so nothing but system DLLs has to sit beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# CTest runs the Windows programs through Wine: quiet, without a display, in
# a prefix of the build tree's own. Mono and Gecko are switched off because
# installing them is what would make the first start slow and interactive.
find_program(ORVIK_WINE_LOADER NAMES wine64 wine PATHS /usr/lib/wine
  DOC "Wine loader that runs the cross-built test programs")
if(ORVIK_WINE_LOADER AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wine
      WINEDLLOVERRIDES=mscoree,mshtml= ${ORVIK_WINE_LOADER})
endif()
