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
import support
from support import success_lines

PORTKICK = support.required("PORTKICK")
USAGE = (b"Usage:\n"
         b"  portkick COMx     - reset and flash using COMx (e.g., COM3)\n"
         b"  portkick --list   - list available COM ports\n")


def text(lines):
    return "".join(line + "\n" for line in lines)


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="portkick-dev-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.env = dict(os.environ, PORTKICK_DEVICE_DIR=self.dir)

    def check(self, args, status, out=b"", err=b""):
        result = subprocess.run([PORTKICK, *args], env=self.env, capture_output=True, timeout=30)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (status, out, err), args)

    def test_usage_listing_and_reset_failures(self):
        for args in ([], ["COM1", "--list"], ["--list", "--list"]):
            self.check(args, 1, USAGE)
        self.check(["--list"], 0, b"No COM ports found.\n")
        for name in ("COM3", "COM1", "COM10", "COM256", "COM257", "COM0", "COM03", "com2"):
            open(os.path.join(self.dir, name), "w").close()
        listed = b"Available COM ports:\n  - COM1\n  - COM10\n  - COM256\n  - COM3\n"
        self.check(["--list"], 0, listed)
        self.check(["COM99"], 1, err=b"Failed to open port COM99\n")
        self.check(["--LIST"], 1, err=b"Failed to open port --LIST\n")
        self.check(["COM3"], 1, err=b"Error getting COM state.\n")
        # Held by another program: never reset; not listed only when claimed.
        for claimed in (True, False):
            with open(os.path.join(self.dir, "COM3"), "r+") as held:
                if claimed:
                    fcntl.flock(held, fcntl.LOCK_EX)
                self.check(["--list"], 0, listed.replace(b"  - COM3\n", b"") if claimed else listed)
                self.check(["COM3"], 1, err=b"Failed to open port COM3\n")
        # A listing that is lost is a failure; no failed write ends a run by itself.
        with open("/dev/full", "w") as full:
            self.assertEqual(subprocess.run([PORTKICK, "--list"], env=self.env, stdout=full).returncode, 1)
        for args in (["--list"], [], ["COM3"]):
            read, write = os.pipe()
            os.close(read)
            self.assertEqual(subprocess.run([PORTKICK, *args], env=self.env, stdout=write,
                                            stderr=write).returncode, 1, args)
            os.close(write)

    def test_wrapper_passes_port_paths_on_and_refuses_to_run_itself(self):
        tools = support.required("PORTKICK_TOOLS")
        os.symlink(tools + "/avrdude.exe", self.dir + "/avrdude")

        def wrap(avrdude, *args):
            env = dict(self.env, AVRDUDE=avrdude, PATH=tools + os.pathsep + os.environ["PATH"])
            return subprocess.run([tools + "/avrdude.exe", *args], env=env, capture_output=True,
                                  text=True, timeout=10)

        self.assertEqual(wrap("echo", "-v", "-P", "COM6", "-PCOM7", "-U", "flash:w:COM8:i").stdout,
                         "-v -P {0}/COM6 -P{0}/COM7 -U flash:w:COM8:i\n".format(self.dir))
        for avrdude in ("avrdude.exe", tools + "/avrdude.exe", self.dir + "/avrdude"):
            result = wrap(avrdude, "-P", "COM6")  # itself again: it would run for ever
            self.assertEqual((result.returncode, result.stdout, result.stderr.count("\n")), (1, "", 1))


class Board(unittest.TestCase):
    """A simulated board on COM5; portkick runs in work/, bin/ first on PATH."""

    def rig(self, *options, stand_in=False):
        root = tempfile.mkdtemp(prefix="portkick-program-")
        self.addCleanup(shutil.rmtree, root, True)
        os.mkdir(root + "/work")
        if stand_in:  # an avrdude.exe that succeeds
            os.mkdir(root + "/bin")
            os.symlink(shutil.which("true"), root + "/bin/avrdude.exe")
        board = simboard.Board(root, *options)
        self.addCleanup(board.stop)
        board.work, board.bin = root + "/work", root + "/bin"
        return board

    def portkick(self, board, **options):
        started = time.monotonic()
        result = support.run_portkick(board.work, board.dir, board.bin, timeout=60, **options)
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
                    self.assertEqual((result.returncode, result.stdout, result.stderr), (
                        1, text(success_lines()[:2]), "[ERROR] Timeout: No new COM port detected.\n"))
                    self.assertGreaterEqual(result.seconds, 5.1, "100 polls of 50 ms after the touch")
                else:
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (0, text(success_lines(boot=port)), ""))

    def test_flashes_whatever_the_parent_left_the_process_with(self):
        """One board flashed with the real avrdude again and again, whatever
        the parent left: each run ends with status 0, the board holds the new
        firmware, and the open streams say all, avrdude's output in its place.
        Last, an image that reaches into the bootloader's top 4 KiB, which no
        write changes: avrdude's verify fails, and portkick says so."""
        def close(fd):
            return lambda: os.close(fd)

        cases = [("both streams in one pipe", dict(stderr=subprocess.STDOUT)),
                 ("stdout closed", dict(preexec_fn=close(1))),
                 ("stderr closed", dict(preexec_fn=close(2))),
                 ("SIGCHLD ignored", dict(preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))),
                 ("reader gone after the first line", None),
                 ("an image over the bootloader", {})]
        board = self.rig()
        chance = random.Random(8)
        for number, (name, options) in enumerate(cases, 1):
            with self.subTest(name):
                board.wait_for("app-appeared", number)
                start = simboard.APPLICATION_SIZE - 256 if options == {} else chance.randrange(64) * simboard.PAGE
                data = chance.randbytes(512)
                with open(board.work + "/firmware.hex", "w") as f:
                    f.write(simboard.hex_text({start: data}))
                image = (board.flash()[:start] + data + board.flash()[start + len(data):])[:simboard.APPLICATION_SIZE]
                if options is None:
                    process = subprocess.Popen([PORTKICK, "COM5"], cwd=board.work, stdin=subprocess.DEVNULL,
                                               env=support.environment(board.dir), stdout=subprocess.PIPE)
                    self.assertEqual(process.stdout.readline().decode(), text(success_lines()[:1]))
                    process.stdout.close()
                    self.assertEqual(process.wait(timeout=60), 0)
                elif options == {}:
                    result = self.portkick(board)
                    self.assertEqual((result.returncode, result.stderr.splitlines()[-1]),
                                     (1, "[ERROR] avrdude failed with code 1"))
                else:
                    result = self.portkick(board, **options)
                    out = result.stdout.splitlines()
                    self.assertEqual(result.returncode, 0)
                    self.assertEqual(out[:4] + out[-1:], [] if "stdout" in name else success_lines())
                    self.assertEqual("bytes of flash verified" in result.stdout, "pipe" in name)
                    self.assertEqual(result.stderr in ("", None), "stderr" in name or "pipe" in name)
                    self.assertNotIn("[ERROR]", result.stderr or "")
                board.wait_for("boot-vanished", number)
                self.assertEqual(board.flash(), image + b"\xff" * (simboard.FLASH_SIZE - simboard.APPLICATION_SIZE))


class Turns(unittest.TestCase):
    """Several boards on one machine: runs take turns, and each flashes its own board."""

    def boards(self, count):
        """Boards on COM5, COM7, ... (bootloaders COM6, COM8, ...) in one device directory, each with
        firmware of its own in a work directory of its own."""
        root = tempfile.mkdtemp(prefix="portkick-turns-")
        self.addCleanup(shutil.rmtree, root, True)
        boards = []
        for n in range(count):
            board = simboard.Board("%s/%d" % (root, n), "--boot-name", "COM%d" % (6 + 2 * n),
                                   name="COM%d" % (5 + 2 * n), directory=root + "/dev")
            self.addCleanup(board.stop)
            board.port, board.image, board.work = "COM%d" % (5 + 2 * n), os.urandom(512), "%s/%d" % (root, n)
            with open(board.work + "/firmware.hex", "w") as f:
                f.write(simboard.hex_text({0: board.image}))
            boards.append(board)
        return boards

    def check_flashed(self, boards):
        for board in boards:
            board.wait_for("boot-vanished")
            self.assertEqual(board.flash()[:512], board.image, board.port)

    def test_two_runs_started_together_or_apart_each_flash_their_own_board(self):
        def pair(delay):
            boards = self.boards(2)

            def run(board):
                time.sleep(delay if board is boards[1] else 0)
                return support.run_portkick(board.work, board.dir, port=board.port, timeout=60)
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                return boards, list(pool.map(run, boards))

        waiting = "[INFO] Waiting for another portkick run to finish..."
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            pairs = list(pool.map(pair, (0, 0.3, 1, 2)))
        for delay, (boards, results) in zip((0, 0.3, 1, 2), pairs):
            with self.subTest(delay=delay):
                waited = [result.stdout.startswith(waiting + "\n") for result in results]
                for board, result, wait in zip(boards, results, waited):
                    self.assertEqual((result.returncode, result.stdout), (0, text(
                        [waiting] * wait + success_lines(board.port, "COM%d" % (int(board.port[3:]) + 1)))))
                self.check_flashed(boards)
                self.assertLessEqual(sum(waited), 1)
                if delay == 0:
                    self.assertEqual(sum(waited), 1)

    def test_boards_flashed_one_after_another_without_a_pause(self):
        boards = self.boards(3)
        for board in boards[1:]:
            shutil.copy(boards[0].work + "/firmware.hex", board.work)
            board.image = boards[0].image
        result = subprocess.run(["sh", "-c", 'for port; do "$0" "$port" || exit; done', PORTKICK, "COM5", "COM7",
                                 "COM9"], cwd=boards[0].work, env=support.environment(boards[0].dir),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout), (0, text(
            success_lines("COM5", "COM6") + success_lines("COM7", "COM8") + success_lines("COM9", "COM10"))))
        self.check_flashed(boards)


class SimulatedBoard(unittest.TestCase):
    """The simulated board never takes, repoints or removes another's name."""

    def test_names_that_are_not_its_own(self):
        root = tempfile.mkdtemp(prefix="portkick-board-")
        self.addCleanup(shutil.rmtree, root, True)
        directory = root + "/dev"
        board = simboard.Board(root + "/COM5", directory=directory)
        self.addCleanup(board.stop, False)
        open(directory + "/COM7", "w").close()

        def entries():
            return {name: os.path.islink(directory + "/" + name) and os.readlink(directory + "/" + name)
                    for name in os.listdir(directory)}
        before = entries()
        for name in ("COM5", "COM7"):
            result = subprocess.run([support.required("PORTKICK_BOARD"), "--dir", directory, "--name", name],
                                    capture_output=True, text=True, timeout=10)
            self.assertEqual((result.returncode, result.stderr), (1, "portkick-board: %s/%s exists: "
                             "another board or device has that name\n" % (directory, name)))
            self.assertEqual(entries(), before)
        # Its bootloader's name is taken: the board says so and comes back.
        board = simboard.Board(root + "/COM8", "--boot-name", "COM5", "--boot-timeout-ms", "300", name="COM8",
                               directory=directory)
        self.addCleanup(board.stop, False)
        port = os.open(directory + "/COM8", os.O_RDWR | os.O_NOCTTY)  # the touch
        termios.tcsetattr(port, termios.TCSANOW, [0, 0, termios.CS8, 0, termios.B1200, termios.B1200, [0] * 32])
        os.close(port)
        board.wait_for("app-appeared", 2)
        self.assertIn(("boot-name-taken", "COM5"), [event[1:] for event in board.events()])
        # What someone else put in place of its own link stays.
        os.replace(directory + "/COM7", directory + "/COM8")
        self.assertEqual(board.stop(False), 0)
        self.assertEqual(entries(), {"COM5": before["COM5"], "COM8": False})


def setUpModule():
    support.require_avrdude()


if __name__ == "__main__":
    unittest.main()
