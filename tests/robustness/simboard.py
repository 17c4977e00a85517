"""What the robustness tests share: the simulated board as a process, the
built portkick run against it with the real avrdude, and Intel HEX files.

Paths come from the environment that ctest sets: PORTKICK (the POSIX build),
PORTKICK_BOARD (the simulated board), PORTKICK_TOOLS (the directory holding
the avrdude.exe wrapper) and PORTKICK_FIRMWARE (the sample firmware.hex)."""
import os
import shutil
import subprocess
import time

PORTKICK = os.environ["PORTKICK"]
BOARD = os.environ["PORTKICK_BOARD"]
TOOLS = os.environ["PORTKICK_TOOLS"]
FIRMWARE = os.environ["PORTKICK_FIRMWARE"]

FLASH_SIZE = 32 * 1024
PAGE = 128
# What the board's application may occupy; the top 4 KiB hold the bootloader.
APPLICATION_SIZE = FLASH_SIZE - 4 * 1024


def require_avrdude():
    real = os.environ.get("AVRDUDE", "avrdude")
    if shutil.which(real) is None:
        raise RuntimeError("the real avrdude (%s) is not installed: run scripts/deps.sh flash" % real)


class Board:
    """One simulated board: its application port is `name` in `directory`;
    its flash image and its event log are files in `root`."""

    def __init__(self, root, *options, name="COM5", directory=None):
        self.dir = directory or os.path.join(root, "dev")
        os.makedirs(self.dir, exist_ok=True)
        self.flash_path = os.path.join(root, "flash.bin")
        self.events_path = os.path.join(root, "events")
        self.stderr_path = os.path.join(root, "board.err")
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(
                [BOARD, "--dir", self.dir, "--name", name, "--flash-out", self.flash_path,
                 "--events", self.events_path, *options],
                stdout=subprocess.PIPE, stderr=stderr)
        if self.process.stdout.readline() != b"ready\n":
            self.stop()
            raise RuntimeError("the simulated board did not start: " + self.board_errors())

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()

    def board_errors(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def events(self):
        """The board's event log as (nanoseconds, words) pairs."""
        try:
            with open(self.events_path) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        return [(int(stamp), rest.split()) for stamp, rest in
                (line.split(" ", 1) for line in lines if " " in line)]

    def count(self, event):
        return sum(1 for _, words in self.events() if words[0] == event)

    def wait_for(self, event, count, timeout=15):
        """Waits until `event` has been logged `count` times."""
        deadline = time.monotonic() + timeout
        while self.count(event) < count:
            if time.monotonic() > deadline:
                raise AssertionError("the board logged %r %d times, not %d, within %g s; log:\n%s"
                                     % (event, self.count(event), count, timeout,
                                        "\n".join(" ".join(w) for _, w in self.events())))
            time.sleep(0.01)

    def flash(self):
        with open(self.flash_path, "rb") as f:
            return f.read()


def environment(device_dir, *path_first):
    """portkick's environment: the device directory, and PATH with the given
    directories, then the avrdude.exe wrapper, in front."""
    path = os.pathsep.join([*path_first, TOOLS, os.environ.get("PATH", "")])
    return dict(os.environ, PORTKICK_DEVICE_DIR=device_dir, PATH=path)


def run_portkick(work, device_dir, *path_first, port="COM5", timeout=120):
    return subprocess.run([PORTKICK, port], cwd=work, env=environment(device_dir, *path_first),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)


def success_lines(app, boot):
    return [b"[INFO] Triggered 1200bps reset on " + app.encode(),
            b"[INFO] Waiting for bootloader COM port...",
            b"[INFO] New port detected: " + boot.encode(),
            b"[INFO] Running: avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P " + boot.encode()
            + b" -U flash:w:./firmware.hex:i",
            b"[INFO] Flash successful!"]


def shim(directory, body):
    """Writes an avrdude.exe shell script into `directory`."""
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "avrdude.exe")
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, 0o755)
    return path


# Intel HEX

def hex_text(sections):
    """Intel HEX for {address: bytes}, 16 data bytes a record."""
    lines = []
    for base, data in sorted(sections.items()):
        for offset in range(0, len(data), 16):
            chunk = data[offset:offset + 16]
            address = base + offset
            record = bytes([len(chunk), address >> 8, address & 0xFF, 0]) + chunk
            lines.append(":%s%02X" % (record.hex().upper(), -sum(record) & 0xFF))
    lines.append(":00000001FF")
    return "\n".join(lines) + "\n"


def hex_bytes(path):
    """{address: byte} of an Intel HEX file (data, end and extended address
    records), checking every record's checksum."""
    memory = {}
    upper = 0
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            if not line.startswith(":"):
                raise ValueError("%s:%d: not a record" % (path, number))
            record = bytes.fromhex(line[1:])
            if sum(record) & 0xFF or len(record) != record[0] + 5:
                raise ValueError("%s:%d: bad record" % (path, number))
            kind, data = record[3], record[4:-1]
            address = record[1] << 8 | record[2]
            if kind == 0:
                for i, byte in enumerate(data):
                    memory[upper + address + i] = byte
            elif kind == 1:
                break
            elif kind == 2:
                upper = int.from_bytes(data, "big") << 4
            elif kind == 4:
                upper = int.from_bytes(data, "big") << 16
    return memory


def image_problems(image, before, written):
    """How the board's flash `image` differs from `before` with the bytes
    `written` ({address: byte}) programmed on top, without a chip erase.
    Bytes that the file leaves out of a page it writes may keep their old
    value or read as erased (0xFF). Returns a list of descriptions."""
    if len(image) != FLASH_SIZE:
        return ["the flash image holds %d bytes" % len(image)]
    pages = {address // PAGE for address in written}
    problems = []
    for address in range(FLASH_SIZE):
        got = image[address]
        if address in written:
            ok = got == written[address]
            want = "%02X from the file" % written[address]
        elif address // PAGE in pages:
            ok = got in (before[address], 0xFF)
            want = "%02X or FF" % before[address]
        else:
            ok = got == before[address]
            want = "%02X as before" % before[address]
        if not ok:
            problems.append("0x%04X: %02X, expected %s" % (address, got, want))
    return problems
