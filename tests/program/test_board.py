"""The simulated board among other entries of its device directory: it never
takes, repoints or removes a name that is not its own, and it refuses
numbers it cannot honour."""
import os
import shutil
import subprocess
import tempfile
import termios
import unittest

import simboard


class BoardTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="portkick-board-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.dir = self.root + "/dev"

    def board(self, *options, name="COM5"):
        board = simboard.Board(self.root + "/" + name, *options, name=name, directory=self.dir)
        self.addCleanup(board.stop, False)
        return board

    def refused(self, *options):
        """A board that must not start: its status and standard error."""
        return subprocess.run([simboard.required("PORTKICK_BOARD"), "--dir", self.dir, *options],
                              capture_output=True, text=True, timeout=10)

    def touch(self, name):
        """The 1200-baud touch that resets a board."""
        fd = os.open(self.dir + "/" + name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        settings = termios.tcgetattr(fd)
        settings[4] = settings[5] = termios.B1200
        termios.tcsetattr(fd, termios.TCSANOW, settings)
        os.close(fd)

    def entries(self):
        return {name: os.path.islink(self.dir + "/" + name) and os.readlink(self.dir + "/" + name)
                for name in os.listdir(self.dir)}

    def test_names_that_are_not_its_own(self):
        self.board()
        open(self.dir + "/com7", "w").close()
        before = self.entries()
        for options in (["--name", "COM5"], ["--name", "COM7", "--lowercase"]):
            result = self.refused(*options)
            self.assertEqual(result.returncode, 1)
            self.assertIn("exists: another board or device has that name", result.stderr)
            self.assertEqual(self.entries(), before)
        # Its bootloader's name is taken: the board says so and comes back.
        board = self.board("--boot-name", "COM5", "--boot-timeout-ms", "300", name="COM8")
        self.touch("COM8")
        board.wait_for("app-appeared", 2)
        self.assertIn(("boot-name-taken", "COM5"), [event[1:] for event in board.events()])
        # What someone else put in place of its own link stays.
        os.replace(self.dir + "/com7", self.dir + "/COM8")
        self.assertEqual(board.stop(False), 0)
        self.assertEqual(self.entries(), {"COM5": before["COM5"], "COM8": False})

    def test_numbers_out_of_range(self):
        os.mkdir(self.dir)
        for switch, value in (("--enum-delay-ms", "10000000000000"), ("--boot-timeout-ms", "-1"),
                              ("--vanish-after-bytes", "1e3")):
            result = self.refused(switch, value)
            self.assertEqual(result.returncode, 2)
            self.assertIn("%s: '%s' is not a whole number" % (switch, value), result.stderr)
        board = self.board("--enum-delay-ms", "250")
        self.touch("COM5")
        self.assertGreaterEqual(board.wait_for("boot-appeared") - board.wait_for("reset"), 250e6)


if __name__ == "__main__":
    unittest.main()
