# Cross-compiles for 32-bit ARM Linux (Debian's armhf: ARMv7, hard float, no NEON
# in the baseline, so the pixel routines are the portable ones) with Debian's
# g++-arm-linux-gnueabihf; tests run under qemu-arm (qemu-user).
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TARVELO_CROSS_TRIPLET arm-linux-gnueabihf)
set(TARVELO_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross.cmake)
