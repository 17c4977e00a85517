"""Faults in the middle of a flash of the simulated board: the bootloader's
port vanishes under avrdude, avrdude dies by a signal, the device directory
goes away while portkick waits. Each run must end with status 1 and a
failure line on standard error, and never claim success."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import unittest

import simboard
from simboard import Board, run_portkick

FAILED = re.compile(rb"^\[ERROR\] avrdude failed with code (-?\d+)$")
TIMEOUT = b"[ERROR] Timeout: No new COM port detected.\n"
WAITING = [b"[INFO] Triggered 1200bps reset on COM5", b"[INFO] Waiting for bootloader COM port..."]


def setUpModule():
    simboard.require_avrdude()


class Faults(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="portkick-faults-")
        self.addCleanup(shutil.rmtree, self.root)
        self.work = os.path.join(self.root, "work")
        os.makedirs(self.work)
        self.shims = os.path.join(self.root, "shims")

    def board(self, *options):
        board = Board(self.root, *options)
        self.addCleanup(board.stop)
        return board

    def firmware(self, size):
        data = bytes((i * 7 + 3) & 0xFF for i in range(size))
        with open(os.path.join(self.work, "firmware.hex"), "w") as f:
            f.write(simboard.hex_text({0: data}))
        return data

    def assert_programmer_failed(self, result, code=None):
        """Status 1 after the programmer ran on COM6 and failed."""
        out, err = result.stdout.splitlines(), result.stderr.splitlines()
        context = "stdout:\n%s\nstderr:\n%s" % (result.stdout.decode(errors="replace"),
                                                result.stderr.decode(errors="replace"))
        self.assertEqual(result.returncode, 1, context)
        self.assertEqual(out[:4], simboard.success_lines("COM5", "COM6")[:4], context)
        self.assertNotIn(b"[INFO] Flash successful!", result.stdout, context)
        failed = FAILED.match(err[-1]) if err else None
        self.assertIsNotNone(failed, context)
        self.assertNotEqual(int(failed.group(1)), 0, context)
        if code is not None:
            self.assertEqual(int(failed.group(1)), code, context)

    def test_bootloader_vanishes_while_avrdude_talks_to_it(self):
        # avrdude 7.1 gives up on a bootloader that stopped answering only
        # after a 5 s wait for each command it still sends: over half a
        # minute when the port goes during the identification, minutes in
        # the middle of a write. Its avrdude.exe here is the real one under a
        # 10 s watchdog; whichever way avrdude ends, portkick must report it.
        simboard.shim(self.shims, "exec timeout -s KILL 10 %s/avrdude.exe \"$@\"" % simboard.TOOLS)
        for vanish_after, where in ((3, "while avrdude identifies the bootloader"),
                                    (2000, "in the middle of writing the flash")):
            with self.subTest(where):
                root = os.path.join(self.root, str(vanish_after))
                os.makedirs(root)
                board = Board(root, "--enum-delay-ms", "100", "--vanish-after-bytes", str(vanish_after))
                self.addCleanup(board.stop)
                data = self.firmware(8192)
                result = run_portkick(self.work, board.dir, self.shims)
                self.assert_programmer_failed(result)
                # The port did vanish, and before the whole firmware was in.
                board.wait_for("boot-vanished", 1)
                self.assertNotEqual(board.flash()[:len(data)], data)

    def test_avrdude_dies_by_a_signal(self):
        # status 128 + the signal's number, as the POSIX layer reports it
        for name in ("KILL", "TERM", "SEGV"):
            with self.subTest(signal=name):
                root = os.path.join(self.root, name)
                os.makedirs(root)
                board = Board(root, "--enum-delay-ms", "50")
                self.addCleanup(board.stop)
                self.firmware(256)
                shims = os.path.join(self.shims, name)
                simboard.shim(shims, "kill -%s $$\nexit 0" % name)
                result = run_portkick(self.work, board.dir, shims)
                self.assert_programmer_failed(result, 128 + getattr(signal, "SIG" + name))

    def test_real_avrdude_killed_while_writing(self):
        board = self.board("--enum-delay-ms", "50")
        self.firmware(24 * 1024)
        pid_file = os.path.join(self.root, "avrdude.pid")
        # The avrdude.exe wrapper and avrdude itself keep this process id.
        simboard.shim(self.shims, "echo $$ > %s\nexec %s/avrdude.exe \"$@\"" % (pid_file, simboard.TOOLS))
        with subprocess.Popen([simboard.PORTKICK, "COM5"], cwd=self.work,
                              env=simboard.environment(board.dir, self.shims),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as process:
            out = []
            reader = threading.Thread(target=lambda: out.append(process.stdout.read()))
            reader.start()
            err = b""
            # avrdude reports on standard error when it starts writing.
            for line in process.stderr:
                err += line
                if line.startswith(b"avrdude: writing"):
                    with open(pid_file) as f:
                        os.kill(int(f.read()), signal.SIGKILL)
                    break
            err += process.stderr.read()
            process.wait(timeout=30)
            reader.join()
        result = subprocess.CompletedProcess(process.args, process.returncode, out[0], err)
        self.assertIn(b"avrdude: writing", err)
        self.assertNotIn(b"bytes of flash written", err)
        self.assert_programmer_failed(result, 128 + signal.SIGKILL)

    def test_device_directory_goes_away_while_waiting(self):
        """The board's port directory is removed, or replaced by a file,
        during the wait: no port ever shows up again, so the wait runs out."""
        def removed(path):
            shutil.rmtree(path)

        def replaced_by_a_file(path):
            shutil.rmtree(path)
            with open(path, "w") as f:
                f.write("COM6\n")

        for change in (removed, replaced_by_a_file):
            with self.subTest(change.__name__):
                root = os.path.join(self.root, change.__name__)
                os.makedirs(root)
                # The bootloader would show up 2 s after the touch.
                board = Board(root, "--enum-delay-ms", "2000")
                self.addCleanup(board.stop)
                simboard.shim(self.shims, "exit 0")
                process = subprocess.Popen([simboard.PORTKICK, "COM5"], cwd=self.work,
                                           env=simboard.environment(board.dir, self.shims),
                                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE)
                first = [process.stdout.readline(), process.stdout.readline()]
                change(board.dir)
                out, err = process.communicate(timeout=60)
                self.assertEqual([line.rstrip(b"\n") for line in first], WAITING)
                self.assertEqual((process.returncode, out, err), (1, b"", TIMEOUT))

    def test_device_directory_comes_back_before_the_bootloader(self):
        """Removed and made again during the wait: the bootloader that then
        shows up in it is found and flashed."""
        board = self.board("--enum-delay-ms", "1500")
        data = self.firmware(512)
        process = subprocess.Popen([simboard.PORTKICK, "COM5"], cwd=self.work,
                                   env=simboard.environment(board.dir), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = [process.stdout.readline(), process.stdout.readline()]
        shutil.rmtree(board.dir)
        os.mkdir(board.dir)
        out, err = process.communicate(timeout=60)
        self.assertEqual([line.rstrip(b"\n") for line in first], WAITING)
        self.assertEqual(process.returncode, 0, err.decode(errors="replace"))
        self.assertEqual(out.splitlines(), simboard.success_lines("COM5", "COM6")[2:])
        board.wait_for("flash-saved", 1)
        self.assertEqual(board.flash()[:len(data)], data)


if __name__ == "__main__":
    unittest.main()
