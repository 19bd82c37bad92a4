# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; tests run
# under qemu-aarch64 (qemu-user).
#
#   cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARVELO_CROSS_TRIPLET aarch64-linux-gnu)
set(TARVELO_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross.cmake)
