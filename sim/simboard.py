"""The simulated board (portkick-board, whose path PORTKICK_BOARD names)
driven from Python, and Intel HEX for its flash."""
import contextlib
import os
import select
import subprocess
import time

FLASH_SIZE = 32 * 1024
PAGE = 128
# What the board's application may occupy; the top 4 KiB hold the bootloader.
APPLICATION_SIZE = FLASH_SIZE - 4 * 1024
BLANK = b"\xff" * FLASH_SIZE


def forget_turn(directory):
    """Removes the lock file of the turn that portkick's runs over the device
    directory took (/run/lock/portkick-DEV-INO, or in /var/lock or /tmp), once they are over."""
    if os.path.isdir(directory):
        found = os.stat(directory)
        for locks in ("/run/lock", "/var/lock", "/tmp"):
            with contextlib.suppress(FileNotFoundError):
                os.remove("%s/portkick-%d-%d" % (locks, found.st_dev, found.st_ino))


class Board:
    """One simulated board. Its ports are links in `directory` (default
    root/dev); its flash image, event log and standard error are files in
    `root`."""

    def __init__(self, root, *options, name="COM5", directory=None):
        self.dir = directory or os.path.join(root, "dev")
        os.makedirs(root, exist_ok=True)
        os.makedirs(self.dir, exist_ok=True)
        self.flash_path = os.path.join(root, "flash.bin")
        self.events_path = os.path.join(root, "events")
        self.stderr_path = os.path.join(root, "board.err")
        given = dict(zip(options, options[1:]))
        # Its names; one that was in use before it started is not its own.
        in_use = set(os.listdir(self.dir))
        self.names = {name, given.get("--boot-name", "COM6"), given.get("--extra-port", name)} - in_use
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(
                [os.environ["PORTKICK_BOARD"], "--dir", self.dir, "--name", name,
                 "--flash-out", self.flash_path, "--events", self.events_path, *options],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        if not ready or self.process.stdout.readline() != b"ready\n":
            self.process.kill()
            self.process.wait()
            self.process.stdout.close()
            raise RuntimeError("the simulated board did not start: " + self.board_errors())

    def stop(self, check=True):
        """Stops the board with SIGTERM and returns its status; unless
        `check` is false, it must exit with status 0 and take its links
        with it."""
        if self.process.poll() is None:
            self.process.terminate()
        try:
            status = self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self.process.stdout.close()
        forget_turn(self.dir)
        links = os.listdir(self.dir) if os.path.isdir(self.dir) else []
        left = [link for link in links if link in self.names]
        if check and (status != 0 or left):
            raise AssertionError("the board ended with status %s, leaving %s\n%s"
                                 % (status, left, self.board_errors()))
        return status

    def board_errors(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def events(self):
        """The board's event log as (nanoseconds, event, argument or None)."""
        try:
            with open(self.events_path) as f:
                lines = f.read().split("\n")[:-1]
        except FileNotFoundError:
            return []
        return [(int(stamp), event, argument[0] if argument else None)
                for stamp, event, *argument in (line.split() for line in lines)]

    def wait_for(self, event, nth=1, timeout=15):
        """Waits until `event` has been logged `nth` times; returns the time
        stamp of that one."""
        deadline = time.monotonic() + timeout
        while True:
            stamps = [stamp for stamp, logged, _ in self.events() if logged == event]
            if len(stamps) >= nth:
                return stamps[nth - 1]
            if time.monotonic() > deadline:
                raise AssertionError("the board logged %r %d times, not %d, within %g s: %s"
                                     % (event, len(stamps), nth, timeout, self.events()))
            time.sleep(0.01)

    def flash(self):
        with open(self.flash_path, "rb") as f:
            return f.read()


def hex_text(sections):
    """Intel HEX for {address: bytes} below 64 KiB, 16 data bytes a record."""
    lines = []
    for base, data in sorted(sections.items()):
        for offset in range(0, len(data), 16):
            chunk = data[offset:offset + 16]
            address = base + offset
            record = bytes([len(chunk), address >> 8, address & 0xFF, 0]) + chunk
            lines.append(":%s%02X" % (record.hex().upper(), -sum(record) & 0xFF))
    lines.append(":00000001FF")
    return "\n".join(lines) + "\n"
