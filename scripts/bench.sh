#!/usr/bin/env bash
# Runs Kestrane's benchmarks and prints their figures; BENCHMARKS.md says
# what each one measures and what it showed.
#
#   scripts/bench.sh [upload|memory|wine|all]    (default: all)
#   scripts/bench.sh locations
#   scripts/bench.sh soak [SECONDS]              (default: 600)
#
#   upload  the upload build over a 100 MB staging file against a durable copy,
#           with the build's breakdown, on the disk and in memory (tmpfs)
#   memory  peak memory of the build and of the pull for 10 MiB, 100 MiB, 1 GiB
#   wine    the pull of 100 MiB and the whole job for 1 MiB, under Wine, the
#           latter in plain FTP, FTP over explicit TLS and FTP over implicit
#           TLS, each with the FTP server answering at once and 50 ms late
#   locations  100, 300 and 1000 locations sending at once, each run with the
#           retries' random spread and without, to an FTP server on loopback
#           that admits 20 sessions at once, answering at once and 50 ms
#           late: what was delivered, what stayed pending, when, and the most
#           sessions the server held (a minute or two per run: the retries
#           wait real seconds)
#   soak    the unit tests' random days (tests/unit/random_days_test.cpp) on
#           new seeds until SECONDS have passed: how many days and runs were
#           simulated, and the command that replays a failing seed
#
# Temporary files go under $TMPDIR (default /tmp); the memory run needs about
# 2.3 GB free there, the locations run about 2.5 GB.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-all}
tmp=${TMPDIR:-/tmp}
cd "$repo"

build_native() {
  cmake --preset native >/dev/null
  cmake --build --preset native --target kestrane_benchmarks peak_memory >/dev/null
}

run_upload() {
  build_native
  local benchmark=(build/native/bench/kestrane_benchmarks --benchmark_repetitions=9 --benchmark_counters_tabular=true)
  echo "On the disk of $tmp:"
  "${benchmark[@]}"
  # In memory a flush and a removal cost next to nothing: the CPU dominates.
  if [[ -d /dev/shm ]]; then
    echo "In memory (tmpfs, /dev/shm), where the CPU and not the disk dominates:"
    TMPDIR=/dev/shm "${benchmark[@]}"
  fi
}

run_memory() {
  build_native
  local free_kib
  free_kib=$(df -Pk "$tmp" | awk 'NR == 2 { print $4 }')
  if ((free_kib < 2500000)); then
    echo "bench.sh: the memory run needs about 2.3 GB free in $tmp" >&2
    exit 1
  fi
  local peak=build/native/bench/peak_memory folder
  for mib in 10 100 1024; do
    folder=$(mktemp -d "$tmp/kestrane-peak-XXXXXX")
    "$peak" staging "$folder" "$mib"
    "$peak" build "$folder"
    rm -rf "$folder"
    folder=$(mktemp -d "$tmp/kestrane-peak-XXXXXX")
    "$peak" pull "$folder" "$mib"
    rm -rf "$folder"
  done
}

run_wine() {
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target kestrane rapi operator >/dev/null
  /usr/bin/python3 bench/whole_job.py --size-mib 100 --runs 5
  local latency tls
  for latency in 0 50; do
    for tls in "" explicit implicit; do
      /usr/bin/python3 bench/whole_job.py --size-mib 1 --runs 11 --latency-ms "$latency" ${tls:+--tls "$tls"}
    done
  done
}

run_locations() {
  cmake --preset native >/dev/null
  cmake --build --preset native --target many_locations >/dev/null
  # Each location holds a few descriptors at once: its control and data
  # connections, an abort pipe for each, its files.
  local most=1000
  local need=$((8 * most + 256))
  if (($(ulimit -n) < need)) && ! ulimit -n "$need"; then
    echo "bench.sh: $most locations need about $need open files; the hard limit is $(ulimit -Hn)" >&2
    exit 1
  fi
  local latency locations jitter
  for latency in 0 50; do
    for locations in 100 300 "$most"; do
      for jitter in on off; do
        build/native/bench/many_locations --locations "$locations" --max-connections 20 --jitter "$jitter" \
          --latency-ms "$latency"
      done
    done
  done
}

run_soak() {
  local seconds=$1
  cmake --preset native >/dev/null
  cmake --build --preset native --target kestrane_unit_tests >/dev/null
  # Seeds the fixed range of the unit tests never reaches, new each time.
  local first=$((1000000 + $(date +%s) % 1000000 * 100000))
  KESTRANE_SOAK_SECONDS=$seconds KESTRANE_SOAK_FIRST_SEED=$first \
    build/native/tests/unit/kestrane_unit_tests --gtest_filter='RandomDays.*' --gtest_brief=1
}

case $what in
  upload) run_upload ;;
  memory) run_memory ;;
  wine) run_wine ;;
  locations) run_locations ;;
  soak) run_soak "${2:-600}" ;;
  all) run_upload; run_memory; run_wine ;;
  *) echo "usage: scripts/bench.sh [upload|memory|wine|all] | locations | soak [SECONDS]" >&2; exit 2 ;;
esac
