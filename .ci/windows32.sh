#!/usr/bin/env bash
# 32-bit Windows job: cross-builds the i686 DLL, the tool and the tests with
# warnings as errors, checks the PE32 image from Linux, and runs the test
# programs (all but two, docs/platforms.md) under 32-bit Wine, whose loader runs
# under qemu-i386 (scripts/wine32.sh), in one Wine session. Prints the job's time,
# and each test's.
# Builds through the windows32 preset, into build/windows32. Usage: .ci/windows32.sh
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

build_dir=build/windows32
bash scripts/install-deps.sh g++-mingw-w64-i686-posix googletest python3-pefile
# 32-bit Wine needs Debian's i386 libraries at exactly the versions of the installed
# amd64 ones. When the mirror cannot serve them (an i386 index of the security suite
# that fails to download leaves apt unable to resolve), the job still builds
# everything and checks the DLL image, says so, and runs no test; any other failure
# of the set-up fails the job.
mkdir -p "$build_dir"
if wine32=$(bash scripts/wine32.sh "$build_dir/wine32" 2>"$build_dir/wine32-setup.log"); then
  cat "$build_dir/wine32-setup.log" >&2
elif grep -q -E 'generated breaks|not going to be installed|has no installation candidate' "$build_dir/wine32-setup.log"; then
  tail -n 5 "$build_dir/wine32-setup.log" >&2
  echo "windows32 job: 32-bit Wine cannot be installed from this mirror now; the tests are built, not run" >&2
  wine32=""
else
  cat "$build_dir/wine32-setup.log" >&2
  exit 1
fi
if [ -n "$wine32" ]; then
  export TARVELO_WINE32=$wine32
fi
cmake --preset windows32 >/dev/null
cmake --build --preset windows32 -j "$(nproc)"
echo "windows32 job: built in $((SECONDS - started)) s"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
/usr/bin/python3 tests/windows/check_dll_image.py "$build_dir/bin/TarveloImageTGA.dll" "$version" i686

if [ -z "$wine32" ]; then
  echo "windows32 job: built and checked in $((SECONDS - started)) s; NOT RUN under Wine (see above)"
  exit 0
fi
trap 'WINEPREFIX="$PWD/$build_dir/wine-prefix" wineserver -k >/dev/null 2>&1 || true' EXIT
tested=$SECONDS
status=0
# The emulator now and then crashes a 32-bit process whose threads run at once
# (docs/platforms.md): a test program that fails gets one more run.
ctest --preset windows32 -j 2 --repeat until-pass:2 || status=$?
echo "windows32 job: tests took $((SECONDS - tested)) s, the whole job $((SECONDS - started)) s"
exit "$status"
