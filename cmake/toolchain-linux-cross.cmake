# Shared part of the ARM Linux toolchain files: Debian's cross compilers for
# TARVELO_CROSS_TRIPLET, the target's libraries from its multiarch tree, and the
# test programs run through qemu-user with that tree as their root for the
# dynamic loader and the C library.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${TARVELO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVELO_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVELO_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config answers for the build machine; the target's headers that the project
# uses (stb, CLI11) are header-only and found in /usr/include as before.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TARVELO_CROSS_TRIPLET}/pkgconfig)

find_program(TARVELO_QEMU NAMES ${TARVELO_QEMU_NAME})
if(TARVELO_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVELO_QEMU} -L /usr/${TARVELO_CROSS_TRIPLET})
endif()
