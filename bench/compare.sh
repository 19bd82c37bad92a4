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
# Usage: bash bench/compare.sh [--quick] [--baseline REV] [compare.py options, e.g. --reps 3]
#   --quick         one repetition instead of five (about a fifth of the time)
#   --baseline REV  also times the tool built from commit REV (in build/bench-baseline,
#                   kept for the next run), beside this tree's, in the single and small sections
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/bench
command="bash bench/compare.sh${*:+ $*}"
options=()
baseline=""
while [ "$#" -gt 0 ]; do
  case "$1" in
    --quick) options+=(--reps 1) ;;
    --baseline) baseline=${2:?--baseline needs a commit}; shift ;;
    *) options+=("$1") ;;
  esac
  shift
done

bash scripts/install-deps.sh imagemagick graphicsmagick libvips-tools python3-pil python3 \
  g++-mingw-w64-x86-64-posix wine wine64
cmake --preset bench
cmake --build --preset bench -j "$(nproc)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target tarvelo-convert
stage=$(cd "$build_dir" && pwd)/stage
cmake --install "$build_dir" --prefix "$stage" >/dev/null
if [ -n "$baseline" ]; then
  # The earlier tool, built the same way from a checkout of its own; one already
  # built from that commit is used again.
  baseline_dir=$PWD/build/bench-baseline
  wanted=$(git rev-parse --verify "$baseline^{commit}")
  if [ "$(git -C "$baseline_dir/source" rev-parse HEAD 2>/dev/null)" != "$wanted" ] ||
    [ ! -x "$baseline_dir/stage/bin/tarvelo-convert" ]; then
    rm -rf "$baseline_dir/source" "$baseline_dir/stage"
    git worktree prune
    git worktree add --detach "$baseline_dir/source" "$wanted" >/dev/null
    (cd "$baseline_dir/source" && cmake --preset bench >/dev/null &&
      cmake --build --preset bench -j "$(nproc)" &&
      cmake --install build/bench --prefix "$baseline_dir/stage" >/dev/null)
  fi
  options+=(--baseline-tool "$baseline_dir/stage/bin/tarvelo-convert")
fi
TARVELO_BENCH_COMMAND="$command" \
  exec /usr/bin/python3 bench/compare.py --build "$build_dir" --tool "$stage/bin/tarvelo-convert" \
  --windows-tool "$PWD/build/windows/bin/tarvelo-convert.exe" "${options[@]}"
