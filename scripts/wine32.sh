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
#   DIRECTORY/lib/wine/wine             the 32-bit loader; it finds its libraries at
#   DIRECTORY/lib/i386-linux-gnu        a link to the system's i386 library directory
#   DIRECTORY/share/wine                a link to Wine's data (locale tables, wine.inf)
#   DIRECTORY/lib/wine/wine-preloader   runs the loader under qemu-i386 (see below)
#   DIRECTORY/lib/wine/wine32-preload.so  built from scripts/wine32-preload.c
#   DIRECTORY/lib/wine/wine64           a link to the system's 64-bit loader
#   DIRECTORY/bin/wine                  runs a 32-bit program (printed)
#   DIRECTORY/bin/wine64                runs a 64-bit program with the system's loader
#
# Wine starts a process by executing `wine-preloader LOADER ARGUMENTS...` from its
# loader's directory if there is one, else the loader (`wine` or `wine64`, by the
# new program's bitness) itself. The 32-bit "preloader" here is a script that runs
# the loader under qemu-i386, so 32-bit programs can start further 32-bit processes
# (the tool's batch workers), and `wine64` beside it serves 64-bit ones.
#
# The loader itself needs a preloader for a second reason. Natively, Wine's own
# static preloader reserves the address ranges Wine must own (the DOS area, and the
# top of the 2 GB user space holding the shared user data page) before the dynamic
# loader maps anything; Debian ships none for 32 bits, and Wine's fallback does not
# hold under qemu-i386, which places its mappings where it likes: a program start
# then fails with "failed to map the shared user data" on some machines, and costs
# tens of seconds of emulated system calls on all. wine32-preload.so, preloaded into
# the loader through qemu, reserves those ranges before Wine starts and hands them
# to Wine. It is built without the C library, so no i386 development packages (which
# conflict with the ARM cross compilers) are needed.
#
# The 32-bit programs share the prefix and the (64-bit) wineserver of the Wine
# session that the tests start (tests/windows/wine_session.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

directory=${1:?usage: scripts/wine32.sh DIRECTORY}
mkdir -p "$directory"
directory=$(cd "$directory" && pwd)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" dpkg --add-architecture i386
  "${as_root[@]}" apt-get update -qq || true  # install-deps below retries
fi
bash scripts/install-deps.sh wine wine64 qemu-user libwine:i386 >&2

loader=$directory/lib/wine/wine
if [ ! -x "$loader" ]; then
  download=$(mktemp -d)
  (cd "$download" && apt-get download -qq wine32:i386 >&2 2>/dev/null) ||
    (cd "$download" && apt-get update -qq && apt-get download -qq wine32:i386 >&2)
  dpkg-deb -x "$download"/wine32_*_i386.deb "$download/root"
  mkdir -p "$directory/lib/wine"
  cp "$download/root/usr/lib/wine/wine" "$loader.new"
  mv "$loader.new" "$loader"
  rm -rf "$download"
fi
ln -sfn /usr/lib/i386-linux-gnu "$directory/lib/i386-linux-gnu"
ln -sfn /usr/lib/wine/wine64 "$directory/lib/wine/wine64"
mkdir -p "$directory/share"
ln -sfn /usr/share/wine "$directory/share/wine"  # the loader's ../../share/wine

preload=$directory/lib/wine/wine32-preload.so
if [ ! -f "$preload" ] || [ scripts/wine32-preload.c -nt "$preload" ]; then
  gcc -m32 -shared -nostdlib -ffreestanding -fno-stack-protector -fPIC -O2 -Wall -Wextra -Werror \
    -Wl,-z,noexecstack -o "$preload.new" scripts/wine32-preload.c
  mv "$preload.new" "$preload"
fi

cat >"$directory/lib/wine/wine-preloader" <<SCRIPT
#!/bin/sh
# Wine's way of starting a 32-bit process: wine-preloader LOADER ARGUMENTS...
exec qemu-i386 -L / -E "LD_PRELOAD=$preload" "\$@"
SCRIPT
mkdir -p "$directory/bin"
# WINELOADERNOEXEC: the loader is already where it should be; it must not start
# itself again. WINESERVER: there is no wineserver beside the 32-bit loader.
cat >"$directory/bin/wine" <<SCRIPT
#!/bin/sh
export WINELOADERNOEXEC=1 WINESERVER=/usr/lib/wine/wineserver64
exec "$directory/lib/wine/wine-preloader" "$loader" "\$@"
SCRIPT
cat >"$directory/bin/wine64" <<SCRIPT
#!/bin/sh
exec /usr/lib/wine/wine64 "\$@"
SCRIPT
chmod +x "$directory/lib/wine/wine-preloader" "$directory/bin/wine" "$directory/bin/wine64"
echo "$directory/bin/wine"
