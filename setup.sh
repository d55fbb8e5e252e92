#!/usr/bin/env bash
# Installs everything the build, the tests and the cross build need on Debian 12.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

packages=(
  cmake ninja-build g++ gcc make pkg-config binutils
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libstb-dev
  libopenblas-dev
  libflatbuffers-dev flatbuffers-compiler
  libarmnn-dev libarmnntfliteparser-dev libarmnn-cpuref-backend22
  qemu-user g++-aarch64-linux-gnu
  curl python3 wrk clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # Recommends stay on: the arm64 C library for the cross compiler is one.
  $SUDO apt-get install -y -q "${missing[@]}"
fi
echo "setup: all packages present"
