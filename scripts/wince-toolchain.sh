#!/usr/bin/env bash
# Builds the Windows CE (ARM) assembler, linker and resource tools from Debian's
# binutils source package, and prints the directory that holds them.
# Usage: scripts/wince-toolchain.sh
#
# The compiler is Debian's arm-linux-gnueabi-gcc (installed by scripts/install-deps.sh),
# which writes ARM-mode assembly; scripts/wince-cc.sh turns that into PE objects with
# these tools. binutils is fetched with `apt-get source` through the private sources
# list and state directory of scripts/debian-sources.sh (the system's apt
# configuration is left alone), configured for arm-mingw32ce and built to
#   ${XDG_CACHE_HOME:-~/.cache}/tarvelo-toolchains/KEY/arm-mingw32ce
# where KEY names the binutils version and this recipe's number; the link
# tarvelo-toolchains/arm-mingw32ce points at the current one.
set -euo pipefail
cd "$(dirname "$0")/.."

recipe=1
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tarvelo-toolchains
log() { printf '%s\n' "$*" >&2; }

bash scripts/install-deps.sh gcc-arm-linux-gnueabi g++-arm-linux-gnueabi qemu-user dpkg-dev make xz-utils python3-pefile >&2

source scripts/debian-sources.sh
if [ -z "$(source_version binutils)" ] || [ -n "${TARVELO_REFRESH_SOURCES:-}" ]; then
  apt-get "${apt_options[@]}" update -qq >&2
fi
version=$(source_version binutils)
[ -n "$version" ] || { echo "wince-toolchain: no binutils source package" >&2; exit 1; }
key=$(printf 'binutils_%s+r%s' "$version" "$recipe" | tr ':~' '__')
prefix=$cache/$key/arm-mingw32ce

if [ -f "$prefix/.complete" ]; then
  log "wince-toolchain: reused ($prefix)"
else
  started=$SECONDS
  work=$cache/work-wince.$$
  trap 'remove_work $? "$work"' EXIT
  mkdir -p "$work/download"
  (cd "$work/download" && apt-get "${apt_options[@]}" source --download-only -qq "binutils=$version" >&2)
  dpkg-source --no-check -x "$work"/download/binutils_*.dsc "$work/src" >/dev/null
  # Debian's patches leave the lexer and parser sources newer than what they generate,
  # and make would then want flex and bison: the generated files are made newer again
  # (and configure is told there are none, whether the machine has them or not).
  sleep 1
  find "$work/src" -path '*/.pc' -prune -o \( -name '*.l' -o -name '*.y' \) -print |
    sed -E 's/\.[ly]$//' | while read -r base; do
      touch -c "$base.c" "$base.h"
    done
  log "wince-toolchain: binutils $version fetched and unpacked in $((SECONDS - started)) s"
  rm -rf "$prefix"
  mkdir -p "$work/build"
  (cd "$work/build" && "$work/src/configure" --target=arm-mingw32ce --prefix="$prefix" \
     --enable-targets=arm-mingw32ce,arm-linux-gnueabi --disable-nls --disable-werror --disable-gdb \
     --disable-gprof --disable-gold --disable-sim --disable-gprofng --disable-libctf \
     --disable-gdbserver --disable-libdecnumber --disable-readline LEX=: YACC=: MAKEINFO=true >/dev/null)
  make -C "$work/build" -s -j 2 MAKEINFO=true all-binutils all-gas all-ld >/dev/null
  make -C "$work/build" -s MAKEINFO=true install-binutils install-gas install-ld >/dev/null
  touch "$prefix/.complete"
  log "wince-toolchain: built in $((SECONDS - started)) s ($prefix)"
fi
ln -sfn "$key/arm-mingw32ce" "$cache/arm-mingw32ce"
echo "$prefix"
