"""End-to-end runs of portkick on its POSIX layer against the simulated board
(sim/simboard.py), with the real avrdude behind tools/avrdude.exe.

Each rig's board gets a fresh directory, and portkick finds an avrdude.exe
there first on PATH that notes its arguments and then runs the real one,
keeping its output and status so that they can be told from portkick's
(or, as a stand-in, does nothing more). Run one group with e.g.
`python3 e2e_test.py -v FlashTest`."""
import concurrent.futures
import ctypes
import os
import random
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

import simboard
from simboard import success_lines

TIMEOUT_LINE = "[ERROR] Timeout: No new COM port detected.\n"


def setUpModule():
    simboard.require_avrdude()


def text(lines):
    return "".join(line + "\n" for line in lines)


def scan_counter(test, directory):
    """Puts a regular file COM200 into `directory`; a file that opens counts
    as a port, so every scan opens it. Returns a function that tells how
    often it has been opened, from inotify (opens and closes alternate, so
    it merges no two events)."""
    open(os.path.join(directory, "COM200"), "w").close()
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0 or libc.inotify_add_watch(fd, directory.encode(), 0x20 | 0x18) < 0:  # open, close
        raise OSError(ctypes.get_errno(), "inotify")
    test.addCleanup(os.close, fd)
    opened = 0

    def count():
        nonlocal opened
        while True:
            try:
                data = os.read(fd, 65536)
            except BlockingIOError:
                return opened
            at = 0
            while at < len(data):
                _, mask, _, size = struct.unpack_from("iIII", data, at)
                if mask & 0x20 and data[at + 16:at + 16 + size].rstrip(b"\0") == b"COM200":
                    opened += 1
                at += 16 + size
    return count


class Rig:
    """A simulated board on COM5; portkick runs in run/, with firmware.hex."""

    def __init__(self, test, *board_options, real_avrdude=True):
        self.root = tempfile.mkdtemp(prefix="portkick-e2e-")
        test.addCleanup(shutil.rmtree, self.root, True)
        self.work = self.path("run")
        os.mkdir(self.work)
        self.firmware = self.path("run", "firmware.hex")
        shutil.copy(simboard.required("PORTKICK_FIRMWARE"), self.firmware)
        args, out, status = (shlex.quote(self.path(name)) for name in ("args", "out", "status"))
        body = 'printf "%%s\\n" "$@" >%s' % args
        if real_avrdude:
            tools = shlex.quote(simboard.required("PORTKICK_TOOLS"))
            body += ('\n%s/avrdude.exe "$@" >%s 2>&1\ns=$?\ncat %s >&2\necho $s >%s\nexit $s'
                     % (tools, out, out, status))
        simboard.shim(self.path("bin"), body)
        self.board = simboard.Board(self.root, *board_options)
        test.addCleanup(self.board.stop)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def run(self, port="COM5", **options):
        """Runs portkick; the result also holds how long it took."""
        for name in ("args", "out", "status"):
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
        started = time.monotonic()
        result = simboard.run_portkick(self.work, self.board.dir, self.path("bin"), port=port,
                                       timeout=60, **options)
        result.seconds = time.monotonic() - started
        return result

    def avrdude(self):
        """avrdude's arguments, output and status; None for any it did not leave."""
        def read(name):
            if os.path.exists(self.path(name)):
                with open(self.path(name), errors="replace") as f:
                    return f.read()
        status = read("status")
        return read("args"), read("out"), status and int(status)


class FlashTest(unittest.TestCase):
    def test_one_board_flashed_again_and_again(self):
        """Two firmware.hex files that avrdude rejects, which must leave the
        board as it was, then ten flashes in a row: the sample firmware and
        nine random sets of whole pages."""
        rig = Rig(self)
        listing = rig.run("--list")
        self.assertEqual(listing.stdout, "Available COM ports:\n  - COM5\n")

        with open(rig.firmware) as f:
            sample = f.read()
        # Whole pages at changing places, so what each flash leaves of the
        # earlier ones is known.
        chance = random.Random(20240601)
        pages = [(chance.randrange(64) * simboard.PAGE,
                  chance.randbytes(chance.randrange(1, 24) * simboard.PAGE)) for _ in range(9)]
        rounds = ([("not Intel HEX", "this is not a hex file\n"), ("no firmware.hex", None),
                   ("sample firmware", sample)]
                  + [("%d bytes at 0x%04X" % (len(data), start), simboard.hex_text({start: data}))
                     for start, data in pages])
        expected = simboard.BLANK
        for number, (name, firmware) in enumerate(rounds, 1):
            with self.subTest(name):
                if firmware is None:
                    os.remove(rig.firmware)
                else:
                    with open(rig.firmware, "w") as f:
                        f.write(firmware)
                rig.board.wait_for("app-appeared", number)
                # Once with both streams in one pipe: avrdude's output must
                # stand between portkick's Running line and its last one.
                merged = name == "sample firmware"
                result = rig.run(stderr=subprocess.STDOUT) if merged else rig.run()
                _, output, status = rig.avrdude()
                if number <= 2:  # rejected
                    self.assertNotIn(status, (None, 0))
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (1, text(success_lines()[:4]),
                                      output + "[ERROR] avrdude failed with code %d\n" % status))
                else:
                    expected = simboard.overlay(expected, simboard.hex_bytes(rig.firmware))
                    lines = success_lines()
                    stdout = text(lines[:4]) + output + text(lines[4:]) if merged else text(lines)
                    self.assertEqual((result.returncode, result.stdout, result.stderr, status),
                                     (0, stdout, None if merged else output, 0))
                rig.board.wait_for("boot-vanished", number)
                self.assertEqual(rig.board.flash(), expected)
        # --list left the board alone: one reset a flash.
        self.assertEqual(rig.board.count("reset"), len(rounds))


class SurroundingsTest(unittest.TestCase):
    def test_flash_whatever_the_parent_left_the_process_with(self):
        """Closed standard streams, an ignored SIGCHLD, a reader that goes
        away after the first line: each run still flashes the board and ends
        with status 0, and says what it says on the streams that are open."""
        def close(fd):
            return lambda: os.close(fd)

        def ignore_sigchld():
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)

        cases = [("stdout closed", close(1)),
                 ("stderr closed", close(2)), ("SIGCHLD ignored", ignore_sigchld),
                 ("reader gone after the first line", None)]
        rig = Rig(self)
        # avrdude itself, with the streams portkick hands it.
        os.remove(rig.path("bin", "avrdude.exe"))
        chance = random.Random(8)
        image = simboard.BLANK
        for number, (name, preexec) in enumerate(cases, 1):
            with self.subTest(name):
                start = chance.randrange(64) * simboard.PAGE
                with open(rig.firmware, "w") as f:
                    f.write(simboard.hex_text({start: chance.randbytes(4 * simboard.PAGE)}))
                image = simboard.overlay(image, simboard.hex_bytes(rig.firmware))
                rig.board.wait_for("app-appeared", number)
                if preexec:
                    result = rig.run(preexec_fn=preexec)
                    status, out, err = result.returncode, result.stdout, result.stderr
                    self.assertEqual(out, "" if "stdout" in name else text(success_lines()))
                    self.assertEqual(err == "", "stderr" in name, err)
                    self.assertNotIn("[ERROR]", err)
                else:
                    process = subprocess.Popen(
                        [simboard.required("PORTKICK"), "COM5"], cwd=rig.work,
                        env=simboard.environment(rig.board.dir, rig.path("bin")),
                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                        stderr=subprocess.DEVNULL)
                    first = process.stdout.readline()
                    process.stdout.close()
                    status = process.wait(timeout=60)
                    self.assertEqual(first.decode(), text(success_lines()[:1]))
                self.assertEqual(status, 0)
                rig.board.wait_for("boot-vanished", number)
                self.assertEqual(rig.board.flash(), image)


class WaitTest(unittest.TestCase):
    """Bootloader ports that show late, not at all, or where they cannot be
    told from the board's own; all run at once, to wait out 5 s only once."""

    def test_bootloader_port_search(self):
        cases = [  # name, board options, the port portkick must take (None: none)
            ("no bootloader", ["--no-bootloader"], None),
            ("bootloader under the board's own name", ["--boot-name", "COM5"], None),
            ("bootloader above COM256", ["--boot-name", "COM300"], None),
            ("bootloader after 6 s", ["--enum-delay-ms", "6000"], None),
            ("bootloader after 4.5 s", ["--enum-delay-ms", "4500"], "COM6"),
            ("COM9 and COM10 at once", ["--boot-name", "COM9", "--extra-port", "COM10"], "COM10"),
        ]
        # COM10 is no bootloader: a stand-in takes avrdude's place there.
        rigs = [Rig(self, *options, real_avrdude=port != "COM10") for _, options, port in cases]
        for rig in rigs[:4]:
            rig.scans = scan_counter(self, rig.board.dir)
        with concurrent.futures.ThreadPoolExecutor(len(rigs)) as pool:
            results = list(pool.map(Rig.run, rigs))

        for (name, _, port), rig, result in zip(cases, rigs, results):
            with self.subTest(name):
                args, output, _ = rig.avrdude()
                self.assertEqual(rig.board.count("reset"), 1)
                if port is None:
                    self.assertEqual((result.returncode, result.stdout, result.stderr, args),
                                     (1, text(success_lines()[:2]), TIMEOUT_LINE, None))
                    self.assertEqual(rig.scans(), 101, "the snapshot and 100 polls")
                    self.assertGreaterEqual(result.seconds, 5.1, "100 polls of 50 ms after the touch")
                else:
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (0, text(success_lines(boot=port)), output or ""))
                    self.assertIn("-P\n%s\n" % port, args)
        # The boards did show what the cases say.
        shown = [[arg for _, event, arg in rig.board.events() if event == "boot-appeared"]
                 for rig in rigs[:3]]
        self.assertEqual(shown, [[], ["COM5"], ["COM300"]])
        late = rigs[4].board
        self.assertGreaterEqual(late.wait_for("boot-appeared") - late.wait_for("reset"), 4.5e9)


if __name__ == "__main__":
    unittest.main()
