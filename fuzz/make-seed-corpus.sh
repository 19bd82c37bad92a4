#!/usr/bin/env bash
# Regenerates the seed corpus in fuzz/corpus/ from the project's own source
# builders (regression inputs stay), built with the release preset into
# build/release. Usage: fuzz/make-seed-corpus.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "${JOBS:-2}" --target tarvelo-make-seed-corpus
build/release/fuzz/tarvelo-make-seed-corpus fuzz/corpus
