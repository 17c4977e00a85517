"""Faults in the middle of a flash of the simulated board: the bootloader's
port vanishes under avrdude, avrdude dies by a signal, the device directory
goes away while portkick waits. Each run ends with status 1 and a failure
line, never with success."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

import simboard
from simboard import Board

FAILED = re.compile(r"\[ERROR\] avrdude failed with code (-?\d+)\n\Z")
TIMEOUT = "[ERROR] Timeout: No new COM port detected.\n"


def setUpModule():
    simboard.require_avrdude()


class Faults(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="portkick-faults-")
        self.addCleanup(shutil.rmtree, self.root)

    def board(self, name, *options, firmware=b"\x5a" * 8192, check=True):
        root = os.path.join(self.root, name)
        work = os.path.join(root, "work")
        os.makedirs(work)
        with open(os.path.join(work, "firmware.hex"), "w") as f:
            f.write(simboard.hex_text({0: firmware}))
        board = Board(root, *options)
        self.addCleanup(board.stop, check)
        return board, work

    def assert_avrdude_failed(self, result, code=None):
        context = result.stdout + result.stderr
        self.assertEqual(result.returncode, 1, context)
        self.assertEqual(result.stdout.splitlines()[:4], simboard.success_lines()[:4], context)
        self.assertNotIn("Flash successful", result.stdout, context)
        failed = FAILED.search(result.stderr)
        self.assertIsNotNone(failed, context)
        self.assertIn(int(failed.group(1)), [code] if code else range(1, 256), context)

    def test_bootloader_vanishes_while_avrdude_talks_to_it(self):
        # avrdude waits seconds for every answer that does not come; a
        # watchdog keeps the run short, and either way it must fail.
        shims = simboard.shim(os.path.join(self.root, "watchdog"),
                              'exec timeout -s KILL 10 "$PORTKICK_TOOLS/avrdude.exe" "$@"')
        for after, where in ((3, "identifying"), (2000, "writing")):
            with self.subTest(where):
                board, work = self.board(where, "--vanish-after-bytes", str(after))
                result = simboard.run_portkick(work, board.dir, os.path.dirname(shims))
                self.assert_avrdude_failed(result)
                board.wait_for("boot-vanished")
                self.assertNotEqual(board.flash()[:8192], b"\x5a" * 8192)

    def test_avrdude_dies_by_a_signal(self):
        for name in ("KILL", "TERM", "SEGV"):
            with self.subTest(name):
                board, work = self.board(name)
                shims = os.path.join(self.root, name, "bin")
                simboard.shim(shims, "kill -%s $$" % name)
                self.assert_avrdude_failed(simboard.run_portkick(work, board.dir, shims),
                                           128 + getattr(signal, "SIG" + name))

    def test_device_directory_changes_while_waiting(self):
        def removed(path):
            shutil.rmtree(path)

        def replaced_by_a_file(path):
            removed(path)
            open(path, "w").close()

        def made_again(path):
            removed(path)
            os.mkdir(path)

        for change, status in ((removed, 1), (replaced_by_a_file, 1), (made_again, 0)):
            with self.subTest(change.__name__):
                # The bootloader would appear 1.5 s after the touch.
                # A board whose directory is gone cannot show its port: it
                # gives up with status 1.
                board, work = self.board(change.__name__, "--enum-delay-ms", "1500",
                                         check=status == 0)
                process = subprocess.Popen(
                    [simboard.required("PORTKICK"), "COM5"], cwd=work, text=True,
                    env=simboard.environment(board.dir), stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                waiting = process.stdout.readline() + process.stdout.readline()
                change(board.dir)
                out, err = process.communicate(timeout=60)
                self.assertEqual((waiting + out).splitlines()[:2], simboard.success_lines()[:2])
                self.assertEqual(process.returncode, status, err)
                if status:
                    self.assertEqual((out, err), ("", TIMEOUT))
                else:
                    self.assertEqual(out.splitlines()[-1], "[INFO] Flash successful!")


if __name__ == "__main__":
    unittest.main()
