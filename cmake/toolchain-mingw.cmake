# Shared part of the MinGW-w64 toolchain files (toolchain-mingw64.cmake for 64-bit
# Windows, toolchain-mingw32.cmake for 32-bit): Debian's compilers for
# TARVELO_MINGW_TRIPLET. The posix thread-model compilers are used: the win32
# variant lacks std::thread and friends, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)

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
