#!/usr/bin/env bash
# The Python package: installs Debian's Python packages, builds the shared library
# (or reuses BUILD_DIR), installs the package into a virtual environment exactly as
# docs/python.md says, and runs its pytest suite, the two-process Dask cluster tests
# included, against the installed package.
# Usage: .ci/python.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

bash scripts/install-deps.sh python3 python3-venv python3-pip python3-setuptools python3-wheel \
  python3-numpy python3-pytest python3-dask python3-distributed

build_dir=${1:-}
if [ -z "$build_dir" ] || [ ! -f "$build_dir/CMakeCache.txt" ]; then
  build_dir=build-python
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELO_WERROR=ON \
        -DTARVELO_BUILD_TESTS=OFF -DTARVELO_BUILD_TOOLS=OFF -DTARVELO_BUILD_EXAMPLES=OFF \
        -DTARVELO_BUILD_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build_dir" --target TarveloImageTGA
build_dir=$(cd "$build_dir" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Debian's own interpreter, so that its numpy, dask and distributed are seen.
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-build-isolation --no-index ./python
# pip builds in the source folder; leave it as it was.
rm -rf python/build python/*.egg-info
# The installed package's metadata carries the project version (tarvelo/_version.py).
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
package_version=$("$work/venv/bin/python" -c 'import importlib.metadata as m; print(m.version("tarvelo"))')
[ "$package_version" = "$project_version" ] ||
  { echo "the package's version is $package_version, the project's $project_version" >&2; exit 1; }

export TARVELO_LIBRARY="$build_dir"
export TARVELO_TEST_REQUIRE_ALL=1
cd python/tests # not python/: the installed package is imported, not the source folder
"$work/venv/bin/python" -c 'import tarvelo; print("tarvelo", tarvelo.__version__, "from", tarvelo.__file__, "library", tarvelo.library_path())'
status=0
"$work/venv/bin/python" -m pytest -p no:cacheprovider -q -rs --durations=5 . || status=$?
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests: the suite was not found" >&2
  exit 1
fi
echo "python: $(($(date +%s) - started)) s"
exit "$status"
