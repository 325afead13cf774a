#!/usr/bin/env bash
# Runs every test of Kestrane on a Debian machine, installing what is missing:
#   1. the portable core's unit tests, natively;
#   2. the same tests under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the Windows builds, 32-bit (the shipped programs) and 64-bit, and under
#      Wine on a virtual display: the Windows layers' own tests of both, and
#      the end-to-end scenarios of the real 32-bit kestrane.exe. Where this
#      machine cannot run 32-bit programs (see scripts/setup.sh), the
#      scenarios run against the 64-bit kestrane.exe instead, and say so;
#   4. meanwhile, the fuzzers, each for a bounded time (KESTRANE_FUZZ_SECONDS,
#      default 80: beside the Wine tests a fuzzer has about four fifths of a
#      core, so it runs as many inputs as in 60 s of a core of its own).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
fuzz_seconds=${KESTRANE_FUZZ_SECONDS:-80}

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

step "Fuzzers: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
# Runs one fuzzer for fuzz_seconds; fails when it found a failing input, or
# did not run to its end. New inputs go to a scratch corpus; the kept seeds
# are only read.
fuzz_one() {
  local name=$1 seeds=$2 scratch output status=0 failing
  scratch=$(mktemp -d)
  output=$(mktemp)
  (cd "$scratch" && nice -n 19 "$OLDPWD/build/fuzz/fuzz/$name" -max_total_time="$fuzz_seconds" \
     -print_final_stats=1 "$scratch" "$OLDPWD/$seeds") >"$output" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|Done|==[0-9]+== ERROR)' "$output" | sed "s/^/$name: /" || true
  failing=$(find "$scratch" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \) -print)
  if ((status != 0)) || [[ -n $failing ]]; then
    echo "$name failed (exit status $status)${failing:+, with failing inputs:}"
    [[ -z $failing ]] || echo "$failing"
    tail -n 20 "$output"
    rm -f "$output"
    return 1
  fi
  rm -rf "$scratch" "$output"
}
run_fuzzers() {
  local fuzzer failed=0
  for fuzzer in settings_decoder_fuzz:settings upload_lines_fuzz:upload ftp_replies_fuzz:ftp_replies; do
    fuzz_one "${fuzzer%%:*}" "fuzz/corpus/${fuzzer##*:}" || failed=1
  done
  return "$failed"
}

for preset in windows windows64; do
  step "Windows build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done

# The Wine scenarios spend most of their time waiting for the program (its
# 5 s start, the handheld, the servers), so twice as many run at once as
# there are cores. They leave most of a core idle on two: the fuzzers run in
# it meanwhile, one after another at the lowest priority, so that the
# scenarios' own timing is not pressed (fuzz_seconds allows for the share of
# a core that each fuzzer gets).
fuzz_log=$(mktemp)
run_fuzzers >"$fuzz_log" 2>&1 &
fuzz_pid=$!
# A failing step ends the run; the fuzzers end with it.
stop_tree() {
  local child
  for child in $(pgrep -P "$1"); do stop_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
trap 'stop_tree "$fuzz_pid"' EXIT

pytest=(/usr/bin/python3 -m pytest -n "$((2 * jobs))" -p no:cacheprovider -q)
windows_layers=(tests/e2e/test_windows_layers.py tests/e2e/test_ftp_client.py tests/e2e/test_tls_transport.py
                tests/e2e/test_schannel_ftp.py)
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  step "Under Wine, with the fuzzers (${fuzz_seconds} s each) beside: the 32-bit Windows layers and the end-to-end scenarios"
  "${pytest[@]}" tests/e2e
  step "Under Wine: the 64-bit Windows layers"
  KESTRANE_BUILD_DIR=build/windows64 "${pytest[@]}" "${windows_layers[@]}"
else
  step "Under Wine, with the fuzzers (${fuzz_seconds} s each) beside: the 64-bit Windows layers and the end-to-end scenarios"
  echo "This machine cannot run 32-bit programs: the shipped 32-bit build is built, and not run."
  KESTRANE_BUILD_DIR=build/windows64 "${pytest[@]}" tests/e2e
fi

step "Fuzzing: the results"
fuzz_status=0
wait "$fuzz_pid" || fuzz_status=$?
trap - EXIT
cat "$fuzz_log"
rm -f "$fuzz_log"
((fuzz_status == 0)) || exit 1

step "Done"
