"""Hostile and odd port arguments against the built portkick on the POSIX
layer: each ends at once with the line for it and status 1, opens nothing for
writing outside the device directory, changes nothing and runs no shell."""
import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest

PORTKICK = os.environ["PORTKICK"]
USAGE = (b"Usage:\n"
         b"  portkick COMx     - reset and flash using COMx (e.g., COM3)\n"
         b"  portkick --list   - list available COM ports\n")
CHANGES = re.compile(rb"^\d+ +(unlink|unlinkat|rename|renameat2?|mkdir|mkdirat|rmdir|"
                     rb"chmod|fchmodat|truncate|symlink|symlinkat|link|linkat|creat)\(", re.M)
OPENS = re.compile(rb'^\d+ +open(?:at)?\((?:AT_FDCWD, )?"((?:[^"\\]|\\.)*)", ([A-Z_|]+)', re.M)
SYSTEM_READS = (b"/etc/", b"/lib", b"/usr/lib", b"/usr/share/locale", b"/proc/")


def arguments():
    rng = random.Random(5)
    fixed = ["", " ", "COM0", "COM257", "COM5 ", " COM5", "com5", "Com5", "COM05", "COM+5",
             "COM-1", "COM4294967297", "-", "--", "--list=1", "--list ", "--LIST", "-l", "/dev/null",
             "../x", "../../etc/passwd", "a/b", "COM5/", ".", "..", "./COM5", "\\\\.\\COM5",
             "COM5\\..\\x", "$(touch pwned)", "`touch pwned`", "a;touch pwned", "a|touch pwned",
             "a&&touch pwned", "a>pwned", "$HOME", "'", '"', "name with spaces", "COM\t5",
             "COM\n5", "COMé", "ＣＯＭ５", "コム", "\x7f\x01\x1b[31m", "x" * 65536, "COM" + "9" * 4096]
    fixed += ["COM%d" % n for n in (6, 99, 100, 255, 256, 1000)]
    alphabet = "COM0123456789/\\.;|&$()`'\" -_~*?<>{}[]!#%\t"
    for _ in range(200):
        fixed.append("".join(rng.choice(alphabet) for _ in range(rng.randint(1, 40))))
    for _ in range(100):
        raw = bytes(rng.randint(1, 255) for _ in range(rng.randint(1, 64)))
        fixed.append(raw.decode("utf-8", "surrogateescape"))
    return fixed


class HostileArguments(unittest.TestCase):
    def test_every_argument_fails_to_open_and_touches_nothing(self):
        root = tempfile.mkdtemp(prefix="portkick-args-")
        self.addCleanup(shutil.rmtree, root)
        devices = os.path.join(root, "dev")
        work = os.path.join(devices, "cwd")
        os.makedirs(work)
        open(os.path.join(root, "x"), "w").close()  # what "../x" would reach
        open(os.path.join(devices, "COM1"), "w").close()
        before = sorted(os.walk(root))
        env = dict(os.environ, PORTKICK_DEVICE_DIR=devices)

        for arg in arguments():
            argb = os.fsencode(arg)
            trace = os.path.join(root, "trace")
            result = subprocess.run(
                ["strace", "-f", "-qq", "-s", "70000", "-o", trace,
                 "-e", "trace=%file,execve", PORTKICK, argb],
                env=env, cwd=work, capture_output=True, timeout=10)
            with open(trace, "rb") as f:
                calls = f.read()
            os.unlink(trace)
            with self.subTest(arg=arg[:80]):
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (1, b"", b"Failed to open port " + argb + b"\n"))
                self.assertEqual(calls.count(b" execve("), 1, "a second program ran")
                self.assertIsNone(CHANGES.search(calls))
                opens = OPENS.findall(calls)
                probes = [p for p, f in opens if p.startswith(os.fsencode(devices) + b"/COM")]
                self.assertGreaterEqual(len(probes), 256)
                for path, flags in opens:
                    if b"O_RDWR" in flags or b"O_WRONLY" in flags:
                        self.assertTrue(path.startswith(os.fsencode(devices) + b"/"), path)
                    else:
                        self.assertTrue(path.startswith(SYSTEM_READS), path)
        self.assertEqual(sorted(os.walk(root)), before)

    def test_wrong_counts_print_usage(self):
        for args in ([], ["COM5", "COM6"], ["--list", "--list"], [""] * 3):
            result = subprocess.run([PORTKICK, *args], capture_output=True, timeout=10)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (1, USAGE, b""))


if __name__ == "__main__":
    unittest.main()
