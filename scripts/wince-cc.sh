#!/usr/bin/env bash
# The Windows CE (ARM) compiler: Debian's arm-linux-gnueabi gcc or g++ writes ARM-mode
# assembly, its ELF-only directives are rewritten for PE, and the arm-mingw32ce
# assembler (scripts/wince-toolchain.sh) makes the object.
# Usage: scripts/wince-cc.sh gcc|g++ [compiler options] -c SOURCE -o OBJECT
# Environment: TARVELO_WINCE_TOOLS (the toolchain's bin directory), TARVELO_WINCE_ARCH
# (armv4, the default, or armv4t / armv5te).
set -euo pipefail
driver=$1
shift
tools=${TARVELO_WINCE_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvelo-toolchains/arm-mingw32ce/bin}

args=() output="" compile=0 assemble_only=0
while [ "$#" -gt 0 ]; do
  case $1 in
    -o) output=$2; shift ;;
    -c) compile=1 ;;
    -fPIC | -fpic | -ffunction-sections | -fdata-sections | -fvisibility=* | -fvisibility-inlines-hidden) ;;
    *.S | *.s) assemble_only=1; args+=("$1") ;;
    *) args+=("$1") ;;
  esac
  shift
done
[ "$compile" -eq 1 ] && [ -n "$output" ] || { echo "wince-cc: only -c SOURCE -o OBJECT is supported" >&2; exit 2; }

assembly=$output.s
if [ "$assemble_only" -eq 1 ]; then
  "arm-linux-gnueabi-$driver" -E -P -x assembler-with-cpp "${args[@]}" -o "$assembly.in"
else
  "arm-linux-gnueabi-$driver" -S -o "$assembly.in" -marm "-march=${TARVELO_WINCE_ARCH:-armv4}" \
    -mfloat-abi=soft -fshort-wchar -fsigned-char -fno-pic -fno-plt -fno-stack-protector \
    -fno-unwind-tables -fno-asynchronous-unwind-tables -fno-common -fstack-usage -D_WIN32_WCE=0x500 -DUNDER_CE \
    "${args[@]}"
fi
# ELF's directives that PE has no use for go; sections take PE's names and flags, and
# a group (an inline function's one copy) becomes a discardable COMDAT.
sed -E \
  -e '/^\s*\.(eabi_attribute|type|size|ident|hidden|protected|internal|fnstart|fnend|cantunwind|save|pad|setfp|personality|handlerdata|movsp|vsave|arch_extension|object_arch|fpu)\b/d' \
  -e '/^\s*\.section\s+\.note\.GNU-stack/d' \
  -e 's/^(\s*)\.weak\b/\1.global/' \
  -e 's/^(\s*\.section\s+)\.text([^,]*),"axG",%progbits,.*,comdat$/\1.text\2,"x"\n\t.linkonce discard/' \
  -e 's/^(\s*\.section\s+)\.data([^,]*),"awG",%progbits,.*,comdat$/\1.data\2,"dw"\n\t.linkonce discard/' \
  -e 's/^(\s*\.section\s+)\.bss([^,]*),"awG",%nobits,.*,comdat$/\1.bss\2,"b"\n\t.linkonce discard/' \
  -e 's/^(\s*\.section\s+)\.rodata([^,]*),"aMS?G",%progbits,[0-9]+,.*,comdat$/\1.rdata\2,"dr"\n\t.linkonce discard/' \
  -e 's/^(\s*\.section\s+)\.rodata([^,]*),"aG",%progbits,.*,comdat$/\1.rdata\2,"dr"\n\t.linkonce discard/' \
  -e 's/^(\s*\.section\s+)\.data\.rel\.ro([^,]*),"awG",%progbits,.*,comdat$/\1.data\2,"dw"\n\t.linkonce discard/' \
  -e 's/^(\s*\.section\s+)\.rodata[^,]*(,.*)?$/\1.rdata,"dr"/' \
  -e 's/^(\s*\.section\s+)\.data\.rel\.ro[^,]*(,.*)?$/\1.data,"dw"/' \
  -e 's/^(\s*\.section\s+[^,]+),"a[wxMS]*",%(progbits|nobits)(,[0-9]+)?$/\1/' \
  "$assembly.in" >"$assembly"
"$tools/arm-mingw32ce-as" -o "$output" "$assembly"
rm -f "$assembly.in"
[ -n "${TARVELO_WINCE_KEEP_ASSEMBLY:-}" ] || rm -f "$assembly"
