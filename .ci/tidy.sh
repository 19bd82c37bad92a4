#!/usr/bin/env bash
# Runs clang-tidy (the repository's .clang-tidy) over the library and the tool.
# Usage: .ci/tidy.sh [BUILD_DIR, default build/release] (a configured build with
# compile_commands.json, e.g. after scripts/test.sh or `cmake --preset release`)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build/release}
command -v clang-tidy >/dev/null || bash scripts/install-deps.sh clang-tidy
mapfile -t sources < <(git ls-files -- 'src/*.cpp' 'tools/*.cpp' | grep -v -E '_windows\.cpp$|wince')
# stderr without the counts of suppressed warnings in headers, so what is left (a
# file that failed to compile, say) is shown.
quiet_counts() { grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' >&2 || true; }
printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build_dir" --quiet 2> >(quiet_counts)
# Windows CE's own files as its build sees them: UNDER_CE and a 16-bit wchar_t.
git ls-files -- 'src/*wince*.cpp' | xargs clang-tidy -p "$build_dir" --quiet --extra-arg=-DUNDER_CE \
  --extra-arg=-fshort-wchar 2> >(quiet_counts)
echo "clang-tidy: clean"
