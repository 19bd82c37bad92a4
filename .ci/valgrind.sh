#!/usr/bin/env bash
# Valgrind memcheck over end-to-end conversions: every file of the conversion
# corpus (valid sources of every format, each hostile class, every regression
# input) converted to both layouts, and the guard's same-pixels and refusal tests.
# Fails on any memcheck error, above all "write(buf) points to uninitialised
# byte(s)": an uninitialised byte written to an output file.
# Usage: .ci/valgrind.sh [build directory]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-valgrind}
bash scripts/install-deps.sh valgrind
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVELO_BUILD_TOOLS=OFF \
  -DTARVELO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target conversion_replay memory_replay tarvelo_guard_tests
memcheck=(valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes --leak-check=full
          --errors-for-leak-kinds=definite --show-leak-kinds=definite --trace-children=no -q)
echo "--- memcheck: conversion corpus, both layouts"
"${memcheck[@]}" "$build_dir/fuzz/conversion_replay" fuzz/corpus/conversion
echo "--- memcheck: memory entry points corpus"
"${memcheck[@]}" "$build_dir/fuzz/memory_replay" fuzz/corpus/memory
echo "--- memcheck: guard tests (the forking resource-limit tests excluded)"
"${memcheck[@]}" "$build_dir/tests/guard/tarvelo_guard_tests" \
  --gtest_filter='SamePixels.*:Guard/HostileSourceTest.StatusApi*:Guard/HostileSourceTest.Exports*'
echo "memcheck: clean"
