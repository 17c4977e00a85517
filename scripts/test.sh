#!/usr/bin/env bash
# Builds portkick for POSIX and for Windows and runs every test: unit, the
# built binary, the simulated board with the real avrdude, portkick.exe under
# Wine, robustness, and the release packages. Installs what it needs when run
# as root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build flash tests release

jobs=$(nproc)
cmake -S . -B build-win -DPORTKICK_TESTS=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-win -j"$jobs"
cmake -S . -B build -DPORTKICK_TESTS=ON -DPORTKICK_EXE="$PWD/build-win/portkick.exe" >/dev/null
cmake --build build -j"$jobs"
cd build
ctest --output-on-failure --timeout 600
