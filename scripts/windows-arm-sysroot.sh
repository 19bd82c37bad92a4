#!/usr/bin/env bash
# Builds the sysroots for ARM Windows DLLs (windows-gnu, clang) from Debian's own
# source packages, and prints where they are.
# Usage: scripts/windows-arm-sysroot.sh ARCH...    (ARCH: aarch64 or armv7)
#
# Debian ships clang, lld and the LLVM tools (llvm-dlltool, llvm-rc) but no C runtime,
# compiler runtime or C++ runtime for ARM Windows. So each sysroot is built from the
# source packages, fetched with `apt-get source` through a private sources list and
# state directory (the system's apt configuration is left alone):
#   mingw-w64          headers, and the parts of the C runtime a DLL and its tests
#                      link (start-up objects, libmingwex, msvcrt and the system
#                      DLLs' import libraries, made from .def files by llvm-dlltool)
#   llvm-toolchain-14  compiler-rt's builtins; libunwind, libc++abi and libc++, static
# Each goes into the cache, outside the tree:
#   ${XDG_CACHE_HOME:-~/.cache}/tarvelo-toolchains/KEY/ARCH-w64-mingw32
# KEY names the source packages' versions, Debian's clang's and this recipe's, so a
# sysroot is built once and reused until one of them changes. The link
#   tarvelo-toolchains/ARCH-w64-mingw32 -> KEY/ARCH-w64-mingw32
# is what cmake/toolchain-windows-arm.cmake finds (TARVELO_WINDOWS_ARM_SYSROOT
# overrides it). Inside each sysroot:
#   bin/ARCH-w64-mingw32-clang, -clang++   the compilers: clang-14 for the target
#                      with this sysroot, compiler-rt, libunwind, libc++ and lld
#   include, lib       headers and libraries; lib/clang is clang's resource directory
#                      (its headers linked from Debian's, the builtins added)
# Only what the builds need is made: no tests, no shared runtimes, two jobs.
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$#" -gt 0 ] || { echo "usage: scripts/windows-arm-sysroot.sh aarch64|armv7..." >&2; exit 2; }
for arch; do
  case $arch in aarch64 | armv7) ;; *) echo "unknown architecture: $arch" >&2; exit 2 ;; esac
done

# Bumped whenever the way the sysroot is built changes, so older ones are not reused.
recipe=1
jobs=2
llvm=/usr/lib/llvm-14
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tarvelo-toolchains
log() { printf '%s\n' "$*" >&2; }

bash scripts/install-deps.sh clang-14 lld-14 llvm-14 dpkg-dev make xz-utils bzip2 >&2

source scripts/debian-sources.sh
if [ -z "$(source_version mingw-w64)" ] || [ -z "$(source_version llvm-toolchain-14)" ] ||
   [ -n "${TARVELO_REFRESH_SOURCES:-}" ]; then
  apt-get "${apt_options[@]}" update -qq >&2
fi
mingw_version=$(source_version mingw-w64)
llvm_version=$(source_version llvm-toolchain-14)
clang_version=$(dpkg-query -W -f='${Version}' clang-14)
key=$(printf 'mingw-w64_%s+llvm-toolchain-14_%s+clang-14_%s+r%s' \
  "$mingw_version" "$llvm_version" "$clang_version" "$recipe" | tr ':~' '__')

wanted=()
for arch in "$@"; do
  if [ -f "$cache/$key/$arch-w64-mingw32/.complete" ]; then
    log "windows-arm-sysroot: $arch reused ($cache/$key)"
  else
    wanted+=("$arch")
  fi
done

if [ "${#wanted[@]}" -gt 0 ]; then
  work=$cache/work.$$
  trap 'remove_work $? "$work"' EXIT
  mkdir -p "$work/download"
  started=$SECONDS
  (cd "$work/download" &&
   apt-get "${apt_options[@]}" source --download-only -qq "mingw-w64=$mingw_version" \
     "llvm-toolchain-14=$llvm_version" >&2)
  # mingw-w64 is small: unpacked whole, Debian's patches applied. Of LLVM's tree
  # only the runtimes and the CMake modules they use are taken.
  dpkg-source --no-check -x "$work"/download/mingw-w64_*.dsc "$work/mingw-w64" >/dev/null
  llvm_tarball=$(ls "$work"/download/llvm-toolchain-14_*.orig.tar.xz)
  llvm_top=$(basename "$llvm_tarball" .orig.tar.xz)
  tar -xJf "$llvm_tarball" -C "$work" \
    "$llvm_top"/{cmake,compiler-rt/cmake,compiler-rt/include,compiler-rt/lib/builtins,compiler-rt/CMakeLists.txt} \
    "$llvm_top"/{libcxx,libcxxabi,libunwind,runtimes,llvm/cmake,llvm/utils/lit}
  mv "$work/$llvm_top" "$work/llvm"
  log "windows-arm-sysroot: sources fetched and unpacked in $((SECONDS - started)) s"
fi

write_wrappers() {  # sysroot triple
  local sysroot=$1 triple=$2 driver
  mkdir -p "$sysroot/bin"
  for driver in clang clang++; do
    local stdlib=""
    [ "$driver" = clang++ ] && stdlib=" -stdlib=libc++"
    # The runtime and linker choices only when linking: a compile would warn that they
    # are unused, and warnings are errors in our builds.
    cat >"$sysroot/bin/$triple-$driver" <<EOF
#!/bin/sh
# $driver for $triple with this sysroot (made by scripts/windows-arm-sysroot.sh).
root=\$(cd "\$(dirname "\$0")/.." && pwd)
link="-rtlib=compiler-rt -unwindlib=libunwind -fuse-ld=lld"
for argument; do
  case \$argument in -c | -S | -E) link= ;; esac
done
exec $llvm/bin/$driver --target=$triple --sysroot="\$root" -resource-dir="\$root/lib/clang"$stdlib \$link "\$@"
EOF
    chmod +x "$sysroot/bin/$triple-$driver"
  done
  local tool
  for tool in ar ranlib dlltool windres; do  # the LLVM tools take the target from their name
    ln -sfn "$llvm/bin/llvm-$tool" "$sysroot/bin/$triple-$tool"
  done
  mkdir -p "$sysroot/lib/clang/lib/windows"
  ln -sfn "$llvm/lib/clang/$(ls "$llvm/lib/clang" | sort -V | tail -n 1)/include" "$sysroot/lib/clang/include"
}

build_one() {  # arch
  local arch=$1 triple=$1-w64-mingw32 started=$SECONDS
  local sysroot=$cache/$key/$triple build=$work/build-$1 crt_dir crt_option builtins_arch
  case $arch in
    aarch64) crt_dir=libarm64 crt_option=--enable-libarm64 builtins_arch=aarch64 ;;
    armv7) crt_dir=libarm32 crt_option=--enable-libarm32 builtins_arch=armv7 ;;
  esac
  rm -rf "$sysroot"
  write_wrappers "$sysroot" "$triple"
  local cc=$sysroot/bin/$triple-clang cxx=$sysroot/bin/$triple-clang++
  export PATH="$llvm/bin:$PATH"

  log "windows-arm-sysroot: $arch: headers and C runtime"
  mkdir -p "$build/headers" "$build/crt"
  (cd "$build/headers" && "$work/mingw-w64/mingw-w64-headers/configure" --host="$triple" \
     --prefix="$sysroot" --with-default-msvcrt=msvcrt >/dev/null && make install >/dev/null)
  (cd "$build/crt" && "$work/mingw-w64/mingw-w64-crt/configure" --host="$triple" --prefix="$sysroot" \
     --with-sysroot="$sysroot" --disable-lib32 --disable-lib64 "$crt_option" --with-default-msvcrt=msvcrt \
     CC="$cc" DLLTOOL=llvm-dlltool AR=llvm-ar RANLIB=llvm-ranlib CFLAGS="-O2 -w" >/dev/null)
  # What clang's MinGW driver links by default, the start-up objects, and the system
  # DLLs our targets name; the rest of the C runtime is never used.
  local parts=(crt2.o dllcrt2.o crtbegin.o crtend.o libmingw32.a libmingwex.a libmsvcrt.a libmoldname.a
               libkernel32.a libuser32.a libadvapi32.a libshell32.a libversion.a libgdi32.a libole32.a
               libuuid.a libpsapi.a libntdll.a libws2_32.a libbcrypt.a libshlwapi.a)
  mkdir -p "$build/crt/$crt_dir"
  local dir
  for dir in $(cd "$work/mingw-w64/mingw-w64-crt" && find . -type d); do mkdir -p "$build/crt/$dir"; done
  make -C "$build/crt" -s -j "$jobs" "${parts[@]/#/$crt_dir/}" >/dev/null
  cp "${parts[@]/#/$build/crt/$crt_dir/}" "$sysroot/lib/"

  log "windows-arm-sysroot: $arch: compiler-rt builtins"
  local cmake_common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
    -DCMAKE_AR="$llvm/bin/llvm-ar" -DCMAKE_RANLIB="$llvm/bin/llvm-ranlib"
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER_WORKS=ON
    -DCMAKE_CXX_COMPILER_WORKS=ON -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY)
  cmake -S "$work/llvm/compiler-rt/lib/builtins" -B "$build/builtins" "${cmake_common[@]}" \
    -DCMAKE_C_COMPILER_TARGET="$builtins_arch-w64-windows-gnu" -DCMAKE_ASM_COMPILER_TARGET="$builtins_arch-w64-windows-gnu" \
    -DCOMPILER_RT_DEFAULT_TARGET_ONLY=ON -DCOMPILER_RT_STANDALONE_BUILD=ON -DLLVM_CONFIG_PATH= \
    -DCMAKE_INSTALL_PREFIX="$sysroot/lib/clang" >/dev/null
  cmake --build "$build/builtins" -j "$jobs" --target install >/dev/null

  log "windows-arm-sysroot: $arch: libunwind, libc++abi, libc++ (static)"
  cmake -S "$work/llvm/runtimes" -B "$build/runtimes" "${cmake_common[@]}" \
    -DCMAKE_CXX_COMPILER_TARGET="$triple" -DCMAKE_INSTALL_PREFIX="$sysroot" \
    -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" -DLLVM_INCLUDE_TESTS=OFF -DLLVM_INCLUDE_DOCS=OFF \
    -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBUNWIND_INCLUDE_TESTS=OFF \
    -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON -DLIBCXXABI_ENABLE_SHARED=OFF \
    -DLIBCXXABI_INCLUDE_TESTS=OFF -DLIBCXXABI_LIBDIR_SUFFIX= \
    -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON \
    -DLIBCXX_CXX_ABI=libcxxabi -DLIBCXX_LIBDIR_SUFFIX= -DLIBCXX_INCLUDE_TESTS=OFF \
    -DLIBCXX_INCLUDE_BENCHMARKS=OFF -DLIBCXX_ENABLE_EXPERIMENTAL_LIBRARY=OFF \
    -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF >/dev/null
  cmake --build "$build/runtimes" -j "$jobs" --target install >/dev/null

  touch "$sysroot/.complete"
  ln -sfn "$key/$triple" "$cache/$triple"
  rm -rf "$build"
  log "windows-arm-sysroot: $arch built in $((SECONDS - started)) s ($sysroot)"
}

for arch in "${wanted[@]}"; do
  build_one "$arch"
done
for arch in "$@"; do
  ln -sfn "$key/$arch-w64-mingw32" "$cache/$arch-w64-mingw32"
  echo "$cache/$key/$arch-w64-mingw32"
done
