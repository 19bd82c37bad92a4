#!/usr/bin/env bash
# Builds the release artefacts into <output directory> (default dist/) and checks
# each one as its user would:
#   TarveloImageTGA-VERSION-windows-{x86_64,x86,arm64,armv7}.zip
#       the DLL, its .def, an import library for MSVC and MinGW (made by dlltool from
#       the .def), the headers, a CMake package, tarvelo-convert.exe, the zip's own
#       README and LICENSE; checked with check_dll_image.py, a C host linked against
#       the import library and one built with CMake's find_package are built from the
#       zip alone, the README's links must resolve inside the zip, and the tool must
#       import only the DLL and system DLLs. The ARM zips are built with clang and the
#       sysroot that scripts/windows-arm-sysroot.sh makes from Debian's sources
#   TarveloImageTGA-VERSION-wince-arm.zip
#       the Windows CE DLL (ARMv4), its .def, an import library, the header, a README
#       and LICENSE; the image checked with check_dll_image.py (wince), the import
#       library's exports read back
#   tarvelo-image-tga_VERSION_amd64.deb, _arm64.deb, _armhf.deb
#       the library, the tool and the development files; the amd64 one is the CI
#       package job's, the ARM ones' tool converts a file under qemu-user
# Usage: scripts/release.sh [output directory] [artefact ...]
#   artefacts: windows-x86_64 windows-x86 windows-arm64 windows-armv7 wince-arm deb-amd64 deb-arm64 deb-armhf
#   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

out=${1:-dist}
shift || true
artefacts=("$@")
if [ "${#artefacts[@]}" -eq 0 ]; then
  artefacts=(windows-x86_64 windows-x86 windows-arm64 windows-armv7 wince-arm deb-amd64 deb-arm64 deb-armhf)
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
version=$(sed -n 's/^project(TarveloImageTGA VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

configure_and_build() {  # build directory, CMake options...
  local build_dir=$1
  shift
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELO_WERROR=ON \
        -DTARVELO_BUILD_TESTS=OFF -DTARVELO_BUILD_EXAMPLES=OFF -DTARVELO_BUILD_BENCHMARKS=OFF "$@" >/dev/null
  cmake --build "$build_dir" -j "$(nproc)"
}

# A Windows zip's own README (its files, linking from MSVC and MinGW, the exports
# from the .def, the tool, the Windows it needs) and its CMake package.
windows_zip_docs() {  # architecture, staged zip folder
  /usr/bin/python3 scripts/windows-zip/stage_extras.py "$1" "$version" src/TarveloImageTGA.def include "$2"
}

# A Windows user's first steps with an unpacked zip: follow the README's links, and
# build a program with CMake's find_package against the folder.
windows_zip_user_checks() {  # unpacked zip folder, CMake toolchain file, scratch folder, objdump command
  /usr/bin/python3 scripts/windows-zip/check_links.py "$1/README.md" "$1"
  # The cross toolchain searches for packages under its own root only: the package
  # is named directly, as a Windows user may do instead of CMAKE_PREFIX_PATH.
  cmake -S tests/consumers/windows_zip -B "$3/cmake-consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/$2" -DTarveloImageTGA_DIR="$1/lib/cmake/TarveloImageTGA" >/dev/null
  cmake --build "$3/cmake-consumer" >/dev/null
  # The whole output first: grep -q closing the pipe early would fail the pipeline.
  local imports
  imports=$("$4" -p "$3/cmake-consumer/consumer.exe")
  grep -qi "DLL Name: TarveloImageTGA.dll" <<<"$imports" ||
    { echo "the CMake consumer does not import TarveloImageTGA.dll" >&2; exit 1; }
  [ -f "$3/cmake-consumer/TarveloImageTGA.dll" ] ||
    { echo "the CMake consumer's build did not copy the DLL beside it" >&2; exit 1; }
}

windows_zip() {  # x86_64 | x86 | arm64 | armv7
  local arch=$1 triplet toolchain machine dlltool_machine
  # The binary tools and the C compiler: MinGW's for x86, LLVM's and the ARM sysroot's
  # clang for ARM.
  local strip dlltool objdump cc
  case "$arch" in
    x86_64) triplet=x86_64-w64-mingw32 toolchain=mingw64 machine=x86_64 dlltool_machine=i386:x86-64 ;;
    x86) triplet=i686-w64-mingw32 toolchain=mingw32 machine=i686 dlltool_machine=i386 ;;
    arm64) triplet=aarch64-w64-mingw32 toolchain=windows-arm64 machine=arm64 dlltool_machine=arm64 ;;
    armv7) triplet=armv7-w64-mingw32 toolchain=windows-armv7 machine=armv7 dlltool_machine=arm ;;
  esac
  case "$arch" in
    x86_64 | x86)
      local compiler=g++-mingw-w64-x86-64-posix
      [ "$arch" = x86 ] && compiler=g++-mingw-w64-i686-posix
      bash scripts/install-deps.sh "$compiler" python3-pefile zip unzip
      strip=$triplet-strip dlltool=$triplet-dlltool objdump=$triplet-objdump cc=$triplet-gcc-posix ;;
    *)
      bash scripts/install-deps.sh python3-pefile zip unzip
      local sysroot
      sysroot=$(bash scripts/windows-arm-sysroot.sh "${triplet%%-*}" | tail -n 1)
      strip=llvm-strip-14 dlltool=llvm-dlltool-14 objdump=llvm-objdump-14 cc=$sysroot/bin/$triplet-clang ;;
  esac
  local build_dir=build-release-windows-$arch
  configure_and_build "$build_dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$toolchain.cmake"
  local name=TarveloImageTGA-$version-windows-$arch
  local stage=$work/$name
  mkdir -p "$stage/include" "$stage/lib"
  cp "$build_dir/bin/TarveloImageTGA.dll" "$stage/"
  # The tool beside the DLL it loads; its debugging symbols are no use to users.
  "$strip" -o "$stage/tarvelo-convert.exe" "$build_dir/bin/tarvelo-convert.exe"
  cp src/TarveloImageTGA.def "$stage/lib/"
  # The import library for MSVC: on x86 dlltool gives the symbols the leading
  # underscore that MSVC's C names have, bound to the undecorated exports.
  # dlltool names the library's internal symbols after the output path: a bare name
  # keeps the build machine's paths out of it.
  (cd "$stage/lib" && "$dlltool" -m "$dlltool_machine" -d "$root/src/TarveloImageTGA.def" \
                                  -D TarveloImageTGA.dll -l TarveloImageTGA.lib)
  cp include/*.h "$build_dir/include/"*.h "$stage/include/"
  cp LICENSE "$stage/"
  windows_zip_docs "$arch" "$stage"
  rm -f "$out/$name.zip"
  (cd "$work" && zip -qr "$out/$name.zip" "$name")
  echo "built: $out/$name.zip"

  # The user's view: unpack, check the image, build a C host from the zip alone.
  local check=$work/check-$arch
  mkdir -p "$check"
  unzip -q "$out/$name.zip" -d "$check"
  /usr/bin/python3 tests/windows/check_dll_image.py "$check/$name/TarveloImageTGA.dll" "$version" "$machine" \
    >"$check/image.txt" || { cat "$check/image.txt"; exit 1; }
  "$cc" -std=c99 -Wall -Wextra -Werror -I"$check/$name/include" examples/convert_from_c.c \
                       "$check/$name/lib/TarveloImageTGA.lib" -o "$check/host.exe"
  local imports
  imports=$("$objdump" -p "$check/host.exe")
  grep -qi "DLL Name: TarveloImageTGA.dll" <<<"$imports" ||
    { echo "the host does not import TarveloImageTGA.dll" >&2; exit 1; }
  # The tool runs from the unpacked folder alone: no MinGW runtime DLL beside it.
  local tool_imports
  tool_imports=$("$objdump" -p "$check/$name/tarvelo-convert.exe" | sed -n 's/^\s*DLL Name: //p')
  grep -qix "TarveloImageTGA.dll" <<<"$tool_imports" ||
    { echo "the tool does not import TarveloImageTGA.dll" >&2; exit 1; }
  if grep -viE '^(TarveloImageTGA|KERNEL32|msvcrt|SHELL32)\.dll$' <<<"$tool_imports"; then
    echo "the tool imports a DLL that is neither ours nor the system's" >&2
    exit 1
  fi
  windows_zip_user_checks "$check/$name" "cmake/toolchain-$toolchain.cmake" "$check" "$objdump"
  echo "checked: $name.zip (image, import library, CMake package, README links, tool)"
}

wince_zip() {
  bash scripts/install-deps.sh python3-pefile zip unzip
  local tools
  tools=$(bash scripts/wince-toolchain.sh)/bin
  local build_dir=build-release-wince-arm
  cmake --preset wince-arm -B "$build_dir" -DTARVELO_WINCE_TOOLS="$tools" >/dev/null
  cmake --build "$build_dir" -j "$(nproc)"
  local name=TarveloImageTGA-$version-wince-arm
  local stage=$work/$name
  mkdir -p "$stage/include" "$stage/lib"
  cp "$build_dir/bin/TarveloImageTGA.dll" LICENSE "$stage/"
  cp src/TarveloImageTGA_wince.def "$stage/lib/TarveloImageTGA.def"
  (cd "$stage/lib" && "$tools/arm-mingw32ce-dlltool" -d TarveloImageTGA.def -D TarveloImageTGA.dll \
                                                   -l TarveloImageTGA.lib)
  cp include/TarveloImageTGA.h "$stage/include/"
  sed "s/@VERSION@/$version/" scripts/windows-zip/README-wince.md.in >"$stage/README.md"
  rm -f "$out/$name.zip"
  (cd "$work" && zip -qr "$out/$name.zip" "$name")
  echo "built: $out/$name.zip"

  local check=$work/check-wince
  mkdir -p "$check"
  unzip -q "$out/$name.zip" -d "$check"
  TARVELO_WINCE_OBJDUMP=$tools/arm-mingw32ce-objdump /usr/bin/python3 tests/windows/check_dll_image.py \
    "$check/$name/TarveloImageTGA.dll" "$version" wince >"$check/image.txt" || { cat "$check/image.txt"; exit 1; }
  local exports
  exports=$("$tools/arm-mingw32ce-nm" "$check/$name/lib/TarveloImageTGA.lib")
  for function in BMP2TGA TGA2BMP; do
    grep -q " T $function\$" <<<"$exports" || { echo "the import library lacks $function" >&2; exit 1; }
  done
  /usr/bin/python3 scripts/windows-zip/check_links.py "$check/$name/README.md" "$check/$name"
  echo "checked: $name.zip (image, import library, README links)"
}

linux_deb() {  # amd64 | arm64 | armhf
  local arch=$1 toolchain="" triplet qemu=""
  case "$arch" in
    amd64) triplet=x86_64-linux-gnu ;;
    arm64) triplet=aarch64-linux-gnu toolchain=cmake/toolchain-aarch64-linux-gnu.cmake qemu=qemu-aarch64 ;;
    armhf) triplet=arm-linux-gnueabihf toolchain=cmake/toolchain-arm-linux-gnueabihf.cmake qemu=qemu-arm ;;
  esac
  # Debian's multiarch library directory: CMake picks it by itself only for native builds.
  local options=(-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$triplet")
  if [ -n "$toolchain" ]; then
    bash scripts/install-deps.sh "g++-$triplet" qemu-user dpkg-dev
    options+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  else
    bash scripts/install-deps.sh dpkg-dev
  fi
  local build_dir=build-release-$arch
  configure_and_build "$build_dir" "${options[@]}"
  (cd "$build_dir" && cpack -G DEB >/dev/null)
  local deb
  deb=$(ls "$build_dir"/tarvelo-image-tga_*_"$arch".deb)
  cp "$deb" "$out/"
  echo "built: $out/$(basename "$deb")"

  local tree=$work/deb-$arch
  dpkg-deb -x "$deb" "$tree"
  [ -e "$tree/usr/lib/$triplet/libTarveloImageTGA.so.1" ] || { echo "library missing from $deb" >&2; exit 1; }
  if [ -n "$qemu" ]; then
    # The declared dependency must cover every C library symbol version used.
    local newest
    newest=$("$triplet-objdump" -T "$tree/usr/bin/tarvelo-convert" "$tree/usr/lib/$triplet/libTarveloImageTGA.so.1" |
             grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n 1)
    local declared
    declared=$(dpkg-deb -f "$deb" Depends | sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p')
    [ -n "$declared" ] && [ "$(printf '%s\n%s\n' "$newest" "$declared" | sort -V | tail -n 1)" = "$declared" ] ||
      { echo "the binaries need glibc $newest, the package declares '$declared'" >&2; exit 1; }
    # The packaged tool converts a file under the emulator, with the packaged library.
    local sample=$work/sample-$arch
    mkdir -p "$sample"
    printf 'P6\n2 2\n255\n\377\0\0\0\377\0\0\0\377\377\377\377' >"$sample/in.ppm"
    LD_LIBRARY_PATH="$tree/usr/lib/$triplet" "$qemu" -L "/usr/$triplet" "$tree/usr/bin/tarvelo-convert" \
      "$sample/in.ppm" "$sample/out.bmp"
    # 54-byte header, two rows of 2 pixels padded to 8 bytes: 70 bytes.
    [ "$(stat -c %s "$sample/out.bmp")" -eq 70 ] || { echo "$arch tool wrote a wrong file" >&2; exit 1; }
    echo "checked: $(basename "$deb") (tool converts under $qemu)"
  else
    echo "checked: $(basename "$deb") (contents; .ci/package.sh installs and uses it)"
  fi
}

for artefact in "${artefacts[@]}"; do
  started=$(date +%s)
  case "$artefact" in
    windows-x86_64) windows_zip x86_64 ;;
    windows-x86) windows_zip x86 ;;
    windows-arm64) windows_zip arm64 ;;
    windows-armv7) windows_zip armv7 ;;
    wince-arm) wince_zip ;;
    deb-amd64) linux_deb amd64 ;;
    deb-arm64) linux_deb arm64 ;;
    deb-armhf) linux_deb armhf ;;
    *) echo "unknown artefact: $artefact" >&2; exit 2 ;;
  esac
  echo "$artefact: $(($(date +%s) - started)) s"
done
ls -l "$out"
