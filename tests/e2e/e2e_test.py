"""End-to-end runs of portkick on its POSIX layer against the simulated board,
with the real avrdude behind tools/avrdude.exe.

Each run gets a fresh temporary directory: dev/ is the device directory the
board links its ports into, run/ is portkick's working directory holding
firmware.hex, bin/ holds the avrdude.exe that portkick finds first on PATH.
That avrdude.exe is either a recorder around tools/avrdude.exe (the real
avrdude; it keeps its status and standard error so that the test can tell
avrdude's output from portkick's) or a stand-in that only notes its
arguments, for runs whose new port is not a bootloader.

The environment names the programs: PORTKICK, PORTKICK_BOARD,
PORTKICK_TOOLS (the directory holding avrdude.exe) and PORTKICK_DEMO_HEX.
Run one group with e.g. `python3 e2e_test.py -v FlashTest`.
"""

import os
import random
import select
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

PORTKICK = os.environ.get("PORTKICK", "")
BOARD = os.environ.get("PORTKICK_BOARD", "")
TOOLS = os.environ.get("PORTKICK_TOOLS", "")
DEMO_HEX = os.environ.get("PORTKICK_DEMO_HEX", "")

FLASH_SIZE = 32 * 1024
PAGE_SIZE = 128
BLANK = bytes([0xFF]) * FLASH_SIZE
TIMEOUT_LINE = "[ERROR] Timeout: No new COM port detected.\n"


def setUpModule():
    missing = [name for name, path in (("PORTKICK", PORTKICK), ("PORTKICK_BOARD", BOARD),
                                       ("PORTKICK_DEMO_HEX", DEMO_HEX))
               if not os.path.isfile(path)]
    if not os.path.isfile(os.path.join(TOOLS, "avrdude.exe")):
        missing.append("PORTKICK_TOOLS")
    if missing:
        raise RuntimeError("set these to existing files: " + ", ".join(missing))
    if shutil.which("avrdude") is None:
        raise RuntimeError("the real avrdude is not on PATH (Debian package avrdude)")


def parse_ihex(text):
    """Returns {byte address: value} for an Intel HEX text."""
    memory = {}
    base = 0
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line:
            continue
        if not line.startswith(":"):
            raise ValueError(f"line {number}: no start code")
        record = bytes.fromhex(line[1:])
        count, offset, kind = record[0], int.from_bytes(record[1:3], "big"), record[3]
        data = record[4:-1]
        if len(data) != count or sum(record) & 0xFF:
            raise ValueError(f"line {number}: wrong length or checksum")
        if kind == 0:
            for i, value in enumerate(data):
                memory[base + offset + i] = value
        elif kind == 1:
            return memory
        elif kind == 2:
            base = int.from_bytes(data, "big") << 4
        elif kind == 4:
            base = int.from_bytes(data, "big") << 16
    raise ValueError("no end-of-file record")


def make_ihex(start, data):
    """Intel HEX text for `data` at byte address `start` (below 64 KiB)."""
    lines = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        record = bytes([len(chunk)]) + (start + at).to_bytes(2, "big") + b"\0" + chunk
        record += bytes([-sum(record) & 0xFF])
        lines.append(":" + record.hex().upper())
    lines.append(":00000001FF")
    return "\n".join(lines) + "\n"


def overlay(image, memory):
    flash = bytearray(image)
    for address, value in memory.items():
        flash[address] = value
    return bytes(flash)


class Rig:
    """One simulated board in its own device directory, and the portkick
    runs made against it."""

    def __init__(self, test, *board_args, avrdude="real"):
        self.test = test
        self.root = tempfile.mkdtemp(prefix="portkick-e2e-")
        test.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.dev = self.path("dev")
        self.run_dir = self.path("run")
        self.bin = self.path("bin")
        for directory in (self.dev, self.run_dir, self.bin):
            os.mkdir(directory)
        self.write_avrdude(avrdude)
        shutil.copy(DEMO_HEX, self.path("run", "firmware.hex"))
        self.portkick = None

        with open(self.path("board.err"), "wb") as board_err:
            self.board = subprocess.Popen(
                [BOARD, "--dir", self.dev, "--flash-out", self.path("flash.bin"),
                 "--events", self.path("events"), *board_args],
                stdout=subprocess.PIPE, stderr=board_err)
        test.addCleanup(self.stop_board)
        ready, _, _ = select.select([self.board.stdout], [], [], 10)
        line = self.board.stdout.readline() if ready else b""
        test.assertEqual(line, b"ready\n", "the board did not come up")

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write_avrdude(self, kind):
        q = shlex.quote
        if kind == "real":
            body = (f"{q(os.path.join(TOOLS, 'avrdude.exe'))} \"$@\" 2>{q(self.path('avrdude.err'))}\n"
                    "status=$?\n"
                    f"cat {q(self.path('avrdude.err'))} >&2\n"
                    f"echo $status >{q(self.path('avrdude.status'))}\n"
                    "exit $status\n")
        else:
            body = f"printf '%s\\n' \"$@\" >{q(self.path('avrdude.args'))}\n"
        script = self.path("bin", "avrdude.exe")
        with open(script, "w") as out:
            out.write("#!/bin/sh\n" + body)
        os.chmod(script, 0o755)

    def stop_board(self):
        if self.portkick is not None:
            # portkick leads its own process group, with avrdude in it.
            try:
                os.killpg(self.portkick.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.portkick.wait()
        self.board.send_signal(signal.SIGTERM)
        try:
            status = self.board.wait(10)
        finally:
            if self.board.poll() is None:
                self.board.kill()
                self.board.wait()
            self.board.stdout.close()
        self.test.assertEqual(status, 0, "the board's exit status")
        self.test.assertEqual(os.listdir(self.dev), [], "links left behind")

    # portkick

    def start(self, argument="COM5"):
        env = dict(os.environ, PORTKICK_DEVICE_DIR=self.dev,
                   PATH=self.bin + os.pathsep + os.environ.get("PATH", ""))
        for name in ("avrdude.status", "avrdude.err", "avrdude.args", "out", "err"):
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
        with open(self.path("out"), "wb") as out, open(self.path("err"), "wb") as err:
            self.started = time.monotonic()
            self.portkick = subprocess.Popen([PORTKICK, argument], cwd=self.run_dir, env=env,
                                             stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                             start_new_session=True)

    def finish(self, timeout=60):
        """Waits for portkick; returns (status, stdout, stderr, seconds)."""
        deadline = time.monotonic() + timeout
        while self.portkick.poll() is None:
            if time.monotonic() > deadline:
                self.test.fail(f"portkick still running after {timeout} s")
            time.sleep(0.01)
        seconds = time.monotonic() - self.started
        return self.portkick.returncode, self.read("out"), self.read("err"), seconds

    def flash(self, argument="COM5"):
        self.start(argument)
        return self.finish()

    # what the board and avrdude left

    def read(self, name):
        with open(self.path(name), encoding="utf-8", errors="replace") as file:
            return file.read()

    def avrdude_status(self):
        path = self.path("avrdude.status")
        return int(self.read("avrdude.status")) if os.path.exists(path) else None

    def events(self):
        """[(seconds, kind, argument)] from the board's event log."""
        result = []
        for line in self.read("events").splitlines():
            ns, kind, *argument = line.split()
            result.append((int(ns) / 1e9, kind, argument[0] if argument else None))
        return result

    def event_time(self, kind, argument=None, nth=1):
        times = [t for t, k, a in self.events() if k == kind and (argument is None or a == argument)]
        return times[nth - 1] if len(times) >= nth else None

    def wait_for_event(self, kind, nth=1, timeout=15):
        """Waits until the board has logged `kind` `nth` times."""
        deadline = time.monotonic() + timeout
        while self.event_time(kind, nth=nth) is None:
            if time.monotonic() > deadline:
                self.test.fail(f"the board never logged {kind} #{nth}: {self.events()}")
            time.sleep(0.02)

    def flash_image(self):
        with open(self.path("flash.bin"), "rb") as file:
            return file.read()


def info_lines(stdout):
    return [line for line in stdout.splitlines() if line.startswith("[INFO] ")]


def expected_info(boot="COM6", app="COM5"):
    return [
        f"[INFO] Triggered 1200bps reset on {app}",
        "[INFO] Waiting for bootloader COM port...",
        f"[INFO] New port detected: {boot}",
        f"[INFO] Running: avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P {boot}"
        " -U flash:w:./firmware.hex:i",
        "[INFO] Flash successful!",
    ]


def run_together(rigs):
    """Starts portkick against every rig at once, returns their results."""
    for rig in rigs:
        rig.start()
    return [rig.finish() for rig in rigs]


class FlashTest(unittest.TestCase):
    def test_flash_writes_the_firmware_into_the_board(self):
        rig = Rig(self)
        # Opening and closing the port at its own speed, as every scan does,
        # leaves the board running.
        listing = subprocess.run([PORTKICK, "--list"], env=dict(os.environ, PORTKICK_DEVICE_DIR=rig.dev),
                                 capture_output=True, text=True, timeout=30)
        self.assertEqual(listing.stdout, "Available COM ports:\n  - COM5\n")
        time.sleep(0.5)
        self.assertNotIn("reset", [kind for _, kind, _ in rig.events()])

        status, stdout, stderr, _ = rig.flash()

        self.assertEqual(status, 0, stderr)
        self.assertEqual(info_lines(stdout), expected_info())
        lines = stdout.splitlines()
        self.assertEqual(lines[:4], expected_info()[:4], "avrdude's output comes after Running")
        self.assertEqual(lines[-1], expected_info()[-1])
        self.assertEqual(stderr, rig.read("avrdude.err"), "portkick wrote to stderr itself")
        self.assertEqual(rig.avrdude_status(), 0)
        rig.wait_for_event("boot-vanished")
        with open(DEMO_HEX) as hex_file:
            firmware = parse_ihex(hex_file.read())
        self.assertTrue(firmware)
        self.assertEqual(rig.flash_image(), overlay(BLANK, firmware))
        self.assertEqual([kind for _, kind, _ in rig.events()].count("reset"), 1)

    def test_avrdude_failure_is_reported_and_leaves_the_board_alone(self):
        rig = Rig(self)
        cases = [("firmware.hex is not Intel HEX", "this is not a hex file\n"),
                 ("firmware.hex is missing", None)]
        for round_number, (name, content) in enumerate(cases, 1):
            with self.subTest(name):
                firmware = rig.path("run", "firmware.hex")
                if content is None:
                    os.remove(firmware)
                else:
                    with open(firmware, "w") as out:
                        out.write(content)
                rig.wait_for_event("app-appeared", nth=round_number)

                status, stdout, stderr, _ = rig.flash()

                self.assertEqual(status, 1)
                self.assertEqual(info_lines(stdout), expected_info()[:4])
                avrdude_status = rig.avrdude_status()
                self.assertNotIn(avrdude_status, (None, 0))
                self.assertEqual(stderr, rig.read("avrdude.err") +
                                 f"[ERROR] avrdude failed with code {avrdude_status}\n")
                rig.wait_for_event("boot-vanished", nth=round_number)
                self.assertEqual(rig.flash_image(), BLANK)
        # Still a working board afterwards.
        rig.wait_for_event("app-appeared", nth=len(cases) + 1)
        shutil.copy(DEMO_HEX, rig.path("run", "firmware.hex"))
        status, stdout, stderr, _ = rig.flash()
        self.assertEqual(status, 0, stderr)
        self.assertEqual(info_lines(stdout), expected_info())


class TimeoutTest(unittest.TestCase):
    """Runs whose bootloader never shows as a new port 1 to 256. They are
    started together so that the suite waits for the timeout only once."""

    def test_no_usable_new_port_ends_in_timeout(self):
        cases = {
            "no bootloader": ("--no-bootloader",),
            "bootloader under the board's own name": ("--boot-name", "COM5"),
            "bootloader above COM256": ("--boot-name", "COM300"),
            "bootloader enumerates after 6 s": ("--enum-delay-ms", "6000"),
        }
        rigs = {name: Rig(self, *args) for name, args in cases.items()}
        results = run_together(rigs.values())

        for (name, rig), (status, stdout, stderr, seconds) in zip(rigs.items(), results):
            with self.subTest(name):
                self.assertEqual(status, 1)
                self.assertEqual(stderr, TIMEOUT_LINE)
                self.assertEqual(stdout.splitlines(), expected_info()[:2])
                self.assertGreaterEqual(seconds, 5.1, "100 polls of 50 ms after a 100 ms touch")
                self.assertLess(seconds, 15)
                self.assertFalse(os.path.exists(rig.path("avrdude.status")), "avrdude ran")
                self.assertIsNotNone(rig.event_time("reset"), "the board was not reset")
        # The faults did happen: the bootloader came up where it could not be seen.
        rigs["bootloader under the board's own name"].wait_for_event("boot-appeared")
        self.assertIsNotNone(rigs["bootloader under the board's own name"].event_time("boot-appeared", "COM5"))
        self.assertIsNotNone(rigs["bootloader above COM256"].event_time("boot-appeared", "COM300"))
        self.assertIsNone(rigs["no bootloader"].event_time("boot-appeared"))


class DetectionTest(unittest.TestCase):
    def test_late_or_crowded_bootloader_port_is_found(self):
        late = Rig(self, "--enum-delay-ms", "4500")
        crowded = Rig(self, "--boot-name", "COM9", "--extra-port", "COM10", avrdude="stand-in")
        (late_status, late_out, late_err, late_seconds), (status, stdout, stderr, _) = \
            run_together([late, crowded])

        with self.subTest("bootloader after 4.5 s"):
            self.assertEqual(late_status, 0, late_err)
            self.assertEqual(info_lines(late_out), expected_info())
            self.assertGreaterEqual(late.event_time("boot-appeared") - late.event_time("reset"), 4.5)
            self.assertGreaterEqual(late_seconds, 4.5)
            late.wait_for_event("boot-vanished")
            with open(DEMO_HEX) as hex_file:
                self.assertEqual(late.flash_image(), overlay(BLANK, parse_ihex(hex_file.read())))

        with self.subTest("COM9 and COM10 at once"):
            self.assertEqual(status, 0, stderr)
            self.assertEqual(info_lines(stdout), expected_info(boot="COM10"))
            self.assertEqual(stderr, "")
            self.assertIn("-P\nCOM10\n", crowded.read("avrdude.args"))


class RepeatTest(unittest.TestCase):
    def test_ten_flashes_in_a_row(self):
        rig = Rig(self)
        chance = random.Random(20240601)
        expected = BLANK
        for round_number in range(1, 11):
            with self.subTest(round=round_number):
                # Whole pages at changing places, so what each flash leaves
                # of the earlier ones is known.
                start = chance.randrange(0, 64) * PAGE_SIZE
                data = bytes(chance.randrange(256) for _ in range(chance.randrange(1, 24) * PAGE_SIZE))
                with open(rig.path("run", "firmware.hex"), "w") as out:
                    out.write(make_ihex(start, data))
                expected = overlay(expected, {start + i: value for i, value in enumerate(data)})
                rig.wait_for_event("app-appeared", nth=round_number)

                status, stdout, stderr, _ = rig.flash()

                self.assertEqual(status, 0, stderr[-2000:])
                self.assertEqual(info_lines(stdout), expected_info())
                rig.wait_for_event("boot-vanished", nth=round_number)
                self.assertEqual(rig.flash_image(), expected)


if __name__ == "__main__":
    unittest.main()
