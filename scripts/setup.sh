#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the demo and the
# tests need and this machine lacks, and unpacks the FTP servers of the
# interop scenarios. Safe to run again: it only installs what is missing.
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
  libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23 openssl   # ProFTPD, Pure-FTPd (below)
  nsis                                 # the Windows installer
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [[ $(id -u) -ne 0 ]]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The FTP servers of the interop scenarios. Debian's FTP server packages
# conflict with one another (each provides ftp-server) and each would set up
# a system service, so their programs are unpacked here instead, for the
# end-to-end rig to start (tests/e2e/debian_ftp_servers.py).
servers=$(cd "$(dirname "$0")/.." && pwd)/build/ftp-servers
if [[ ! -x $servers/usr/sbin/proftpd || ! -x $servers/usr/sbin/pure-ftpd || ! -x $servers/usr/bin/pure-pw ]]; then
  echo "Unpacking ProFTPD and Pure-FTPd into $servers"
  debs=$(mktemp -d)
  if ! (cd "$debs" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" proftpd-core pure-ftpd 2>/dev/null); then
    $sudo apt-get update -qq
    (cd "$debs" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" proftpd-core pure-ftpd)
  fi
  mkdir -p "$servers"
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$servers"
  done
  rm -rf "$debs"
fi
