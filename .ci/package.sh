#!/usr/bin/env bash
# Builds the Debian package, inspects it, installs it, converts an image with the
# installed tool, shows the man page, and removes the package again. Builds with
# the package preset (Release, prefix /usr, no tests) into build/package.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh dpkg-dev file man-db
build_dir=build/package
cmake --preset package >/dev/null
cmake --build --preset package -j "$(nproc)"
rm -f "$build_dir"/*.deb
cpack --preset package >/dev/null
deb=$(ls "$build_dir"/*.deb)
echo "package: $deb"

dpkg-deb -I "$deb"
listing=$(dpkg -c "$deb")
printf '%s\n' "$listing"
# The contents a user relies on.
for path in ./usr/bin/tarvelo-convert ./usr/lib/x86_64-linux-gnu/libTarveloImageTGA.so.1 \
            ./usr/include/TarveloImageTGA.h ./usr/lib/x86_64-linux-gnu/pkgconfig/TarveloImageTGA.pc \
            ./usr/lib/x86_64-linux-gnu/cmake/TarveloImageTGA/TarveloImageTGAConfig.cmake \
            ./usr/share/man/man1/tarvelo-convert.1.gz; do
  grep -q " $path" <<<"$listing" || { echo "missing from the package: $path" >&2; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libc6 || { echo "package lacks its libc6 dependency" >&2; exit 1; }
# Run paths: the tool's is relative to its own place ($ORIGIN), which Debian accepts;
# an absolute one, or any in the library, would not be.
tree=$(mktemp -d)
dpkg-deb -x "$deb" "$tree"
tool_run_path=$(readelf -d "$tree/usr/bin/tarvelo-convert" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
library_run_path=$(readelf -d "$tree"/usr/lib/x86_64-linux-gnu/libTarveloImageTGA.so.1 | grep -E 'RPATH|RUNPATH' || true)
rm -rf "$tree"
case "$tool_run_path" in
  '$ORIGIN/'*) echo "tool run path: $tool_run_path" ;;
  *) echo "the packaged tool's run path is '$tool_run_path', not relative to \$ORIGIN" >&2; exit 1 ;;
esac
[ -z "$library_run_path" ] || { echo "the packaged library has a run path: $library_run_path" >&2; exit 1; }

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" dpkg -i "$deb"
trap '"${as_root[@]}" dpkg -r tarvelo-image-tga >/dev/null' EXIT

work=$(mktemp -d)
"$build_dir"/examples/tarvelo-make-sample "$work/sample.png"
/usr/bin/tarvelo-convert --version
/usr/bin/tarvelo-convert "$work/sample.png" "$work/sample.tga"
/usr/bin/tarvelo-convert "$work/sample.png" "$work/sample.bmp"
ls -l "$work"
MANPAGER=cat MANWIDTH=80 man tarvelo-convert | head -n 12
rm -rf "$work"
echo "package: installed, converted and removed"
