#!/usr/bin/env bash
# The soak: N flashes (default 150) of random firmware through portkick and
# the real avrdude on the simulated board, each checked byte for byte against
# the board's flash: two thirds in a row on one board, the rest on new boards
# with random enumeration delays, two at a time. Prints the figures, writes
# them into docs/soak.md (whose prose says what they are), and exits 1 if any
# flash failed. PORTKICK_SOAK_SEED repeats a run's firmware and delays.
# Installs what it needs when run as root.
#   scripts/soak.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build flash python

cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target portkick portkick-board

mkdir -p docs
PYTHONPATH=sim PYTHONDONTWRITEBYTECODE=1 exec python3 bench/soak.py --build build-native --out docs/soak.md --runs "${1:-150}" \
    --command "scripts/soak.sh${1:+ $1}"
