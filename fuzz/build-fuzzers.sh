#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ (or the directory given).
# Usage: fuzz/build-fuzzers.sh [build directory]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-fuzz}
bash scripts/install-deps.sh clang-14 libclang-rt-14-dev
# The decoded-size limit is lowered so that inputs claiming huge images stay fast
# and within libFuzzer's memory limit; the limit itself is tested by the test suite.
cmake -S . -B "$build_dir" -G Ninja \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DTARVELO_SANITIZER_RUNTIME_IN_EXECUTABLE=ON -DTARVELO_BUILD_FUZZERS=ON -DTARVELO_BUILD_TESTS=OFF -DTARVELO_BUILD_TOOLS=OFF \
  -DTARVELO_BUILD_EXAMPLES=OFF -DTARVELO_MAX_DECODED_PIXELS=4194304
cmake --build "$build_dir" -j "${JOBS:-2}" --target conversion_fuzzer writer_fuzzer narrow_path_fuzzer
