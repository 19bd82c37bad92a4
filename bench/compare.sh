#!/usr/bin/env bash
# Times tarvelo-convert against the decoder alone and against ImageMagick,
# GraphicsMagick, vips, Pillow and stb_image_write (see bench/compare.py), and
# prints the tables, which bench/compare.py also records in bench/RESULTS.md with
# the date, the machine and this command. Installs the peers and the build
# dependencies from Debian, builds with the bench preset in build/bench/ (Release)
# and installs into build/bench/stage, so that the tool runs as installed (no
# build-tree library search path); makes its own inputs there once. The Windows
# tool (windows preset, build/windows) is built too and timed under Wine.
#
# Usage: bash bench/compare.sh [--quick] [compare.py options, e.g. --reps 3]
#   --quick   one repetition instead of five (about a fifth of the time)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/bench
options=()
for argument in "$@"; do
  if [ "$argument" = "--quick" ]; then
    options+=(--reps 1)
  else
    options+=("$argument")
  fi
done

bash scripts/install-deps.sh imagemagick graphicsmagick libvips-tools python3-pil python3 \
  g++-mingw-w64-x86-64-posix wine wine64
cmake --preset bench
cmake --build --preset bench -j "$(nproc)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target tarvelo-convert
stage=$(cd "$build_dir" && pwd)/stage
cmake --install "$build_dir" --prefix "$stage" >/dev/null
TARVELO_BENCH_COMMAND="bash bench/compare.sh${*:+ $*}" \
  exec /usr/bin/python3 bench/compare.py --build "$build_dir" --tool "$stage/bin/tarvelo-convert" \
  --windows-tool "$PWD/build/windows/bin/tarvelo-convert.exe" "${options[@]}"
