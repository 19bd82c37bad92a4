#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages.
# Usage: scripts/install-deps.sh [extra Debian packages...]
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libstb-dev libcli11-dev
          googletest libgtest-dev libgmock-dev libbenchmark-dev "$@")

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  # A mirror in mid-sync fails the update for a minute or two; the install below
  # then reports what is really missing.
  for attempt in 1 2 3; do
    "${as_root[@]}" apt-get update -qq && break
    echo "apt-get update failed (attempt $attempt); retrying in 20 s" >&2
    sleep 20
  done
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
