"""The built portkick on the POSIX layer, in a temporary device directory."""
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
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
        with open(os.path.join(self.dir, "COM4")) as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            self.check(self.run_portkick("--list"), 0,
                       b"Available COM ports:\n  - COM1\n  - COM10\n  - COM3\n")

    def test_port_held_by_another_process_is_neither_listed_nor_reset(self):
        self.touch("COM5")
        for lock in ("fcntl.flock(f, fcntl.LOCK_EX)", "pass"):
            with self.subTest(lock=lock):
                holder = subprocess.Popen(
                    [sys.executable, "-c", "import fcntl, sys, time\n"
                     "f = open(sys.argv[1], 'r+'); %s\n"
                     "print(flush=True); time.sleep(60)" % lock, os.path.join(self.dir, "COM5")],
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                try:
                    holder.stdout.readline()
                    self.check(self.run_portkick("--list"), 0, b"No COM ports found.\n")
                    self.check(self.run_portkick("COM5"), 1, err=b"Failed to open port COM5\n")
                finally:
                    holder.kill()
                    holder.wait()
                    holder.stdout.close()
        self.check(self.run_portkick("--list"), 0, b"Available COM ports:\n  - COM5\n")

    def test_closed_streams_and_a_reader_that_went_away(self):
        """A closed standard error never becomes the port that the error line
        is written to, and a write to a pipe nobody reads fails without ending
        the run."""
        self.touch("COM7")
        env = dict(os.environ, PORTKICK_DEVICE_DIR=self.dir)
        result = subprocess.run([PORTKICK, "COM7"], env=env, stdout=subprocess.PIPE,
                                preexec_fn=lambda: os.close(2), timeout=30)
        self.assertEqual(result.returncode, 1)
        with open(os.path.join(self.dir, "COM7"), "rb") as port:
            self.assertEqual(port.read(), b"")
        for args, status in ((["--list"], 0), ([], 1), (["COM7"], 1)):
            with self.subTest(args=args):
                read, write = os.pipe()
                os.close(read)
                result = subprocess.run([PORTKICK, *args], env=env, stdout=write,
                                        stderr=write, timeout=30)
                os.close(write)
                self.assertEqual(result.returncode, status)

    def test_file_that_is_no_serial_port(self):
        self.touch("COM5")
        self.check(self.run_portkick("COM5"), 1, err=b"Error getting COM state.\n")


if __name__ == "__main__":
    unittest.main()
