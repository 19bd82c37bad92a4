#!/usr/bin/env bash
# Regenerates the seed corpus in fuzz/corpus/ from the project's own source
# builders (regression inputs stay). Usage: fuzz/make-seed-corpus.sh [build directory]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-seeds}
bash scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}" --target tarvelo-make-seed-corpus
"$build_dir/fuzz/tarvelo-make-seed-corpus" fuzz/corpus
