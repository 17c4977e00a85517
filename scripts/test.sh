#!/usr/bin/env bash
# Builds portkick for POSIX and for Windows and runs every test: unit, the
# built binary, the simulated board with the real avrdude, portkick.exe under
# Wine, robustness, and the release packages. Installs what it needs when run
# as root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build flash tests release

jobs=$(nproc)
# The builds are the presets of CMakePresets.json: build-win/, then build/.
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
cmake --preset posix >/dev/null
cmake --build --preset posix -j"$jobs"
ctest --preset posix
