#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14, AddressSanitizer and
# UndefinedBehaviorSanitizer (the fuzz preset) into build/fuzz/. The preset lowers
# the decoded-size limit so that inputs claiming huge images stay fast and within
# libFuzzer's memory limit; the limit itself is tested by the test suite.
# Usage: fuzz/build-fuzzers.sh   (JOBS=N for N parallel compiles, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh clang-14 libclang-rt-14-dev
cmake --preset fuzz
cmake --build --preset fuzz -j "${JOBS:-2}"
