#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the demo and the
# tests need and this machine lacks. Safe to run again: it only installs
# what is missing.
set -euo pipefail

packages=(
  cmake g++ make                       # native build
  libgtest-dev libgmock-dev            # unit tests
  libbenchmark-dev                     # benchmarks
  clang libclang-rt-14-dev             # sanitizers and fuzzers
  g++-mingw-w64-x86-64-posix           # the Windows build
  wine wine64                          # running kestrane.exe here
  xvfb xauth imagemagick               # a virtual display and its screenshots
  python3-pyftpdlib python3-pytest python3-pytest-xdist   # the end-to-end rig
  nsis                                 # the Windows installer
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
