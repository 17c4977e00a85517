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


def start(directory, *options):
    """Starts a board that should refuse to: its status and standard error."""
    process = subprocess.run([simboard.required("PORTKICK_BOARD"), "--dir", directory, *options],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
    return process.returncode, process.stderr


def touch(path):
    """The 1200-baud touch that resets a board."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    settings = termios.tcgetattr(fd)
    settings[4] = settings[5] = termios.B1200
    termios.tcsetattr(fd, termios.TCSANOW, settings)
    os.close(fd)


class BoardTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="portkick-board-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.dir = self.root + "/dev"

    def board(self, files, *options, name="COM5"):
        board = simboard.Board(self.root + "/" + files, *options, name=name, directory=self.dir)
        self.addCleanup(board.stop, False)
        return board

    def entries(self):
        return {name: os.readlink(self.dir + "/" + name) if os.path.islink(self.dir + "/" + name)
                else "file" for name in os.listdir(self.dir)}

    def test_names_in_use_stay_with_their_owners(self):
        self.board("first")
        open(self.dir + "/COM7", "w").close()
        open(self.dir + "/com9", "w").close()
        before = self.entries()
        for options in (["--name", "COM5"], ["--name", "COM7"], ["--name", "COM9", "--lowercase"]):
            status, err = start(self.dir, *options)
            self.assertEqual((status, err.count("exists: another board or device has that name")),
                             (1, 1), options)
            self.assertEqual(self.entries(), before)
        # A bootloader whose name is taken is not shown; the board comes back.
        board = self.board("second", "--boot-name", "COM5", "--boot-timeout-ms", "300", name="COM8")
        touch(self.dir + "/COM8")
        board.wait_for("app-appeared", 2)
        self.assertEqual([e[1:] for e in board.events() if "COM5" in str(e)],
                         [("boot-name-taken", "COM5")])
        self.assertEqual(board.stop(), 0)
        self.assertEqual(self.entries(), before)

    def test_removes_only_links_to_its_own_ports(self):
        def replace(name):  # by someone else's link, while the board shows it
            os.symlink("/dev/null", self.dir + "/new")
            os.replace(self.dir + "/new", self.dir + "/" + name)

        board = self.board("board", "--boot-timeout-ms", "300")
        touch(self.dir + "/COM5")
        board.wait_for("boot-appeared")
        replace("COM6")
        board.wait_for("app-appeared", 2)
        replace("COM5")
        board.stop(False)
        self.assertEqual(self.entries(), {"COM5": "/dev/null", "COM6": "/dev/null"})

    def test_numeric_switches(self):
        os.mkdir(self.dir)
        for switch, value in (("--enum-delay-ms", "10000000000000"), ("--boot-timeout-ms", "-1"),
                              ("--vanish-after-bytes", "1e3")):
            status, err = start(self.dir, switch, value)
            self.assertEqual(status, 2)
            self.assertIn("%s: '%s' is not a whole number" % (switch, value), err)
        board = self.board("board", "--enum-delay-ms", "250")
        touch(self.dir + "/COM5")
        self.assertGreaterEqual(board.wait_for("boot-appeared") - board.wait_for("reset"), 250e6)


if __name__ == "__main__":
    unittest.main()
