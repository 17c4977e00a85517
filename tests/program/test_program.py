"""The built portkick on its POSIX layer against plain files and the simulated
board (sim/simboard.py), with the real avrdude behind tools/avrdude.exe; and
the simulated board's own promises."""
import concurrent.futures
import fcntl
import os
import random
import shutil
import signal
import subprocess
import tempfile
import termios
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

    def test_a_held_port_is_never_reset_and_a_claimed_one_not_listed(self):
        self.touch("COM5")
        for lock, listed in ((True, b"No COM ports found.\n"), (False, b"Available COM ports:\n  - COM5\n")):
            with open(os.path.join(self.dir, "COM5"), "r+") as held:
                if lock:  # claimed as serial programs claim a port
                    fcntl.flock(held, fcntl.LOCK_EX)
                self.check(["--list"], 0, listed)
                self.check(["COM5"], 1, err=b"Failed to open port COM5\n")
        self.check(["--list"], 0, b"Available COM ports:\n  - COM5\n")

    def test_wrapper_passes_port_paths_on_and_refuses_to_run_itself(self):
        tools = simboard.required("PORTKICK_TOOLS")
        wrapper = os.path.join(tools, "avrdude.exe")

        def wrap(avrdude, first_on_path, *args):
            env = dict(self.env, AVRDUDE=avrdude, PATH=first_on_path + os.pathsep + os.environ["PATH"])
            return subprocess.run([wrapper, *args], env=env, capture_output=True, text=True,
                                  timeout=10)

        result = wrap("echo", tools, "-v", "-P", "COM6", "-PCOM7", "-U", "flash:w:COM8:i")
        self.assertEqual((result.returncode, result.stdout),
                         (0, "-v -P {0}/COM6 -P{0}/COM7 -U flash:w:COM8:i\n".format(self.dir)))
        # Itself by its name on the PATH, by its path, or as "avrdude": it
        # would run itself for ever.
        links = tempfile.mkdtemp(prefix="portkick-links-")
        self.addCleanup(shutil.rmtree, links)
        os.symlink(wrapper, links + "/avrdude")
        for avrdude, first_on_path in (("avrdude.exe", tools), (wrapper, tools), ("avrdude", links)):
            with self.subTest(avrdude):
                result = wrap(avrdude, first_on_path, "-P", "COM6")
                self.assertEqual((result.returncode, result.stdout), (1, ""))
                self.assertEqual(len(result.stderr.splitlines()), 1)
                self.assertIn("is this wrapper", result.stderr)

    def test_output_that_cannot_be_written(self):
        """A listing that is lost is a failure; a write that fails never
        ends a run by itself (a reader that went away)."""
        self.touch("COM7")
        with open("/dev/full", "w") as full:
            self.assertEqual(subprocess.run([PORTKICK, "--list"], env=self.env, stdout=full).returncode, 1)
        for args, status in ((["--list"], 1), ([], 1), (["COM7"], 1)):
            read, write = os.pipe()
            os.close(read)
            result = subprocess.run([PORTKICK, *args], env=self.env, stdout=write, stderr=write)
            os.close(write)
            self.assertEqual(result.returncode, status, args)


class Board(unittest.TestCase):
    """A simulated board on COM5; portkick runs in work/, bin/ first on PATH."""

    def rig(self, *options, stand_in=False):
        root = tempfile.mkdtemp(prefix="portkick-program-")
        self.addCleanup(shutil.rmtree, root, True)
        os.mkdir(root + "/work")
        shutil.copy(simboard.required("PORTKICK_FIRMWARE"), root + "/work/firmware.hex")
        if stand_in:  # one that succeeds
            os.mkdir(root + "/bin")
            os.symlink(shutil.which("true"), root + "/bin/avrdude.exe")
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
        be told from the board's own: all at once, to wait out 5 s only once."""
        cases = [  # board options, the port portkick must take (None: none)
            (["--no-bootloader"], None),
            (["--boot-name", "COM5"], None),  # the board's own name
            (["--enum-delay-ms", "4500"], "COM6"),
            (["--boot-name", "COM256"], "COM256"),
            (["--boot-name", "COM9", "--extra-port", "COM10"], "COM10"),  # at once
        ]
        boards = [self.rig(*options, stand_in=True) for options, _ in cases]
        with concurrent.futures.ThreadPoolExecutor(len(boards)) as pool:
            results = list(pool.map(self.portkick, boards))
        for (options, port), board, result in zip(cases, boards, results):
            with self.subTest(options=options):
                self.assertEqual([e[1] for e in board.events()].count("reset"), 1)
                if port is None:
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (1, text(success_lines()[:2]), TIMEOUT))
                    self.assertGreaterEqual(result.seconds, 5.1, "100 polls of 50 ms after the touch")
                else:
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (0, text(success_lines(boot=port)), ""))

    def test_flashes_whatever_the_parent_left_the_process_with(self):
        """One board flashed with the real avrdude again and again, whatever
        the parent left: each run ends with status 0, the board holds the new
        firmware, and the open streams say all, avrdude's output in its place."""
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
                start, data = chance.randrange(64) * simboard.PAGE, chance.randbytes(512)
                with open(board.work + "/firmware.hex", "w") as f:
                    f.write(simboard.hex_text({start: data}))
                image = board.flash()[:start] + data + board.flash()[start + len(data):]
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


    def test_an_image_over_the_bootloader_fails_its_verify(self):
        """The top 4 KiB hold the bootloader, which no write changes: avrdude's
        verify finds the difference and portkick reports avrdude's failure."""
        board = self.rig()
        start, data = simboard.APPLICATION_SIZE - 256, random.Random(9).randbytes(512)
        with open(board.work + "/firmware.hex", "w") as f:
            f.write(simboard.hex_text({start: data}))
        result = self.portkick(board)
        self.assertEqual((result.returncode, result.stderr.splitlines()[-1]),
                         (1, "[ERROR] avrdude failed with code 1"))
        board.wait_for("boot-vanished")
        self.assertEqual(board.flash()[start:], data[:256] + b"\xff" * 4096)


class SimulatedBoard(unittest.TestCase):
    """The simulated board never takes, repoints or removes another's name."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="portkick-board-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.dir = self.root + "/dev"

    def board(self, *options, name="COM5"):
        board = simboard.Board(self.root + "/" + name, *options, name=name, directory=self.dir)
        self.addCleanup(board.stop, False)
        return board

    def refused(self, *options):  # a board that must not start
        return subprocess.run([simboard.required("PORTKICK_BOARD"), "--dir", self.dir, *options],
                              capture_output=True, text=True, timeout=10)

    def touch(self, board, name):  # the 1200-baud touch: the board resets once the port is closed
        port = os.open(self.dir + "/" + name, os.O_RDWR | os.O_NOCTTY)
        termios.tcsetattr(port, termios.TCSANOW,
                          [0, 0, termios.CS8, 0, termios.B1200, termios.B1200, [0] * 32])
        time.sleep(0.1)
        self.assertNotIn("reset", [event for _, event, _ in board.events()])
        os.close(port)

    def entries(self):
        return {name: os.path.islink(self.dir + "/" + name) and os.readlink(self.dir + "/" + name)
                for name in os.listdir(self.dir)}

    def test_names_that_are_not_its_own(self):
        self.board()
        open(self.dir + "/COM7", "w").close()
        before = self.entries()
        for name in ("COM5", "COM7"):
            result = self.refused("--name", name)
            self.assertEqual((result.returncode, result.stderr), (1, "portkick-board: %s/%s exists: "
                             "another board or device has that name\n" % (self.dir, name)))
            self.assertEqual(self.entries(), before)
        # Its bootloader's name is taken: the board says so and comes back.
        board = self.board("--boot-name", "COM5", "--boot-timeout-ms", "300", name="COM8")
        self.touch(board, "COM8")
        board.wait_for("app-appeared", 2)
        self.assertIn(("boot-name-taken", "COM5"), [event[1:] for event in board.events()])
        # What someone else put in place of its own link stays.
        os.replace(self.dir + "/COM7", self.dir + "/COM8")
        self.assertEqual(board.stop(False), 0)
        self.assertEqual(self.entries(), {"COM5": before["COM5"], "COM8": False})

    def test_delays_and_their_time_stamps(self):
        """A delay is whole milliseconds up to a day; the event log counts
        nanoseconds of the monotonic clock, as time.monotonic_ns() does."""
        os.mkdir(self.dir)
        for switch, value in (("--enum-delay-ms", "86400001"), ("--boot-timeout-ms", "-1"),
                              ("--enum-delay-ms", "1e3"), ("--boot-timeout-ms", "")):
            result = self.refused(switch, value)
            self.assertEqual((result.returncode, result.stderr), (2, "portkick-board: %s: '%s' is not "
                             "a whole number from 0 to 86400000\n" % (switch, value)))
        self.assertEqual(self.refused("--no-such-switch").returncode, 2)
        started = time.monotonic_ns()
        board = self.board("--enum-delay-ms", "250")
        self.touch(board, "COM5")
        reset, boot = board.wait_for("reset"), board.wait_for("boot-appeared")
        self.assertLess(started, board.wait_for("app-appeared"))
        self.assertGreaterEqual(boot - reset, 250e6)
        self.assertLess(boot, time.monotonic_ns())


def setUpModule():
    simboard.require_avrdude()


if __name__ == "__main__":
    unittest.main()
