#!/usr/bin/env bash
# Sets up Debian's arm64 Wine, run through qemu-aarch64, for the ARM64 Windows test
# programs, and prints the command that runs one (the CMake emulator of the
# windows-arm64 preset, TARVELO_WINE_ARM64).
# Usage: scripts/wine-arm64.sh
#
# Nothing is installed and no foreign architecture is added (that would change the
# x86 Wine jobs' packages): wine64 and libwine for arm64, with what they depend on,
# are downloaded through a private apt state (APT::Architecture=arm64, an empty
# package status) and unpacked with dpkg-deb into the cache:
#   ${XDG_CACHE_HOME:-~/.cache}/tarvelo-toolchains/wine-arm64-VERSION/
#     root/      the unpacked packages: qemu-aarch64's -L root
#     root/usr/lib/wine/wine64  a script that runs Wine's loader (wine64.aarch64)
#                through qemu-aarch64: the loader re-executes itself and starts
#                further programs by this path, and the kernel refuses arm64 ones.
#     bin/wine   that loader, with WINELOADER and WINESERVER set.
#     root/usr/lib/wine/wineserver  the arm64 server through qemu. Wine starts its
#                server by this path before it looks at WINESERVER, and Debian's
#                script there would start the build machine's x86-64 server, which
#                refuses arm64 clients.
#     bin/wineserver  the same server, for WINESERVER and for scripts.
#     prefix/    a Wine prefix made once by wineboot, remade when its recipe number
#                (in prefix/.complete) changes. Copy it to use it: its set-up under
#                emulation is slow, and a test started while it runs finds no
#                system DLLs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh qemu-user >&2
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tarvelo-toolchains
apt_dir=$cache/apt-arm64
mkdir -p "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/etc"
: >"$apt_dir/status"
echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(bash scripts/debian-mirror.sh) bookworm main" \
  >"$apt_dir/etc/sources.list"
apt_options=(-o APT::Architecture=arm64 -o APT::Architectures::=arm64
             -o "Dir::Etc::SourceList=$apt_dir/etc/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
             -o "Dir::State=$apt_dir/state" -o "Dir::State::status=$apt_dir/status"
             -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
wine_version() {
  apt-cache "${apt_options[@]}" show wine64 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1
}
[ -n "$(wine_version)" ] || apt-get "${apt_options[@]}" update -qq >&2
version=$(wine_version)
directory=$cache/wine-arm64-$(printf '%s' "$version" | tr ':~' '__')
root=$directory/root

if [ ! -f "$directory/.complete" ]; then
  started=$SECONDS
  rm -rf "$directory"
  mkdir -p "$root"
  apt-get "${apt_options[@]}" install -d -y -qq --no-install-recommends "wine64=$version" "libwine=$version" >&2
  for package in "$apt_dir"/cache/archives/*_arm64.deb "$apt_dir"/cache/archives/*_all.deb; do
    [ -e "$package" ] && dpkg-deb -x "$package" "$root"
  done
  rm -f "$apt_dir"/cache/archives/*.deb
  touch "$directory/.complete"
  echo "wine-arm64: Wine $version unpacked in $((SECONDS - started)) s" >&2
fi

# The loader re-executes itself (and starts further programs) by its own path: there
# a script runs the real one through qemu, as the kernel refuses arm64 programs.
loader=$root/usr/lib/wine/wine64
[ -e "$loader.aarch64" ] || mv "$loader" "$loader.aarch64"
cat >"$loader" <<SCRIPT
#!/bin/sh
exec qemu-aarch64 -L "$root" -0 "\$0" "$loader.aarch64" "\$@"
SCRIPT
chmod +x "$loader"
mkdir -p "$directory/bin"
cat >"$root/usr/lib/wine/wineserver" <<SCRIPT
#!/bin/sh
exec qemu-aarch64 -L "$root" "$root/usr/lib/wine/wineserver64" "\$@"
SCRIPT
ln -sfn "$root/usr/lib/wine/wineserver" "$directory/bin/wineserver"
cat >"$directory/bin/wine" <<SCRIPT
#!/bin/sh
export WINELOADER="$loader" WINESERVER="$directory/bin/wineserver"
exec "$loader" "\$@"
SCRIPT
chmod +x "$directory/bin/wine" "$root/usr/lib/wine/wineserver"

# The prefix is made in a directory that Wine creates (Wine makes the C: drive only
# with a dosdevices directory it creates itself), waited for until its server has
# exited, as a program started meanwhile may find no system DLLs, and kept only when
# they are in place. No Mono or Gecko: the tests need neither.
prefix=$directory/prefix
prefix_recipe=1
if [ "$(cat "$prefix/.complete" 2>/dev/null)" != "$prefix_recipe" ]; then
  started=$SECONDS
  export WINEPREFIX=$prefix.new.$$ WINEARCH=win64 WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
  timeout 900 "$directory/bin/wine" wineboot -i >/dev/null 2>&1 </dev/null || true
  waited=0
  timeout 600 "$directory/bin/wineserver" -w || waited=$?
  if [ "$waited" = 124 ] || [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 60 "$directory/bin/wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    echo "wine-arm64: wineboot did not make the prefix in $WINEPREFIX" >&2
    exit 1
  fi
  echo "$prefix_recipe" >"$WINEPREFIX/.complete"
  if [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$prefix_recipe" ]; then
    rm -rf "$WINEPREFIX" # made meanwhile by another run
  else
    rm -rf "$prefix"
    mv "$WINEPREFIX" "$prefix"
  fi
  echo "wine-arm64: prefix made in $((SECONDS - started)) s" >&2
fi
echo "$directory/bin/wine"
