#!/usr/bin/env bash
# Runs Kestrane's main job here: builds kestrane.exe, provisions a Wine
# prefix from examples/location.reg, starts a local FTP server and docks the
# stand-in handheld, runs the job on a virtual display, and shows the log,
# the files that arrived and a screenshot (build/demo/screenshot.png).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
# The shipped programs are 32-bit. Where this machine cannot run 32-bit
# programs (see scripts/setup.sh), the demo runs the 64-bit build of them.
preset=windows
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  preset=windows64
  echo "This machine cannot run 32-bit programs: the demo runs the 64-bit build, build/$preset."
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
KESTRANE_BUILD_DIR=build/$preset exec /usr/bin/python3 scripts/demo.py
