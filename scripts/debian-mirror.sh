#!/usr/bin/env bash
# Prints the Debian archive this machine's apt already uses (its first "debian"
# entry, in either source format), so that the private apt set-ups of
# scripts/debian-sources.sh and scripts/wine-arm64.sh reach the same one.
set -euo pipefail
mirror=$(sed -n 's|^URIs: *\([^ ]*/debian\)/\?$|\1|p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's|^deb \(\[[^]]*\] \)\?\([^ ]*/debian\)/\? .*|\2|p' /etc/apt/sources.list \
             /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1)
fi
[ -n "$mirror" ] || { echo "no Debian archive found in the system's apt sources" >&2; exit 1; }
echo "$mirror"
