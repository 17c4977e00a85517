"""The built portkick on the POSIX layer, in a temporary device directory of
regular files and pseudo-terminals."""
import fcntl
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest

PORTKICK = os.environ["PORTKICK"]
USAGE = (b"Usage:\n"
         b"  portkick COMx     - reset and flash using COMx (e.g., COM3)\n"
         b"  portkick --list   - list available COM ports\n")


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="portkick-dev-")
        self.addCleanup(shutil.rmtree, self.dir)

    def touch(self, *names):
        for name in names:
            open(os.path.join(self.dir, name), "w").close()

    def pty_port(self, name):
        """A pseudo-terminal linked as `name`; returns its master."""
        master, slave = pty.openpty()
        os.symlink(os.ttyname(slave), os.path.join(self.dir, name))
        os.close(slave)
        self.addCleanup(os.close, master)
        return master

    def run_portkick(self, *args):
        env = dict(os.environ, PORTKICK_DEVICE_DIR=self.dir)
        return subprocess.run([PORTKICK, *args], env=env, capture_output=True,
                              cwd=self.dir, timeout=30)

    def check(self, result, status, out=b"", err=b""):
        self.assertEqual((result.returncode, result.stdout, result.stderr), (status, out, err))

    def test_wrong_argument_count_prints_usage_on_stdout(self):
        self.touch("COM1")
        self.check(self.run_portkick(), 1, USAGE)
        self.check(self.run_portkick("COM1", "--list"), 1, USAGE)

    def test_list_in_byte_order_and_only_openable_ports_up_to_256(self):
        self.check(self.run_portkick("--list"), 0, b"No COM ports found.\n")
        self.touch("COM3", "COM1", "COM10", "COM257", "COM0", "COM03", "com2", "COM4")
        self.pty_port("COM200")
        with open(os.path.join(self.dir, "COM4")) as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            self.check(self.run_portkick("--list"), 0,
                       b"Available COM ports:\n  - COM1\n  - COM10\n  - COM200\n  - COM3\n")

    def test_anything_but_list_is_a_port_name(self):
        for arg in ("--LIST", "--list ", "", "COM99", "../COM1", "COM1/"):
            with self.subTest(arg=arg):
                self.touch("COM1")
                self.check(self.run_portkick(arg), 1,
                           err=b"Failed to open port " + arg.encode() + b"\n")

    def test_port_held_by_another_process_cannot_be_reset(self):
        self.touch("COM5")
        holder = subprocess.Popen(
            [sys.executable, "-c", "import fcntl, sys, time\n"
             "f = open(sys.argv[1]); fcntl.flock(f, fcntl.LOCK_EX)\n"
             "print(flush=True); time.sleep(60)", os.path.join(self.dir, "COM5")],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        holder.stdout.readline()
        self.addCleanup(holder.stdout.close)
        self.check(self.run_portkick("--list"), 0, b"No COM ports found.\n")
        self.check(self.run_portkick("COM5"), 1, err=b"Failed to open port COM5\n")

    def test_file_that_is_no_serial_port(self):
        self.touch("COM5")
        self.check(self.run_portkick("COM5"), 1, err=b"Error getting COM state.\n")

    def test_reset_leaves_port_at_1200_8n1_and_waits_out_all_polls(self):
        master = self.pty_port("COM5")
        start = time.monotonic()
        result = self.run_portkick("COM5")
        elapsed = time.monotonic() - start
        self.check(result, 1,
                   b"[INFO] Triggered 1200bps reset on COM5\n"
                   b"[INFO] Waiting for bootloader COM port...\n",
                   b"[ERROR] Timeout: No new COM port detected.\n")
        attrs = termios.tcgetattr(master)
        self.assertEqual((attrs[4], attrs[5]), (termios.B1200, termios.B1200))
        self.assertEqual(attrs[2] & (termios.CSIZE | termios.PARENB | termios.CSTOPB),
                         termios.CS8)
        self.assertGreaterEqual(elapsed, 0.1 + 100 * 0.05)


if __name__ == "__main__":
    unittest.main()
