#!/usr/bin/env bash
# Benchmarks portkick against the simulated board with the real avrdude:
# scan cost, how fast the bootloader's port is found, portkick's own share of
# a flash, the cost of waiting out the timeout, and the sizes of portkick and
# of portkick.exe as released, checked against their goals. Prints the
# figures and writes them into docs/benchmarks.md, whose prose says what they
# are. Takes a few minutes; installs what it needs when run as root.
# Arguments go to bench/bench.py: fewer runs with e.g.
#   scripts/bench.sh --runs 10 --scans 200 --timeouts 1
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build flash python cross

jobs=$(nproc)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPORTKICK_BENCH=ON -DPORTKICK_TESTS=OFF >/dev/null
# portkick-com-name only because `cmake --install` (for the sizes) installs it.
cmake --build build-bench -j"$jobs" --target portkick portkick-com-name \
    portkick-board portkick-scan-bench avrdude-stamp portkick-rusage
# portkick.exe as the release builds it, for its size only.
cmake -S . -B build-bench-win -DCMAKE_BUILD_TYPE=Release -DPORTKICK_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build-bench-win -j"$jobs" --target portkick

mkdir -p docs
# sim/ holds the simulated board's driver, as for the tests.
PYTHONPATH=sim PYTHONDONTWRITEBYTECODE=1 python3 bench/bench.py --build build-bench --build-win build-bench-win \
    --out docs/benchmarks.md --command "scripts/bench.sh${*:+ $*}" "$@"
