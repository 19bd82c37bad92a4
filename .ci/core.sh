#!/usr/bin/env bash
# The core as a system without a C++ runtime builds it (core preset, into
# build/core): the library's objects (tarvelo_objects) compiled with
# -fno-exceptions -fno-rtti and the helper threads left out. Then checks that none
# of them asks for the C++ runtime (operator new and delete, exception and RTTI
# support, guarded statics, pure-virtual traps, the C++ library's own functions)
# or for thread-local storage, and runs the whole test suite against them.
# Usage: .ci/core.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset core >/dev/null
cmake --build --preset core -j "$(nproc)"

runtime='^(_Znw|_Zna|_Zdl|_Zda|__cxa_|__gxx_personality|_Unwind_|_ZSt|_ZNSt|_ZNKSt|_ZTVN10__cxxabiv1|__tls_get_addr|__emutls)'
found=0
while IFS= read -r object; do
  needs=$(nm --undefined-only --format=posix "$object" | awk '{print $1}' | grep -E "$runtime" || true)
  tls=$(readelf --symbols --wide "$object" | awk '$4 == "TLS" {print $8}')
  if [ -n "$needs$tls" ]; then
    printf '%s needs the C++ runtime or thread-local storage:\n' "${object#build/core/}"
    printf '  %s\n' $needs $tls
    found=1
  fi
done < <(find build/core/src/CMakeFiles/tarvelo_objects.dir -name '*.o' | sort)
if [ "$found" -ne 0 ]; then
  exit 1
fi
echo "the library's objects need neither the C++ runtime nor thread-local storage"

ctest --preset core -j "$(nproc)"
