#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks. Does nothing when everything is there.
set -euo pipefail

# The package tests (tests/package) also need clang (to read the public
# headers), Python, pkg-config, the binutils of both targets, and what CPack
# uses to make a Debian package (dpkg-shlibdeps, file).
packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev
          g++-mingw-w64-x86-64-posix wine wine64 time
          clang python3 pkg-config binutils binutils-mingw-w64-x86-64 dpkg-dev file
          libpng-dev) # libpng: ferryinfo draws its pictures with it
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
