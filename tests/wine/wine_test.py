"""portkick.exe under Wine (wine/winehost.py), checked byte for byte on both
streams with the exit status: the console behaviour, the flash sequence
against the simulated board with avrdude.exe from wine/avrdude in the
programmer's place, and a real flash through its relay to the host's avrdude.
Run one group with e.g. `python3 wine_test.py -v ConsoleTest`."""
import os
import random
import shutil
import sys
import tempfile
import unittest

import simboard
from simboard import success_lines
from winehost import SKIP_STATUS, Board, Relay, Session, windows_path

COMMAND = success_lines()[3].split(": ", 1)[1]
ARGS = COMMAND.split()[1:]
TIMEOUT_LINE = "[ERROR] Timeout: No new COM port detected."


def lines(*texts):
    """What reaches a file from the program's "\\n": the C runtime's text
    mode writes CR LF, as on Windows."""
    return b"".join(text.encode() + b"\r\n" for text in texts)


class WineTestCase(unittest.TestCase):
    """Runs portkick.exe in a directory of its own, with serial ports that
    the test links into dosdevices itself."""

    @classmethod
    def setUpClass(cls):
        cls.session = Session()
        cls.exe = simboard.required("PORTKICK_EXE")
        cls.wine_path = windows_path(os.path.dirname(simboard.required("PORTKICK_WINE_DOUBLE")))

    def setUp(self):
        self.assertEqual(self.session.port_links(), [], "an earlier test left serial ports behind")
        self.workdir = tempfile.mkdtemp(dir=self.session.root, prefix="work-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.addCleanup(lambda: [os.remove(os.path.join(self.session.dosdevices, name))
                                 for name in self.session.port_links()])

    def link_port(self, name, target=None):
        """A port; without a target, one that Wine opens as a serial line (a
        pty kept open on the master side)."""
        if target is None:
            master, slave = os.openpty()
            target = os.ttyname(slave)
            os.close(slave)
            self.addCleanup(os.close, master)
        os.symlink(target, os.path.join(self.session.dosdevices, name.lower()))

    def portkick(self, *args, env=None):
        return self.session.run(self.exe, args, self.workdir, env)

    def check(self, args, stdout, stderr, status):
        self.assertEqual(self.portkick(*args)[:3], (stdout, stderr, status), args)


class ConsoleTest(WineTestCase):
    def test_usage_listing_and_reset_failures(self):
        usage = lines("Usage:", "  portkick COMx     - reset and flash using COMx (e.g., COM3)",
                      "  portkick --list   - list available COM ports")
        self.check([], usage, b"", 1)
        self.check(["COM3", "--list"], usage, b"", 1)
        # The host has serial devices of its own; the namespace hides them.
        self.check(["--list"], lines("No COM ports found."), b"", 0)

        for name in ("COM1", "COM3", "COM10", "COM256", "COM257"):
            self.link_port(name)
        # A regular file opens like a port, but has no line settings.
        open(os.path.join(self.workdir, "file"), "wb").close()
        self.link_port("COM7", os.path.join(self.workdir, "file"))
        self.check(["--list"], lines("Available COM ports:", "  - COM1", "  - COM10", "  - COM256",
                                     "  - COM3", "  - COM7"), b"", 0)
        self.check(["COM99"], b"", lines("Failed to open port COM99"), 1)
        self.check(["--LIST"], b"", lines("Failed to open port --LIST"), 1)
        self.check(["COM7"], b"", lines("Error getting COM state."), 1)


class FlashTest(WineTestCase):
    def test_reset_detection_and_avrdude_run(self):
        """The 1200-baud touch through the real SetCommState, the search for
        the bootloader's port, and avrdude.exe run through the command
        processor, where the stand-in notes how it was called."""
        before = success_lines()[:4]
        said = lambda code: (*before, "avrdude double: exit status %d" % code)
        failed = lambda code: lines("[ERROR] avrdude failed with code %d" % code)
        # name, board options, avrdude.exe's status (None: not on the path), out, err, status
        cases = [
            ("success", [], 0, lines(*said(0), success_lines()[4]), b"", 0),
            ("avrdude fails", [], 1, lines(*said(1)), failed(1), 1),
            ("avrdude fails negative", [], -5, lines(*said(-5)), failed(-5), 1),
            ("no avrdude.exe", [], None, lines(*before), failed(9009), 1),
            ("no bootloader", ["--no-bootloader", "--boot-timeout-ms", "30000"], 0,
             lines(*before[:2]), lines(TIMEOUT_LINE), 1),
        ]
        record = os.path.join(self.workdir, "avrdude-runs")
        called = "command line: %s\ndirectory: %s\n%send\n" % (
            COMMAND, windows_path(self.workdir), "".join("argument: %s\n" % a for a in ARGS))
        for name, options, double_status, stdout, stderr, status in cases:
            with self.subTest(name):
                env = {} if double_status is None else {
                    "WINEPATH": self.wine_path, "PORTKICK_DOUBLE_LOG": windows_path(record),
                    "PORTKICK_DOUBLE_STATUS": str(double_status)}
                board = Board(self.session, tempfile.mkdtemp(dir=self.workdir), *options)
                try:
                    out, err, code, seconds = self.portkick("COM5", env=env)
                finally:
                    board.stop()
                ran = None
                if os.path.exists(record):
                    with open(record, errors="replace") as f:
                        ran = f.read()
                    os.remove(record)
                if double_status is None:  # the command processor's complaint first
                    complaint, err = err.split(b"\r\n", 1)
                    self.assertIn(b"avrdude.exe -v -p atmega32u4", complaint)
                self.assertEqual((out, err, code), (stdout, stderr, status))
                self.assertEqual(board.count("reset"), 1)
                # Run once, in portkick's own directory, when it is on the
                # path and the bootloader was found.
                self.assertEqual(ran, None if double_status is None or options else called)
                if options:
                    self.assertGreaterEqual(seconds, 5.1, "100 polls 50 ms apart after the touch")


class RelayTest(WineTestCase):
    def test_flashes_the_board(self):
        firmware = random.Random(32).randbytes(1000)
        with open(os.path.join(self.workdir, "firmware.hex"), "w") as out:
            out.write(simboard.hex_text({0: firmware}))
        relay_dir = os.path.join(self.workdir, "relay")
        os.mkdir(relay_dir)
        board = Board(self.session, self.workdir)
        self.addCleanup(board.stop)
        relay = Relay(self.session, relay_dir)
        try:
            out, err, status, _ = self.portkick("COM5", env={
                "WINEPATH": self.wine_path, "PORTKICK_DOUBLE_RELAY": windows_path(relay_dir)})
        finally:
            relay.close()

        self.assertEqual((out, status), (lines(*success_lines()), 0))
        self.assertEqual(relay.runs, [(ARGS, 0)])
        # avrdude's own report reaches the console.
        self.assertIn(b"1000 bytes of flash verified", err)
        board.wait_for("flash-saved")
        self.assertEqual(board.flash(), simboard.overlay(simboard.BLANK, dict(enumerate(firmware))))


if __name__ == "__main__":
    if not os.environ.get("PORTKICK_EXE"):
        print("SKIPPED: PORTKICK_EXE is empty; configure with "
              "-DPORTKICK_EXE=<build-win>/portkick.exe to run the Wine tests")
        sys.exit(SKIP_STATUS)
    unittest.main()
