#!/usr/bin/env bash
# The demo: flashes demo/firmware.hex into a simulated board with the real
# avrdude, the way `portkick COM5` flashes a real one.
#
# Builds portkick and the simulated board into build/ (the preset "posix"),
# starts a board whose port is COM5 (its bootloader comes up as COM6) in a
# temporary device
# directory, and runs `portkick COM5` in a temporary directory holding
# firmware.hex, with portkick's and avrdude's output shown as it comes. Then
# says in one line whether the board's flash now holds the file, and exits
# with portkick's status. As root on a fresh Debian machine it first installs
# what it lacks (CMake, g++, GoogleTest, avrdude). Leaves nothing behind but
# build/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

scripts/deps.sh build rig flash

echo "demo: building portkick and the simulated board"
cmake --preset posix >/dev/null
cmake --build --preset posix -j"$(nproc)" --target portkick portkick-board >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/portkick-demo.XXXXXX")
board_pid=
cleanup() {
    if [ -n "$board_pid" ]; then
        kill "$board_pid" 2>/dev/null || true
        wait "$board_pid" 2>/dev/null || true
    fi
    # The turn that the run took over the device directory.
    if [ -d "$work/dev" ]; then
        for locks in /run/lock /var/lock /tmp; do rm -f "$locks/portkick-$(stat -c %d-%i "$work/dev")"; done
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mkdir "$work/dev" "$work/run"
cp demo/firmware.hex "$work/run/"
build/sim/portkick-board --dir "$work/dev" --name COM5 --boot-name COM6 \
    --flash-out "$work/flash.bin" --events "$work/events" >"$work/board.out" &
board_pid=$!
for _ in $(seq 200); do
    grep -qx ready "$work/board.out" 2>/dev/null && break
    kill -0 "$board_pid" 2>/dev/null || { echo "demo: the simulated board did not start" >&2; exit 1; }
    sleep 0.05
done
grep -qx ready "$work/board.out" || { echo "demo: the simulated board did not come up" >&2; exit 1; }
echo "demo: a simulated board is on COM5 (in $work/dev); flashing it"
echo "\$ portkick COM5"

status=0
(cd "$work/run" && PORTKICK_DEVICE_DIR="$work/dev" PATH="$repo/tools:$PATH" "$repo/build/portkick" COM5) \
    || status=$?

# The board writes out its flash when its bootloader session ends.
if grep -q ' boot-appeared ' "$work/events"; then
    for _ in $(seq 200); do
        grep -q ' boot-vanished' "$work/events" && break
        sleep 0.05
    done
fi
# The file as a 32 KiB flash image (it starts at address 0; unused bytes are
# erased flash, 0xFF).
if objcopy -I ihex -O binary --gap-fill 0xff --pad-to 0x8000 demo/firmware.hex "$work/expected.bin" \
    2>/dev/null && cmp -s "$work/expected.bin" "$work/flash.bin"; then
    echo "demo: the board's flash now matches demo/firmware.hex"
else
    echo "demo: the board's flash does NOT match demo/firmware.hex"
fi
exit "$status"
