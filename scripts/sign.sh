#!/usr/bin/env bash
# Makes a signed release: signs kestrane.exe and kestrane-location.exe with
# SHA-256 Authenticode, packs the installers from the signed programs, and
# signs the installers, all into an output folder. The build folder itself
# stays unsigned, as every build without a certificate is.
#
#   scripts/sign.sh --pfx FILE [--password-file FILE] [--timestamp URL]
#                   [--build-dir DIR] [--output DIR]
#
#   --pfx FILE            the code-signing certificate and its key (PKCS#12)
#   --password-file FILE  the file whose first line is the PFX's password;
#                         without it the PFX must have none
#   --timestamp URL       an RFC 3161 time-stamping service, so that the
#                         signatures stay valid after the certificate expires
#   --build-dir DIR       a Windows build to sign; by default the shipped
#                         32-bit build (build/windows), built first
#   --output DIR          where the signed files go (default build/signed)
#
# The password is handed to osslsigncode as a file, never on a command line.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  sed -n '/^#   scripts/,/^# The password/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

pfx="" password_file="" timestamp="" build_dir="" output="$repo/build/signed"
while (($#)); do
  case $1 in
    --pfx) pfx=${2:?}; shift 2 ;;
    --password-file) password_file=${2:?}; shift 2 ;;
    --timestamp) timestamp=${2:?}; shift 2 ;;
    --build-dir) build_dir=${2:?}; shift 2 ;;
    --output) output=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
[[ -n $pfx ]] || usage
[[ -r $pfx ]] || { echo "sign.sh: cannot read the certificate $pfx" >&2; exit 1; }
[[ -z $password_file || -r $password_file ]] || { echo "sign.sh: cannot read $password_file" >&2; exit 1; }

if [[ -z $build_dir ]]; then
  build_dir=$repo/build/windows
  (cd "$repo" && cmake --preset windows >/dev/null && cmake --build --preset windows -j"$(nproc)" >/dev/null)
fi
pack_script=$build_dir/pack_installers.cmake
[[ -f $pack_script ]] || { echo "sign.sh: $build_dir is no Windows build with its installers" >&2; exit 1; }

signing=(-pkcs12 "$pfx" -h sha256 -n Kestrane)
if [[ -n $password_file ]]; then
  signing+=(-readpass "$password_file")
fi
if [[ -n $timestamp ]]; then
  signing+=(-ts "$timestamp")
fi

# Signs file in place: osslsigncode writes a signed copy, which replaces it.
sign() {
  local file=$1
  osslsigncode sign "${signing[@]}" -in "$file" -out "$file.signing" >/dev/null
  mv -f "$file.signing" "$file"
  echo "signed $(basename "$file")"
}

mkdir -p "$output"
for program in kestrane.exe kestrane-location.exe; do
  cp -f "$build_dir/$program" "$output/$program"
  sign "$output/$program"
done
# Packed apart, so that only what is packed now is signed and handed over.
packed=$(mktemp -d)
trap 'rm -rf "$packed"' EXIT
cmake -DKESTRANE_EXE="$output/kestrane.exe" -DKESTRANE_LOCATION_EXE="$output/kestrane-location.exe" \
      -DOUTPUT_DIR="$packed" -P "$pack_script"
for installer in "$packed"/*; do
  sign "$installer"
  mv -f "$installer" "$output/"
done
