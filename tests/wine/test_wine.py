"""The Windows zip under Wine 8.0, unzipped into a folder named with a blank and a ";", on Wine's own PATH.
Each Wine process runs in a mount namespace whose /dev holds no serial device (Wine would link the host's to COM
names); one wineserver serves the run, so that only portkick.exe writes to its streams. Skipped without the zip."""
import concurrent.futures
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest

import simboard
import support

BUILD = os.path.dirname(os.environ.get("PORTKICK_EXE", ""))  # build-win/
FOLDER = "portkick-%s-win64" % os.environ["PORTKICK_VERSION"]
NAMESPACE = r"""set -e; mount --rbind /dev "$OLD_DEV"; mount -t tmpfs tmpfs /dev
for n in null zero urandom random full tty; do : >/dev/$n; mount --bind "$OLD_DEV/$n" /dev/$n; done
mkdir /dev/pts /dev/shm; ln -s pts/ptmx /dev/ptmx; ln -s /proc/self/fd /dev/fd; mount --rbind "$OLD_DEV/pts" /dev/pts
mount --rbind "$OLD_DEV/shm" /dev/shm; umount -l "$OLD_DEV"; exec "$@"
"""


def crlf(*lines):  # what "\n" becomes on its way out of the C runtime's text mode
    return b"".join(line.encode() + b"\r\n" for line in lines)


def wine(*command, env=None, **options):
    user = [] if os.geteuid() == 0 else ["--map-root-user"]  # a user namespace's root may mount
    return subprocess.run(["unshare", *user, "-m", "--propagation", "private", "sh", "-c", NAMESPACE, "sh",
                           *command], env=dict(ENV, **(env or {})), stdin=subprocess.DEVNULL, timeout=180, **options)


def setUpModule():
    global ENV, ROOT, EXE
    zip_file = "%s/%s.zip" % (BUILD, FOLDER)
    if not BUILD or not os.path.isfile(zip_file):
        raise unittest.SkipTest("no Windows zip to test: %r was not built" % zip_file)
    ROOT = tempfile.mkdtemp(prefix="portkick-wine-")
    unittest.addModuleCleanup(shutil.rmtree, ROOT, True)
    for directory in ("/olddev", "/prefix"):  # the server wants its prefix there
        os.mkdir(ROOT + directory)
    shutil.unpack_archive(zip_file, ROOT + "/un;zipped here")
    EXE = "%s/un;zipped here/%s/portkick.exe" % (ROOT, FOLDER)
    ENV = dict(os.environ, WINEPREFIX=ROOT + "/prefix", WINEDEBUG="-all", WINEARCH="win64",
               WINEDLLOVERRIDES="mscoree,mshtml=", TMPDIR=ROOT, OLD_DEV=ROOT + "/olddev", DISPLAY="")
    ENV.pop("WINEPATH", None)
    # Apart from any pipe of ours, which the server would keep open.
    wine("wineserver", "-p", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    unittest.addModuleCleanup(wine, "wineserver", "-k")
    wine("wineboot", "-i", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


class Wine(unittest.TestCase):
    def setUp(self):
        self.work, self.ports = tempfile.mkdtemp(dir=ROOT), ROOT + "/prefix/dosdevices/"
        pathlib.Path(ROOT, "prefix/drive_c/ProgramData/portkick-turn").unlink(missing_ok=True)  # no run just ended

    def board(self, app, boot, *options):
        work = "%s/%s" % (self.work, app)
        board = simboard.Board(work, "--boot-name", boot.lower(), *options, name=app.lower(), directory=self.ports)
        self.addCleanup(board.stop)
        board.port, board.boot, board.work, board.image = app, boot, work, os.urandom(512)
        pathlib.Path(work, "firmware.hex").write_text(simboard.hex_text({0: board.image}))
        return board

    def portkick(self, *args, exe=None, cwd=None, env=None):
        result = wine("wine", exe or EXE, *args, cwd=cwd or self.work, capture_output=True, env=env)
        return result.stdout, result.stderr, result.returncode

    def test_the_touch_changes_four_fields_of_the_line_settings_read(self):
        self.assertEqual(wine("wine", BUILD + "/tests/line-settings.exe", capture_output=True).stdout, b"ok\r\n")

    def test_console(self):
        usage = subprocess.run([os.environ["PORTKICK"]], capture_output=True).stdout  # the POSIX build's
        self.assertEqual(self.portkick(), (usage.replace(b"\n", b"\r\n"), b"", 1))
        self.assertEqual(self.portkick("--list"), (crlf("No COM ports found."), b"", 0))
        with open("/dev/full", "wb") as full:  # a listing that is lost
            self.assertEqual(wine("wine", EXE, "--list", cwd=self.work, stdout=full).returncode, 1)
        for name in ("com1", "com3", "com10", "com256", "com257"):  # a file, not a port
            os.symlink(os.path.dirname(EXE) + "/LICENSE", self.ports + name)
            self.addCleanup(os.remove, self.ports + name)
        self.assertEqual(self.portkick("--list"), (crlf(
            "Available COM ports:", "  - COM1", "  - COM10", "  - COM256", "  - COM3"), b"", 0))
        self.assertEqual(self.portkick("COM99"), (b"", crlf("Failed to open port COM99"), 1))
        self.assertEqual(self.portkick("COM3"), (b"", crlf("Error getting COM state."), 1))

    def test_a_run_started_during_another_waits_and_flashes_its_own_board(self):
        """B starts while A flashes: it waits for A's turn to end, then for A's board to be back on
        COM5 (its bootloader COM8 comes later than that), so that COM5 is not taken for it."""
        boards = (self.board("COM5", "COM6", "--enum-delay-ms", "300"),
                  self.board("COM7", "COM8", "--enum-delay-ms", "1500"))
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            runs = [pool.submit(self.portkick, "COM5", cwd=boards[0].work)]
            boards[0].wait_for("reset")
            runs.append(pool.submit(self.portkick, "COM7", cwd=boards[1].work))
        for board, run, lines in zip(boards, runs, ([], ["[INFO] Waiting for another portkick run to finish..."])):
            out, err, code = run.result()
            self.assertEqual((out, code), (crlf(*lines, *support.success_lines(board.port, board.boot)), 0), err)
            board.wait_for("boot-vanished")
            self.assertEqual(board.flash()[:512], board.image)

    def test_avrdudes_status_is_reported(self):
        """The zip's avrdude.exe fails on a corrupt image, which leaves the flash as it was; avrdude-echo
        (avrdude_echo.cpp) in the current folder wins over the zip's; a portkick.exe alone finds none."""
        board = self.board("COM5", "COM6", "--boot-timeout-ms", "2000")
        pathlib.Path(board.work, "firmware.hex").write_text(":10000000" + "00" * 17 + "\n:00000001FF\n")  # bad checksum
        alone = shutil.copy(EXE, board.work)  # a portkick.exe with no avrdude.exe in its folder or the current one
        shutil.copy(BUILD + "/tests/avrdude-echo/avrdude.exe", self.work)
        cases = [(1, board.work, EXE), (9009, board.work, alone), (-5, self.work, EXE)]  # the last one traced
        for number, (status, folder, exe) in enumerate(cases, 1):
            with self.subTest(status=status):
                board.wait_for("app-appeared", number)
                out, err, code = self.portkick("COM5", exe=exe, cwd=folder, env={
                    "PORTKICK_AVRDUDE_STATUS": str(status), "WINEDEBUG": "+relay" if status < 0 else "-all"})
                echoed = ["avrdude.exe ran: " + support.success_lines()[3].split(": ", 1)[1]] if status < 0 else []
                self.assertEqual((out, code), (crlf(*support.success_lines()[:4], *echoed), 1))
                self.assertIn(crlf("[ERROR] avrdude failed with code %d" % status), err)  # in the trace
                board.wait_for("boot-vanished", number)
                self.assertEqual(board.flash(), simboard.BLANK)
        # The last run's own calls in its trace: the snapshot's 256 opens, then the touch and the first wait.
        thread = re.search(rb"(\w+):Call KERNEL32\.CreateFileA\(\w+ \"\\\\\\\\\.", err)[1]
        # A DWORD argument is the low 32 bits of the register that the trace shows.
        calls = [name + b"(" + re.sub(rb"^\w+ |\b[0-9a-f]{1,8}(?=[0-9a-f]{8}\b)", b"", args) + b")"
                 for name, args in re.findall(rb"^" + thread + rb":Call KERNEL32\.(CreateFileA|GetCommState|"
                                              rb"SetCommState|Sleep|CloseHandle)\(([^)]*)\) ret=", err, re.M)]
        first = next(i for i, call in enumerate(calls) if call.startswith(b"GetCommState("))
        opens = [call for call in calls[:first] if call.startswith(b'CreateFileA("\\\\\\\\.')]
        opened = b'CreateFileA("\\\\\\\\.\\\\COM%d",c0000000,00000000,00000000,00000003,00000000,00000000)'
        self.assertEqual(opens[-257:], [opened % n for n in [*range(1, 257), 5]])
        touch = calls[first:]
        self.assertEqual([call[:13] for call in touch[:2]] + touch[2:3],
                         [b"GetCommState(", b"SetCommState(", b"Sleep(00000064)"])
        closed = touch.index(b"CloseHandle(%s)" % touch[0][13:21])
        self.assertEqual(next(call for call in touch[closed + 1:] if call.startswith(b"Sleep")), b"Sleep(00000032)")
        # The waits keep time by a monotonic clock, not by the system time, which can be set back.
        self.assertEqual(re.findall(rb"^" + thread + rb":Call \w+\.(GetSystemTime\w*|GetLocalTime|"
                                    rb"NtQuerySystemTime)\(", err[err.index(b"KERNEL32.CreateFileA("):], re.M), [])


if __name__ == "__main__":
    support.main()
