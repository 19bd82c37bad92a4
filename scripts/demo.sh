#!/usr/bin/env bash
# Installs the dependencies, builds the library and the tool, makes a sample image
# and converts it to TGA and BMP. Usage: scripts/demo.sh [output directory, default demo]
set -euo pipefail
cd "$(dirname "$0")/.."

out_dir=${1:-demo}
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELO_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"
mkdir -p "$out_dir"
build/examples/tarvelo-make-sample "$out_dir/sample.png"
build/tools/tarvelo-convert/tarvelo-convert "$out_dir/sample.png" "$out_dir/sample.tga"
build/tools/tarvelo-convert/tarvelo-convert "$out_dir/sample.png" "$out_dir/sample.bmp"
build/examples/tarvelo-example-c "$out_dir/sample.png" "$out_dir/sample-from-c.bmp"
ls -l "$out_dir"
