#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root).
set -euo pipefail
packages=(cmake ninja-build g++ python3 git qtbase5-dev qtbase5-dev-tools fp-utils g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 fonts-dejavu-core xz-utils iproute2 util-linux xvfb xdotool imagemagick clang libclang-rt-14-dev crudini xmlstarlet libxml2-utils acl attr e2fsprogs strace dpkg-dev lintian file man-db groff-base)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
