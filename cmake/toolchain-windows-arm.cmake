# Shared part of the ARM Windows toolchain files (toolchain-windows-arm64.cmake,
# toolchain-windows-armv7.cmake): Debian's clang 14 and lld for
# TARVELO_WINDOWS_ARM_TRIPLET, with the sysroot that scripts/windows-arm-sysroot.sh
# builds from Debian's source packages (mingw-w64 C runtime, compiler-rt, libunwind,
# libc++). The sysroot is found through TARVELO_WINDOWS_ARM_SYSROOT or the link
# the script keeps in its cache.
set(CMAKE_SYSTEM_NAME Windows)

if(DEFINED ENV{TARVELO_WINDOWS_ARM_SYSROOT})
  set(TARVELO_WINDOWS_ARM_SYSROOT $ENV{TARVELO_WINDOWS_ARM_SYSROOT})
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(TARVELO_WINDOWS_ARM_SYSROOT $ENV{XDG_CACHE_HOME}/tarvelo-toolchains/${TARVELO_WINDOWS_ARM_TRIPLET})
else()
  set(TARVELO_WINDOWS_ARM_SYSROOT $ENV{HOME}/.cache/tarvelo-toolchains/${TARVELO_WINDOWS_ARM_TRIPLET})
endif()
set(_tarvelo_bin ${TARVELO_WINDOWS_ARM_SYSROOT}/bin/${TARVELO_WINDOWS_ARM_TRIPLET})
if(NOT EXISTS ${_tarvelo_bin}-clang++)
  message(FATAL_ERROR "No ${TARVELO_WINDOWS_ARM_TRIPLET} sysroot at ${TARVELO_WINDOWS_ARM_SYSROOT}: "
                      "run scripts/windows-arm-sysroot.sh ${CMAKE_SYSTEM_PROCESSOR}")
endif()

set(CMAKE_C_COMPILER ${_tarvelo_bin}-clang)
set(CMAKE_CXX_COMPILER ${_tarvelo_bin}-clang++)
# llvm-windres takes its target (the resource object's machine) from its name.
set(CMAKE_RC_COMPILER ${_tarvelo_bin}-windres)
set(CMAKE_AR ${_tarvelo_bin}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_tarvelo_bin}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH ${TARVELO_WINDOWS_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The system DLLs that programs link by default: those the sysroot has import
# libraries for (CMake's list also names some it does not build).
set(CMAKE_C_STANDARD_LIBRARIES "-lkernel32 -luser32 -lgdi32 -lshell32 -lole32 -luuid -ladvapi32" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "${CMAKE_C_STANDARD_LIBRARIES}" CACHE STRING "")

# The sysroot has static runtimes only; -static keeps it that way if that changes,
# so the DLL and the test programs need nothing but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
unset(_tarvelo_bin)
