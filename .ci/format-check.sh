#!/usr/bin/env bash
# Fails when a tracked C/C++ file is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || bash scripts/install-deps.sh clang-format
git ls-files -- '*.c' '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror
echo "formatting: clean"
