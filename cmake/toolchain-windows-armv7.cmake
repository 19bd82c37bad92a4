# Cross-compiles for 32-bit ARM Windows (ARMv7, Thumb-2) with clang 14 and the
# sysroot built by scripts/windows-arm-sysroot.sh armv7. Nothing runs the test
# programs: the DLL's image is checked from the build machine (docs/platforms.md).
#
#   cmake --preset windows-armv7
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(TARVELO_WINDOWS_ARM_TRIPLET armv7-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-windows-arm.cmake)
