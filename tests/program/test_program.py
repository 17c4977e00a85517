"""The POSIX build of portkick as a user runs it, on plain files and on simulated boards with the real avrdude."""
import concurrent.futures
import fcntl
import os
import pathlib
import signal
import subprocess
import tempfile
import time
import unittest

import simboard
import support

PORTKICK = support.required("PORTKICK")


class WithoutABoard(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-dev-"))
        self.env = dict(os.environ, PORTKICK_DEVICE_DIR=self.dir)
        self.addCleanup(simboard.forget_turn, self.dir)

    def check(self, args, status, out=b"", err=b""):
        result = subprocess.run([PORTKICK, *args], env=self.env, capture_output=True, timeout=30)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (status, out, err), args)

    def test_usage_listing_and_failures_to_reset(self):
        for args in ([], ["COM1", "--list"], ["--list", "--list"]):
            self.check(args, 1, b"Usage:\n  portkick COMx     - reset and flash using COMx (e.g., COM3)\n"
                       b"  portkick --list   - list available COM ports\n")
        self.check(["--list"], 0, b"No COM ports found.\n")
        for name in ("COM3", "COM1", "COM10", "COM256", "COM257", "COM0", "COM03", "com2"):
            open(os.path.join(self.dir, name), "w").close()
        listed = b"Available COM ports:\n  - COM1\n  - COM10\n  - COM256\n  - COM3\n"
        self.check(["--list"], 0, listed)
        self.check(["COM99"], 1, err=b"Failed to open port COM99\n")
        self.check(["--LIST"], 1, err=b"Failed to open port --LIST\n")
        self.check(["COM3"], 1, err=b"Error getting COM state.\n")
        with open(os.path.join(self.dir, "COM3"), "r+") as held:  # by another program: never reset
            self.check(["COM3"], 1, err=b"Failed to open port COM3\n")
            self.check(["--list"], 0, listed)  # but listed, unless claimed
            fcntl.flock(held, fcntl.LOCK_EX)
            self.check(["--list"], 0, listed.replace(b"  - COM3\n", b""))
        read, write = os.pipe()  # a listing that is lost is a failure, not a run ended by a signal
        os.close(read)
        self.assertEqual(subprocess.run([PORTKICK, "--list"], env=self.env, stdout=write).returncode, 1)
        os.close(write)

    def test_wrapper_passes_port_paths_on_and_refuses_to_run_itself(self):
        tools = support.required("PORTKICK_TOOLS")
        os.symlink(tools + "/avrdude.exe", self.dir + "/avrdude")
        passed_on = "-v -P {0}/COM6 -P{0}/COM7 -U flash:w:COM8:i\n".format(self.dir)
        for avrdude in ("echo", "avrdude.exe", tools + "/avrdude.exe", self.dir + "/avrdude"):
            result = subprocess.run([tools + "/avrdude.exe", "-v", "-P", "COM6", "-PCOM7", "-U", "flash:w:COM8:i"],
                                    env=dict(self.env, AVRDUDE=avrdude, PATH=tools + ":" + os.environ["PATH"]),
                                    capture_output=True, text=True, timeout=10)
            self.assertEqual((result.returncode, result.stdout, result.stderr.count("\n")),
                             (0, passed_on, 0) if avrdude == "echo" else (1, "", 1), avrdude)


class Flash(unittest.TestCase):
    def test_the_board_takes_each_image_whatever_the_parent_left_but_never_over_the_bootloader(self):
        root = self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-program-"))
        board = simboard.Board(root)
        self.addCleanup(board.stop)
        merged, done = dict(stderr=subprocess.STDOUT), support.success_lines()
        sigchld_ignored = dict(preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
        cases = [  # where the image starts, how the parent starts portkick, its status, first 4 lines and last
            ("both streams in one pipe", 0, merged, 0, done),
            ("stderr closed", 512, dict(preexec_fn=lambda: os.close(2)), 0, done),
            ("SIGCHLD ignored", 1024, sigchld_ignored, 0, done),
            ("an image over the bootloader", simboard.APPLICATION_SIZE - 256, merged, 1,
             done[:4] + ["[ERROR] avrdude failed with code 1"])]
        for number, (name, start, options, status, lines) in enumerate(cases, 1):
            with self.subTest(name):
                board.wait_for("app-appeared", number)
                data, old = os.urandom(512), board.flash()
                pathlib.Path(root, "firmware.hex").write_text(simboard.hex_text({start: data}))
                result = support.run_portkick(root, board.dir, timeout=60, **options)
                out = result.stdout.splitlines()
                self.assertEqual((result.returncode, out[:4] + out[-1:]), (status, lines))
                self.assertEqual("avrdude done" in result.stdout, options.get("stderr") == subprocess.STDOUT)
                board.wait_for("boot-vanished", number)
                self.assertEqual(board.flash(), (old[:start] + data + old[start + 512:])[:simboard.APPLICATION_SIZE]
                                 + old[simboard.APPLICATION_SIZE:])


class Turns(unittest.TestCase):
    def test_a_run_started_with_during_or_right_after_another_flashes_its_own_board(self):
        """Boards on COM5 and COM7 (bootloaders COM6 and COM8): a run waits for the other's turn, then for
        the other's board to be back on its own port, which it must not take for its bootloader."""
        waiting = "[INFO] Waiting for another portkick run to finish..."

        def pair(delay):  # None: the second starts when the first has ended
            root = self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-turns-"))
            boards = []
            for port, boot in (("COM5", "COM6"), ("COM7", "COM8")):
                board = simboard.Board(root + "/" + port, "--boot-name", boot, name=port, directory=root + "/dev")
                self.addCleanup(board.stop)
                board.port, board.boot, board.image = port, boot, os.urandom(512)
                pathlib.Path(root, port, "firmware.hex").write_text(simboard.hex_text({0: board.image}))
                boards.append(board)

            def run(board, pause):
                time.sleep(pause)
                return support.run_portkick(root + "/" + board.port, board.dir, port=board.port, timeout=60)
            with concurrent.futures.ThreadPoolExecutor(1 if delay is None else 2) as pool:  # 1: one, then the other
                return boards, list(pool.map(run, boards, (0, delay or 0)))

        delays = (0, 0.3, 1, None)
        with concurrent.futures.ThreadPoolExecutor(len(delays)) as pool:
            pairs = list(pool.map(pair, delays))
        for delay, (boards, results) in zip(delays, pairs):
            with self.subTest(delay=delay):
                waited = [result.stdout.startswith(waiting + "\n") for result in results]
                for board, result, wait in zip(boards, results, waited):
                    lines = [waiting] * wait + support.success_lines(board.port, board.boot)
                    self.assertEqual((result.returncode, result.stdout), (0, "\n".join(lines) + "\n"), result.stderr)
                    board.wait_for("boot-vanished")
                    self.assertEqual(board.flash()[:512], board.image, board.port)
                # Started together, one waits; one right after the other, neither; else at most one.
                self.assertIn(sum(waited), {0: {1}, None: {0}}.get(delay, {0, 1}))


if __name__ == "__main__":
    support.main()
