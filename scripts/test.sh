#!/usr/bin/env bash
# Runs every test of Kestrane on a Debian machine, installing what is missing:
#   1. the portable core's unit tests, natively;
#   2. the same tests under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the fuzzers, each for a bounded time (KESTRANE_FUZZ_SECONDS, default 60);
#   4. the Windows builds, 32-bit (the shipped programs) and 64-bit, and under
#      Wine on a virtual display: the Windows layers' own tests of both, and
#      the end-to-end scenarios of the real 32-bit kestrane.exe. Where this
#      machine cannot run 32-bit programs (see scripts/setup.sh), the
#      scenarios run against the 64-bit kestrane.exe instead, and say so.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
fuzz_seconds=${KESTRANE_FUZZ_SECONDS:-60}

step() { printf '\n==== %s (%s, %d s in)\n' "$*" "$(date -u +%T)" "$SECONDS"; }

step "Installing what is missing"
scripts/setup.sh

step "Unit tests"
# The mutants' texts must still be in the sources, or the list has rotted.
/usr/bin/python3 scripts/mutants.py --check
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
ctest --preset native -j"$jobs"

step "Unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$jobs"
ctest --preset sanitize -j"$jobs"

step "Fuzzing, ${fuzz_seconds} s each, ${jobs} at a time"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
# Runs one fuzzer for fuzz_seconds; fails when it found a failing input. New
# inputs go to a scratch corpus; the kept seeds are only read.
fuzz_one() {
  local name=$1 seeds=$2 scratch
  scratch=$(mktemp -d)
  (cd "$scratch" && "$OLDPWD/build/fuzz/fuzz/$name" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
     "$scratch" "$OLDPWD/$seeds" 2>&1 | grep -E '^(stat::number_of_executed_units|Done|==[0-9]+== ERROR)' \
     | sed "s/^/$name: /" || true)
  local failing
  failing=$(find "$scratch" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \) -print)
  if [[ -n $failing ]]; then
    echo "$name found a failing input:"; echo "$failing"
    return 1
  fi
  rm -rf "$scratch"
}
# Each fuzzer is one process, and runs for a time rather than a number of
# inputs: as many run at once as there are cores, so that none gets less.
running=0 fuzz_failed=0
for fuzzer in settings_decoder_fuzz:settings upload_lines_fuzz:upload ftp_replies_fuzz:ftp_replies; do
  if ((running >= jobs)); then
    wait -n || fuzz_failed=1
    running=$((running - 1))
  fi
  fuzz_one "${fuzzer%%:*}" "fuzz/corpus/${fuzzer##*:}" &
  running=$((running + 1))
done
while ((running > 0)); do
  wait -n || fuzz_failed=1
  running=$((running - 1))
done
((fuzz_failed == 0)) || exit 1

for preset in windows windows64; do
  step "Windows build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done

pytest=(/usr/bin/python3 -m pytest -n "$jobs" -p no:cacheprovider -q)
windows_layers=(tests/e2e/test_windows_layers.py tests/e2e/test_ftp_client.py tests/e2e/test_tls_transport.py
                tests/e2e/test_schannel_ftp.py)
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  step "Under Wine: the 32-bit Windows layers and the end-to-end scenarios"
  "${pytest[@]}" tests/e2e
  step "Under Wine: the 64-bit Windows layers"
  KESTRANE_BUILD_DIR=build/windows64 "${pytest[@]}" "${windows_layers[@]}"
else
  step "Under Wine: the 64-bit Windows layers and the end-to-end scenarios"
  echo "This machine cannot run 32-bit programs: the shipped 32-bit build is built, and not run."
  KESTRANE_BUILD_DIR=build/windows64 "${pytest[@]}" tests/e2e
fi

step "Done"
