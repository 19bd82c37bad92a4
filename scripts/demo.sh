#!/usr/bin/env bash
# Installs the dependencies, builds the library, the tool and the examples (the
# release preset, into build/release), makes a sample image and converts it to TGA
# and BMP. Usage: scripts/demo.sh [output directory, default demo]
set -euo pipefail
cd "$(dirname "$0")/.."

out_dir=${1:-demo}
build_dir=build/release
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tarvelo-convert tarvelo-make-sample tarvelo-example-c
mkdir -p "$out_dir"
"$build_dir"/examples/tarvelo-make-sample "$out_dir/sample.png"
"$build_dir"/tools/tarvelo-convert/tarvelo-convert "$out_dir/sample.png" "$out_dir/sample.tga"
"$build_dir"/tools/tarvelo-convert/tarvelo-convert "$out_dir/sample.png" "$out_dir/sample.bmp"
"$build_dir"/examples/tarvelo-example-c "$out_dir/sample.png" "$out_dir/sample-from-c.bmp"
ls -l "$out_dir"
