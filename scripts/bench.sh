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
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
# portkick.exe as the release builds it, for its size only.
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target portkick

mkdir -p docs
# sim/ holds the simulated board's driver, as for the tests.
PYTHONPATH=sim PYTHONDONTWRITEBYTECODE=1 python3 bench/bench.py --build build-native --build-win build-win \
    --out docs/benchmarks.md --command "scripts/bench.sh${*:+ $*}" "$@"
