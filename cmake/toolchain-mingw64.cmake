# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
# The posix thread-model compilers are used: the win32 variant lacks std::thread and
# friends, which GoogleTest needs.
#
#   cmake --preset windows    (CMakePresets.json; or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVELO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVELO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVELO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVELO_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW tree only, never from the build machine;
# programs (python3, wine) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVELO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes (libgcc, libstdc++, winpthread) are linked statically, so
# that the DLL and the test programs need nothing but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Windows programs built here (the unit tests) run under Wine when CTest starts them.
find_program(TARVELO_WINE NAMES wine)
if(TARVELO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVELO_WINE})
endif()
