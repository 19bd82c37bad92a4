#!/usr/bin/env bash
# Sets up a private 32-bit Wine beside the system's 64-bit one and prints the
# command that runs a 32-bit Windows program with it.
# Usage: scripts/wine32.sh DIRECTORY
#
# Why private: the kernels of our machines (the developers' and CI's) refuse 32-bit
# x86 ELF programs, so Wine's 32-bit loader only runs under qemu-i386; and
# installing Debian's wine32:i386 would make the system's `wine` command pick that
# loader for every program, 64-bit ones included. So only Wine's 32-bit libraries
# (libwine:i386, which leaves the `wine` command alone) are installed, and the
# 32-bit loader is unpacked from the wine32:i386 package into DIRECTORY:
#   DIRECTORY/lib/wine/wine       the 32-bit loader; it finds its libraries at
#   DIRECTORY/lib/i386-linux-gnu  a link to the system's i386 library directory
#   DIRECTORY/share/wine          a link to Wine's data (locale tables)
#   DIRECTORY/bin/wine            runs the loader through qemu-i386 (printed)
#   DIRECTORY/bin/wine64          the system's 64-bit loader
# Wine starts further processes through WINELOADER, whose name it switches
# between "wine" and "wine64" by the child's bitness: both are set to these
# wrappers. The 32-bit programs share the prefix and the (64-bit) wineserver of
# the 64-bit Wine session that the tests start.
set -euo pipefail
cd "$(dirname "$0")/.."

directory=${1:?usage: scripts/wine32.sh DIRECTORY}
mkdir -p "$directory"
directory=$(cd "$directory" && pwd)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" dpkg --add-architecture i386
  "${as_root[@]}" apt-get update -qq
fi
bash scripts/install-deps.sh wine wine64 qemu-user libwine:i386 >&2

loader=$directory/lib/wine/wine
if [ ! -x "$loader" ]; then
  download=$(mktemp -d)
  (cd "$download" && apt-get download -qq wine32:i386 >&2 2>/dev/null) ||
    (cd "$download" && apt-get update -qq && apt-get download -qq wine32:i386 >&2)
  dpkg-deb -x "$download"/wine32_*_i386.deb "$download/root"
  mkdir -p "$directory/lib/wine"
  cp "$download/root/usr/lib/wine/wine" "$loader"
  rm -rf "$download"
fi
ln -sfn /usr/lib/i386-linux-gnu "$directory/lib/i386-linux-gnu"
mkdir -p "$directory/share"
ln -sfn /usr/share/wine "$directory/share/wine"  # the loader's ../../share/wine: locale data

mkdir -p "$directory/bin"
# WINELOADERNOEXEC: the loader must not re-execute itself (the kernel would refuse).
cat >"$directory/bin/wine" <<EOF
#!/bin/sh
export WINELOADER="$directory/bin/wine" WINELOADERNOEXEC=1 WINESERVER=/usr/lib/wine/wineserver64
exec qemu-i386 -L / "$loader" "\$@"
EOF
cat >"$directory/bin/wine64" <<EOF
#!/bin/sh
export WINELOADER="$directory/bin/wine64"
exec /usr/lib/wine/wine64 "\$@"
EOF
chmod +x "$directory/bin/wine" "$directory/bin/wine64"
echo "$directory/bin/wine"
