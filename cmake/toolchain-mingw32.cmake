# Cross-compiles for 32-bit Windows (x86, PE32) with Debian's MinGW-w64
# (g++-mingw-w64-i686-posix). The i686 baseline has no SSE2, so the pixel routines
# are the portable ones.
#
#   cmake -S . -B build-windows32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TARVELO_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)

# The tests run under 32-bit Wine through the wrapper that scripts/wine32.sh sets
# up (the build machine's kernel may not start 32-bit x86 programs itself), given
# as TARVELO_WINE32, else not at all.
if(DEFINED ENV{TARVELO_WINE32})
  set(CMAKE_CROSSCOMPILING_EMULATOR $ENV{TARVELO_WINE32})
endif()
