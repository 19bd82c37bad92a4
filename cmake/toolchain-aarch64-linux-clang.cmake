# Cross-compiles for 64-bit ARM Linux with Debian's clang 14 and lld; the C and C++
# libraries come from the cross g++ (g++-aarch64-linux-gnu), which clang finds.
#
#   cmake --preset aarch64-clang
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARVELO_CROSS_TRIPLET aarch64-linux-gnu)
set(TARVELO_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross.cmake)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${TARVELO_CROSS_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${TARVELO_CROSS_TRIPLET})
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld")
