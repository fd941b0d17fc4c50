#!/usr/bin/env bash
# Installs every Debian package the two build trees and their tests need.
# Idempotent: packages already present are not touched, and apt is not asked
# at all when everything is installed. Runs as root (as CI and developers do).
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib pkg-config
  g++-mingw-w64-i686-posix
  wine wine32:i386
  googletest libgtest-dev libgmock-dev
  libturbojpeg0-dev libpng-dev
  libturbojpeg0:i386
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
