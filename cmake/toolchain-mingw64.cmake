# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
#
#   cmake --preset windows    (CMakePresets.json; or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARVELO_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)

# Windows programs built here (the unit tests) run under Wine when CTest starts them.
find_program(TARVELO_WINE NAMES wine)
if(TARVELO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVELO_WINE})
endif()
