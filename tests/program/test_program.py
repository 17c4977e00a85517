"""The built portkick on its POSIX layer: its lines and statuses in a device
directory of plain files, and flashes of the simulated board
(sim/simboard.py) with the real avrdude through tools/avrdude.exe."""
import concurrent.futures
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import simboard
from simboard import success_lines

PORTKICK = simboard.required("PORTKICK")
USAGE = (b"Usage:\n"
         b"  portkick COMx     - reset and flash using COMx (e.g., COM3)\n"
         b"  portkick --list   - list available COM ports\n")
TIMEOUT = "[ERROR] Timeout: No new COM port detected.\n"


def text(lines):
    return "".join(line + "\n" for line in lines)


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="portkick-dev-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.env = dict(os.environ, PORTKICK_DEVICE_DIR=self.dir)

    def touch(self, *names):
        for name in names:
            open(os.path.join(self.dir, name), "w").close()

    def check(self, args, status, out=b"", err=b""):
        result = subprocess.run([PORTKICK, *args], env=self.env, capture_output=True, timeout=30)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (status, out, err), args)

    def test_usage_listing_and_reset_failures(self):
        for args in ([], ["COM1", "--list"], ["--list", "--list"]):
            self.check(args, 1, USAGE)
        self.check(["--list"], 0, b"No COM ports found.\n")
        self.touch("COM3", "COM1", "COM10", "COM256", "COM257", "COM0", "COM03", "com2")
        self.check(["--list"], 0, b"Available COM ports:\n  - COM1\n  - COM10\n  - COM256\n"
                                  b"  - COM3\n")
        self.check(["COM99"], 1, err=b"Failed to open port COM99\n")
        self.check(["--LIST"], 1, err=b"Failed to open port --LIST\n")
        self.check(["COM3"], 1, err=b"Error getting COM state.\n")

    def test_port_held_by_another_process_is_neither_listed_nor_reset(self):
        self.touch("COM5")
        for lock in ("fcntl.flock(f, fcntl.LOCK_EX)", "pass"):
            with self.subTest(lock=lock):
                holder = subprocess.Popen(
                    [sys.executable, "-c", "import fcntl, sys, time\n"
                     "f = open(sys.argv[1], 'r+'); %s\n"
                     "print(flush=True); time.sleep(60)" % lock, os.path.join(self.dir, "COM5")],
                    stdout=subprocess.PIPE)
                try:
                    holder.stdout.readline()
                    self.check(["--list"], 0, b"No COM ports found.\n")
                    self.check(["COM5"], 1, err=b"Failed to open port COM5\n")
                finally:
                    holder.kill()
                    holder.wait()
                    holder.stdout.close()
        self.check(["--list"], 0, b"Available COM ports:\n  - COM5\n")

    def test_closed_standard_error_and_a_reader_that_went_away(self):
        """A closed standard error never becomes the port that the error line
        goes into; a write to a pipe nobody reads fails without ending the run."""
        self.touch("COM7")
        result = subprocess.run([PORTKICK, "COM7"], env=self.env, stdout=subprocess.PIPE,
                                preexec_fn=lambda: os.close(2), timeout=30)
        self.assertEqual(result.returncode, 1)
        with open(os.path.join(self.dir, "COM7"), "rb") as port:
            self.assertEqual(port.read(), b"")
        for args, status in ((["--list"], 0), ([], 1), (["COM7"], 1)):
            read, write = os.pipe()
            os.close(read)
            result = subprocess.run([PORTKICK, *args], env=self.env, stdout=write, stderr=write)
            os.close(write)
            self.assertEqual(result.returncode, status, args)


class Board(unittest.TestCase):
    """A simulated board on COM5; portkick runs in work/, with firmware.hex;
    bin/, first on the PATH, may hold an avrdude.exe stand-in."""

    def rig(self, *options, stand_in=None):
        root = tempfile.mkdtemp(prefix="portkick-program-")
        self.addCleanup(shutil.rmtree, root, True)
        os.mkdir(root + "/work")
        shutil.copy(simboard.required("PORTKICK_FIRMWARE"), root + "/work/firmware.hex")
        if stand_in:
            simboard.shim(root + "/bin", stand_in)
        board = simboard.Board(root, *options)
        self.addCleanup(board.stop)
        board.work, board.bin = root + "/work", root + "/bin"
        return board

    def portkick(self, board, **options):
        started = time.monotonic()
        result = simboard.run_portkick(board.work, board.dir, board.bin, timeout=60, **options)
        result.seconds = time.monotonic() - started
        return result

    def test_bootloader_port_search(self):
        """Bootloader ports that show late, not at all, or where they cannot
        be told from the board's own: all at once, to wait out 5 s only once.
        avrdude.exe is a stand-in that succeeds."""
        cases = [  # board options, the port portkick must take (None: none)
            (["--no-bootloader"], None),
            (["--boot-name", "COM5"], None),  # the board's own name
            (["--enum-delay-ms", "4500"], "COM6"),
            (["--boot-name", "COM256"], "COM256"),
            (["--boot-name", "COM9", "--extra-port", "COM10"], "COM10"),  # at once
        ]
        boards = [self.rig(*options, stand_in="exit 0") for options, _ in cases]
        with concurrent.futures.ThreadPoolExecutor(len(boards)) as pool:
            results = list(pool.map(self.portkick, boards))
        for (options, port), board, result in zip(cases, boards, results):
            with self.subTest(options=options):
                self.assertEqual(board.count("reset"), 1)
                if port is None:
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (1, text(success_lines()[:2]), TIMEOUT))
                    self.assertGreaterEqual(result.seconds, 5.1, "100 polls of 50 ms after the touch")
                else:
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (0, text(success_lines(boot=port)), ""))

    def test_flashes_whatever_the_parent_left_the_process_with(self):
        """One board flashed with the real avrdude again and again: both
        streams in one pipe, a closed standard stream, an ignored SIGCHLD, a
        reader that goes away after the first line. Each run ends with status
        0, the board holds the new firmware, and what portkick says on the
        streams that are open is all there, avrdude's output in its place."""
        def close(fd):
            return lambda: os.close(fd)

        cases = [("both streams in one pipe", dict(stderr=subprocess.STDOUT)),
                 ("stdout closed", dict(preexec_fn=close(1))),
                 ("stderr closed", dict(preexec_fn=close(2))),
                 ("SIGCHLD ignored", dict(preexec_fn=lambda: signal.signal(signal.SIGCHLD,
                                                                           signal.SIG_IGN))),
                 ("reader gone after the first line", None)]
        board = self.rig()
        chance = random.Random(8)
        for number, (name, options) in enumerate(cases, 1):
            with self.subTest(name):
                board.wait_for("app-appeared", number)
                start = chance.randrange(64) * simboard.PAGE
                with open(board.work + "/firmware.hex", "w") as f:
                    f.write(simboard.hex_text({start: chance.randbytes(4 * simboard.PAGE)}))
                image = simboard.overlay(board.flash(),
                                         simboard.hex_bytes(board.work + "/firmware.hex"))
                if options is None:
                    process = subprocess.Popen(
                        [PORTKICK, "COM5"], cwd=board.work, stdin=subprocess.DEVNULL,
                        env=simboard.environment(board.dir), stdout=subprocess.PIPE)
                    self.assertEqual(process.stdout.readline().decode(), text(success_lines()[:1]))
                    process.stdout.close()
                    self.assertEqual(process.wait(timeout=60), 0)
                else:
                    result = self.portkick(board, **options)
                    out = result.stdout.splitlines()
                    self.assertEqual(result.returncode, 0)
                    self.assertEqual(out[:4] + out[-1:], [] if "stdout" in name else success_lines())
                    self.assertEqual("bytes of flash verified" in result.stdout, "pipe" in name)
                    self.assertEqual(result.stderr in ("", None), "stderr" in name or "pipe" in name)
                    self.assertNotIn("[ERROR]", result.stderr or "")
                board.wait_for("boot-vanished", number)
                self.assertEqual(board.flash(), image)


def setUpModule():
    simboard.require_avrdude()


if __name__ == "__main__":
    unittest.main()
