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
  g++-mingw-w64-i686-posix             # the Windows build: the shipped 32-bit programs
  g++-mingw-w64-x86-64-posix           # and the 64-bit ones
  wine wine64                          # running them here
  libc6:i386                           # telling whether this machine runs 32-bit code
  xvfb xauth imagemagick               # a virtual display and its screenshots
  python3-pyftpdlib python3-pytest python3-pytest-xdist   # the end-to-end rig
  python3-openssl                      # its FTP over TLS server (pyftpdlib's TLS handler)
  libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23 openssl   # ProFTPD, Pure-FTPd (below)
  nsis                                 # the Windows installer
  osslsigncode p7zip-full              # signing a release, and looking into a signed installer
  wixl msitools                        # the Windows Installer package, and reading it back
)

if [[ $(id -u) -ne 0 ]]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

updated=
install() {
  echo "Installing: $*"
  if [[ -z $updated ]]; then
    $sudo apt-get update -qq
    updated=yes
  fi
  $sudo apt-get install -y -qq "$@" >/dev/null
}

# Debian's 32-bit packages, such as wine32 and libc6:i386, need the i386
# architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
  if ! installed "$package"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} > 0)); then
  install "${missing[@]}"
fi

# Wine runs 32-bit programs with wine32, its i386 build, which runs only
# where this machine runs 32-bit code: some virtual machines cannot. There
# it would do harm, as Debian's wine command prefers the 32-bit loader and
# would then fail to start at all. The i386 dynamic loader tells which
# machine this is.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  if ! installed wine32:i386; then
    install wine32:i386
  fi
elif ! installed wine32:i386; then
  echo "This machine cannot run 32-bit code: wine32 is not installed, and the 32-bit programs are built but not run."
fi

# The FTP servers of the interop scenarios. Debian's FTP server packages
# conflict with one another (each provides ftp-server) and each would set up
# a system service, so their programs are unpacked here instead, for the
# end-to-end rig to start (tests/e2e/debian_ftp_servers.py). ProFTPD's FTP
# over TLS is a module of its own, mod_tls.so, in proftpd-mod-crypto; the rig
# loads it from here.
servers=$(cd "$(dirname "$0")/.." && pwd)/build/ftp-servers
server_packages=(proftpd-core proftpd-mod-crypto pure-ftpd)
if [[ ! -x $servers/usr/sbin/proftpd || ! -f $servers/usr/lib/proftpd/mod_tls.so ||
      ! -x $servers/usr/sbin/pure-ftpd || ! -x $servers/usr/bin/pure-pw ]]; then
  echo "Unpacking ProFTPD, its TLS module and Pure-FTPd into $servers"
  debs=$(mktemp -d)
  if ! (cd "$debs" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "${server_packages[@]}" 2>/dev/null); then
    $sudo apt-get update -qq
    (cd "$debs" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "${server_packages[@]}")
  fi
  mkdir -p "$servers"
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$servers"
  done
  rm -rf "$debs"
fi
