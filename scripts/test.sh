#!/usr/bin/env bash
# Builds portkick for POSIX and for Windows and runs every test: unit, the
# built binary, the simulated board with the real avrdude, the Windows zip
# under Wine, robustness, and the release packages. Installs what it needs
# when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build flash tests release

jobs=$(nproc)
# The builds are the presets of CMakePresets.json: build-win/ with the zip
# that the Wine test unpacks (its avrdude.exe built once, then cached: see
# scripts/avrdude.sh), then build/.
avrdude=$(scripts/avrdude.sh)
cmake --preset windows -DPORTKICK_AVRDUDE_DIR="$avrdude" >/dev/null
cmake --build --preset windows -j"$jobs" --target package
cmake --preset posix >/dev/null
cmake --build --preset posix -j"$jobs"
ctest --preset posix
