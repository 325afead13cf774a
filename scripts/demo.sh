#!/usr/bin/env bash
# Runs Kestrane's main job here: builds kestrane.exe, provisions a Wine
# prefix from examples/location.reg, starts a local FTP server and docks the
# stand-in handheld, runs the job on a virtual display, and shows the log,
# the files that arrived and a screenshot (build/demo/screenshot.png).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)"
exec /usr/bin/python3 scripts/demo.py
