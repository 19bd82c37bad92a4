#!/usr/bin/env bash
# Times tarvelo-convert against the decoder alone and against ImageMagick,
# GraphicsMagick, vips, Pillow and stb_image_write (see bench/compare.py), and
# prints the table. Installs the peers and the build dependencies from Debian,
# builds in build-bench/ (Release) and installs into build-bench/stage, so that the
# tool runs as installed (no build-tree library search path); makes its own inputs
# there once.
#
# Usage: bash bench/compare.sh [--quick] [compare.py options, e.g. --reps 3]
#   --quick   one repetition instead of five (about a fifth of the time)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${TARVELO_BENCH_BUILD_DIR:-build-bench}
options=()
for argument in "$@"; do
  if [ "$argument" = "--quick" ]; then
    options+=(--reps 1)
  else
    options+=("$argument")
  fi
done

bash scripts/install-deps.sh imagemagick graphicsmagick libvips-tools python3-pil python3
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELO_BUILD_TESTS=OFF \
  -DTARVELO_BUILD_EXAMPLES=OFF -DTARVELO_INSTALL=ON -DTARVELO_BUILD_BENCHMARKS=ON \
  -DCMAKE_INSTALL_LIBDIR=lib '-DCMAKE_INSTALL_RPATH=$ORIGIN/../lib'
cmake --build "$build_dir" -j "$(nproc)"
stage=$(cd "$build_dir" && pwd)/stage
cmake --install "$build_dir" --prefix "$stage" >/dev/null
exec /usr/bin/python3 bench/compare.py --build "$build_dir" --tool "$stage/bin/tarvelo-convert" "${options[@]}"
