#!/usr/bin/env bash
# Sanitizer jobs, with clang 14:
#   1. the whole test suite (fuzz corpus replays included) under AddressSanitizer
#      and UndefinedBehaviorSanitizer, any report fatal;
#   2. the concurrency tests (CTest names matching "Concurren") under
#      ThreadSanitizer.
# Usage: .ci/sanitizers.sh [asan|tsan|all]   (default all)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
jobs=$(nproc)
bash scripts/install-deps.sh clang-14 libclang-rt-14-dev

# The sanitizer runtime is linked into the executables, its C++ part (and the C++
# library it needs) into the C example too; the shared library leaves the runtime's
# symbols to them.
configure() {  # build-dir, sanitizer flags
  local link="$2 -fsanitize-link-c++-runtime -lstdc++"
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVELO_WERROR=ON \
    -DTARVELO_SANITIZER_RUNTIME_IN_EXECUTABLE=ON \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_C_FLAGS="$2 -O1 -fno-omit-frame-pointer" -DCMAKE_CXX_FLAGS="$2 -O1 -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="$link" -DCMAKE_SHARED_LINKER_FLAGS="$link" >/dev/null
}

if [ "$which" = all ] || [ "$which" = asan ]; then
  echo "--- address + undefined: whole test suite"
  configure build-asan "-fsanitize=address,undefined -fno-sanitize-recover=all"
  cmake --build build-asan -j "$jobs"
  # Left out: the export-table and consumer tests, which inspect the shared library
  # or link it into uninstrumented programs as users get it (instrumentation adds
  # the runtime's symbols), and the tool's isolation tests, run next.
  asan_options=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE consumer -E '^(exports|Isolation)\.'
  # The isolation tests crash a worker on purpose and expect it to die of that
  # signal: AddressSanitizer must not catch it first.
  ASAN_OPTIONS=$asan_options:handle_segv=0:handle_abort=0:handle_sigbus=0:handle_sigfpe=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -R '^Isolation\.'
fi

if [ "$which" = all ] || [ "$which" = tsan ]; then
  echo "--- thread: concurrency tests"
  configure build-tsan "-fsanitize=thread"
  cmake --build build-tsan -j "$jobs"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R 'Concurren' --no-tests=error
fi
