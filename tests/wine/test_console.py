"""portkick.exe under Wine: the usage text, the port listing and the reset's
failures, checked byte for byte on both streams with the exit status."""

import os

from winehost import WineTestCase, lines, main_or_skip

USAGE = lines(
    "Usage:",
    "  portkick COMx     - reset and flash using COMx (e.g., COM3)",
    "  portkick --list   - list available COM ports",
)


class UsageTest(WineTestCase):

    def test_wrong_argument_count_prints_usage(self):
        for args in ([], ["COM3", "--list"]):
            with self.subTest(args=args):
                self.assertRun(self.portkick(*args), USAGE, b"", 1)


class ListingTest(WineTestCase):

    def test_no_ports(self):
        # The host has serial devices of its own; the namespace hides them.
        self.assertRun(self.portkick("--list"), lines("No COM ports found."), b"", 0)

    def test_ports_in_bytewise_order(self):
        for name in ("COM1", "COM3", "COM10"):
            self.pty_port(name)
        self.assertRun(self.portkick("--list"),
                       lines("Available COM ports:", "  - COM1", "  - COM10", "  - COM3"), b"", 0)

    def test_probe_range_ends_at_com256(self):
        for name in ("COM2", "COM256", "COM257"):
            self.pty_port(name)
        self.assertRun(self.portkick("--list"),
                       lines("Available COM ports:", "  - COM2", "  - COM256"), b"", 0)

    def test_option_is_case_sensitive(self):
        # --LIST names a port, which does not exist.
        self.pty_port("COM1")
        self.assertRun(self.portkick("--LIST"), b"", lines("Failed to open port --LIST"), 1)


class ResetFailureTest(WineTestCase):

    def test_missing_port(self):
        self.pty_port("COM5")
        self.assertRun(self.portkick("COM99"), b"", lines("Failed to open port COM99"), 1)

    def test_port_that_is_no_serial_line(self):
        # A regular file opens like a port, but has no line settings.
        path = os.path.join(self.workdir, "not-a-line")
        with open(path, "wb") as out:
            out.write(b"x")
        self.link_port("COM7", path)
        self.assertRun(self.portkick("COM7"), b"", lines("Error getting COM state."), 1)


if __name__ == "__main__":
    main_or_skip()
