#!/usr/bin/env bash
# Benchmarks portkick against the simulated board with the real avrdude: the
# cost of a scan of the ports and of the touch's look under loads, listings,
# how fast the bootloader's port is found, portkick's own share of a flash, a
# run alone, the cost of waiting out the timeout, and the sizes of portkick
# and of portkick.exe as released, checked against their goals. Every flash
# writes random firmware and is checked byte for byte. Prints the figures and
# writes them into docs/benchmarks.md, whose prose says what they are. Takes
# about 7 minutes; needs root for the loads of descriptors, and installs what
# it needs when run as root. Arguments go to bench/bench.py (--help): fewer
# measurements, or a second portkick whose run alone is measured beside:
#   scripts/bench.sh --runs 5 --alone 3 --scans 200 --touches 5 --listings 20 --timeouts 1
#   scripts/bench.sh --baseline PATH/TO/OTHER/portkick
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build rig flash python cross

jobs=$(nproc)
cmake --preset posix >/dev/null
cmake --build --preset posix -j"$jobs" --target portkick portkick-board portkick-measure
# portkick.exe as the release builds it, for its size only.
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target portkick

# sim/ holds the simulated board's driver.
PYTHONPATH=sim PYTHONDONTWRITEBYTECODE=1 exec python3 bench/bench.py "$@"
