# Cross-compiles for 64-bit ARM Windows with clang 14 and the sysroot built by
# scripts/windows-arm-sysroot.sh aarch64. Test programs run under arm64 Wine through
# qemu-aarch64 when TARVELO_WINE_ARM64 names its wrapper (scripts/wine-arm64.sh);
# .ci/windows-arm.sh runs the DLL host test that way.
#
#   cmake --preset windows-arm64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARVELO_WINDOWS_ARM_TRIPLET aarch64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-windows-arm.cmake)

if(DEFINED ENV{TARVELO_WINE_ARM64})
  set(CMAKE_CROSSCOMPILING_EMULATOR $ENV{TARVELO_WINE_ARM64})
endif()
