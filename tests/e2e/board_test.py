"""The simulated board among other entries of its device directory: it never
takes, repoints or removes a name that is not its own, and it refuses
numbers it cannot honour. Run with `python3 board_test.py -v`."""
import os
import shutil
import subprocess
import tempfile
import termios
import unittest

import simboard
from simboard import Board

TAKEN = "portkick-board: %s exists: another board or device has that name"


def setUpModule():
    simboard.require_avrdude()


def start(directory, *options):
    """Starts a board that should refuse to: (status, standard error). The
    status is None when it started after all; it is stopped then."""
    process = subprocess.Popen([simboard.required("PORTKICK_BOARD"), "--dir", directory, *options],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    started = process.stdout.readline() == "ready\n"
    if started:
        process.terminate()
    _, err = process.communicate(timeout=10)
    return None if started else process.returncode, err


def touch(path):
    """The 1200-baud touch that resets the board."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        settings = termios.tcgetattr(fd)
        settings[4] = settings[5] = termios.B1200
        termios.tcsetattr(fd, termios.TCSANOW, settings)
    finally:
        os.close(fd)


def entries(directory):
    """Every entry of `directory`: where a link points, or a file's content."""
    def entry(path):
        if os.path.islink(path):
            return "-> " + os.readlink(path)
        with open(path, "rb") as f:
            return f.read()
    return {name: entry(os.path.join(directory, name)) for name in os.listdir(directory)}


class BoardTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="portkick-board-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.dir = os.path.join(self.root, "dev")

    def board(self, files, *options, name="COM5", check=True):
        """A board in the shared directory; its own files go in `files`."""
        board = Board(os.path.join(self.root, files), *options, name=name, directory=self.dir)
        self.addCleanup(board.stop, check)
        return board

    def test_names_in_use_stay_with_their_owners(self):
        first = self.board("first")
        with open(os.path.join(self.dir, "COM7"), "w") as f:
            f.write("not a port")
        os.symlink(os.path.join(self.root, "nowhere"), os.path.join(self.dir, "COM8"))
        open(os.path.join(self.dir, "com9"), "w").close()
        before = entries(self.dir)

        refused = [  # name, options, the entry in the way
            ("another board's port", ["--name", "COM5"], "COM5"),
            ("a plain file", ["--name", "COM7"], "COM7"),
            ("a dangling link", ["--name", "COM8"], "COM8"),
            ("a name taken once lower-cased", ["--name", "COM9", "--lowercase"], "com9"),
        ]
        for name, options, entry in refused:
            with self.subTest(name):
                status, err = start(self.dir, *options)
                self.assertNotIn(status, (None, 0))
                self.assertEqual(err, TAKEN % os.path.join(self.dir, entry) + "\n")
                self.assertEqual(entries(self.dir), before)

        taken = [  # name, options, what it logs instead of showing the port
            ("bootloader on another board's port", ["--boot-name", "COM5"], "boot-name-taken COM5"),
            ("extra port on a plain file", ["--boot-name", "COM12", "--extra-port", "COM7"],
             "extra-name-taken COM7"),
        ]
        for number, (name, options, logged) in enumerate(taken, 10):
            with self.subTest(name):
                board = self.board(name, "--boot-timeout-ms", "300", *options, name="COM%d" % number)
                touch(os.path.join(self.dir, "COM%d" % number))
                board.wait_for(logged.split()[0])
                # It comes back on its own, as when no bootloader shows.
                board.wait_for("app-appeared", 2)
                self.assertIsNone(board.process.poll())
                events = [" ".join(filter(None, event[1:])) for event in board.events()]
                self.assertIn(logged, events)
                self.assertNotIn(logged.replace("name-taken", "appeared"), events)
                board.stop()
                self.assertEqual(entries(self.dir), before)

        # The first board's port is still its own.
        work = os.path.join(self.root, "work")
        os.mkdir(work)
        shutil.copy(simboard.required("PORTKICK_FIRMWARE"), work)
        result = simboard.run_portkick(work, self.dir)
        self.assertEqual((result.returncode, result.stdout.splitlines()),
                         (0, simboard.success_lines()), result.stderr)
        first.wait_for("flash-saved")
        self.assertEqual(first.flash(), simboard.overlay(
            simboard.BLANK, simboard.hex_bytes(os.path.join(work, "firmware.hex"))))

    def test_removes_only_links_to_its_own_ports(self):
        board = self.board("board", "--boot-timeout-ms", "300", check=False)
        touch(os.path.join(self.dir, "COM5"))
        board.wait_for("boot-appeared")

        def replace(name):
            os.symlink("/dev/null", os.path.join(self.dir, "new"))
            os.replace(os.path.join(self.dir, "new"), os.path.join(self.dir, name))

        # Someone else's COM6 when the bootloader ends, and COM5 when it stops.
        replace("COM6")
        board.wait_for("boot-vanished")
        board.wait_for("app-appeared", 2)
        replace("COM5")
        self.assertEqual(board.stop(check=False), 0)
        self.assertEqual(entries(self.dir), {"COM5": "-> /dev/null", "COM6": "-> /dev/null"})

    def test_numeric_switches(self):
        os.mkdir(self.dir)
        refused = [
            ("--enum-delay-ms", "10000000000000"),  # nanoseconds beyond 64 bits
            ("--enum-delay-ms", "86400001"),
            ("--enum-delay-ms", ""),
            ("--boot-timeout-ms", "-1"),
            ("--boot-timeout-ms", "soon"),
            ("--vanish-after-bytes", "99999999999999999999"),
            ("--vanish-after-bytes", "1e3"),
        ]
        for switch, value in refused:
            with self.subTest(switch + " " + value):
                status, err = start(self.dir, switch, value)
                self.assertEqual(status, 2)
                self.assertIn("%s: '%s' is not a whole number" % (switch, value), err.splitlines()[0])
                self.assertEqual(os.listdir(self.dir), [])

        # The largest values are taken, and a delay is used as given.
        board = self.board("board", "--enum-delay-ms", "250", "--boot-timeout-ms", "86400000",
                           "--vanish-after-bytes", "1000000000")
        touch(os.path.join(self.dir, "COM5"))
        self.assertGreaterEqual(board.wait_for("boot-appeared") - board.wait_for("reset"), 250e6)


if __name__ == "__main__":
    unittest.main()
