"""The Windows zip under Wine 8.0, unzipped: portkick.exe's console byte for
byte, the simulated board flashed by the zip's own avrdude.exe, and the flash
sequence on pseudo-terminals linked as COM ports, its kernel32 calls traced.
Every Wine process runs in a mount namespace whose /dev holds no serial
device (Wine would link the host's to COM names), and one wineserver serves
the whole run, so that nothing but portkick.exe writes to its streams. The
PATH is Wine's own. Skipped when the zip was not built."""
import contextlib
import os
import random
import re
import select
import shutil
import subprocess
import tempfile
import termios
import threading
import time
import unittest
import zipfile

import simboard
import support
from support import success_lines

BUILD = os.path.dirname(os.environ.get("PORTKICK_EXE", ""))  # build-win/
FOLDER = "portkick-%s-win64" % os.environ["PORTKICK_VERSION"]
COMMAND = success_lines()[3].split(": ", 1)[1]
NAMESPACE = r"""set -e
mount --rbind /dev "$OLD_DEV"; mount -t tmpfs tmpfs /dev
for n in null zero urandom random full tty; do : >/dev/$n; mount --bind "$OLD_DEV/$n" /dev/$n; done
mkdir /dev/pts /dev/shm; ln -s pts/ptmx /dev/ptmx; ln -s /proc/self/fd /dev/fd
mount --rbind "$OLD_DEV/pts" /dev/pts; mount --rbind "$OLD_DEV/shm" /dev/shm
umount -l "$OLD_DEV"; exec "$@"
"""


def crlf(*lines):
    """What "\\n" becomes on its way out of the C runtime's text mode."""
    return b"".join(line.encode() + b"\r\n" for line in lines)


def wine(*command, env=None, **options):
    # Not as root: as the root of a user namespace of its own, which may mount.
    user = [] if os.geteuid() == 0 else ["--map-root-user"]
    return subprocess.run(["unshare", *user, "-m", "--propagation", "private", "sh", "-c", NAMESPACE,
                           "sh", *command], env=dict(ENV, **(env or {})),
                          stdin=subprocess.DEVNULL, timeout=180, **options)


def setUpModule():
    global ENV, ROOT, EXE
    zip_file = "%s/%s.zip" % (BUILD, FOLDER)
    if not BUILD or not os.path.isfile(zip_file):
        raise unittest.SkipTest("no Windows zip to test: %r was not built" % zip_file)
    ROOT = tempfile.mkdtemp(prefix="portkick-wine-")
    unittest.addModuleCleanup(shutil.rmtree, ROOT, True)
    for directory in ("/olddev", "/prefix"):  # the server wants its prefix there
        os.mkdir(ROOT + directory)
    with zipfile.ZipFile(zip_file) as archive:  # a folder name with a blank and a ";"
        archive.extractall(ROOT + "/un;zipped here")
    EXE = "%s/un;zipped here/%s/portkick.exe" % (ROOT, FOLDER)
    ENV = dict(os.environ, WINEPREFIX=ROOT + "/prefix", WINEDEBUG="-all", WINEARCH="win64",
               WINEDLLOVERRIDES="mscoree,mshtml=", TMPDIR=ROOT, OLD_DEV=ROOT + "/olddev",
               DISPLAY="")
    ENV.pop("WINEPATH", None)
    # Apart from any pipe of ours, which the server would keep open.
    wine("wineserver", "-p", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    unittest.addModuleCleanup(wine, "wineserver", "-k")
    wine("wineboot", "-i", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


class Wine(unittest.TestCase):
    def setUp(self):
        self.work, self.ports = tempfile.mkdtemp(dir=ROOT), ROOT + "/prefix/dosdevices/"
        for name in filter(lambda name: name.startswith("com"), os.listdir(self.ports)):
            os.remove(self.ports + name)
        # Each test starts long after any run before: no note of a run just ended.
        with contextlib.suppress(FileNotFoundError):
            os.remove(ROOT + "/prefix/drive_c/ProgramData/portkick-turn")

    def port(self, name, target=None):
        """A COM name; without a target, a pty whose open master is returned."""
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        os.symlink(target or os.ttyname(slave), self.ports + name.lower())
        os.close(slave)
        return master

    def portkick(self, *args, exe=None, env=None, **options):
        result = wine("wine", exe or EXE, *args, cwd=self.work, capture_output=True, env=env, **options)
        return result.stdout, result.stderr, result.returncode

    def test_the_touch_changes_four_fields_of_the_line_settings_read(self):
        # Over a kernel32 of its own that reports 9600 baud, 7E2 (a pty holds only 8N1).
        self.assertEqual(wine("wine", BUILD + "/tests/line-settings.exe", capture_output=True).stdout, b"ok\r\n")

    def test_console(self):
        # The usage text is the POSIX build's, line ends aside.
        usage = subprocess.run([os.environ["PORTKICK"]], capture_output=True).stdout
        self.assertEqual(self.portkick(), (usage.replace(b"\n", b"\r\n"), b"", 1))
        self.assertEqual(self.portkick("--list"), (crlf("No COM ports found."), b"", 0))
        with open("/dev/full", "wb") as full:  # a listing that is lost
            self.assertEqual(wine("wine", EXE, "--list", cwd=self.work, stdout=full).returncode, 1)
        for name in ("COM1", "COM3", "COM10", "COM256", "COM257"):
            self.port(name)
        self.port("COM7", tempfile.mkstemp(dir=self.work)[1])  # a file, not a port
        self.assertEqual(self.portkick("--list"), (crlf(
            "Available COM ports:", "  - COM1", "  - COM10", "  - COM256", "  - COM3", "  - COM7"),
            b"", 0))
        self.assertEqual(self.portkick("COM99"), (b"", crlf("Failed to open port COM99"), 1))
        self.assertEqual(self.portkick("COM7"), (b"", crlf("Error getting COM state."), 1))

    def test_flashes_the_board_with_its_own_avrdude_from_the_firmwares_folder(self):
        """The image lands in the flash; a corrupt one fails in avrdude and
        leaves the flash as it was."""
        board = simboard.Board(self.work + "/board", "--boot-name", "com6", name="com5",
                               directory=self.ports)
        self.addCleanup(board.stop)
        data = random.Random(20).randbytes(1024)
        firmware = simboard.hex_text({0x800: data})
        corrupt = firmware[:9] + "%X" % (int(firmware[9], 16) ^ 1) + firmware[10:]  # a bad checksum
        for number, text in enumerate([firmware, corrupt], 1):
            with self.subTest(corrupt=number == 2):
                board.wait_for("app-appeared", number)
                flash = board.flash() if number == 2 else None
                with open(self.work + "/firmware.hex", "w") as f:
                    f.write(text)
                out, err, code = self.portkick("COM5")
                board.wait_for("boot-vanished", number)
                if number == 1:
                    self.assertEqual((out, code), (crlf(*success_lines()), 0), err)
                    self.assertEqual(board.flash()[0x800:0xC00], data)
                else:
                    self.assertEqual((out, code), (crlf(*success_lines()[:4]), 1))
                    self.assertTrue(err.endswith(crlf("[ERROR] avrdude failed with code 1")), err)
                    self.assertEqual(board.flash(), flash)

    def test_a_run_started_during_another_waits_and_flashes_its_own_board(self):
        """B starts while A flashes: it waits for A's turn to end, then for A's board to be back on
        COM5 (its bootloader COM8 comes later than that), so that COM5 is not taken for it."""
        runs = {}
        for app, boot, delay in (("COM5", "COM6", "300"), ("COM7", "COM8", "1500")):
            work = "%s/%s" % (self.work, app)
            board = simboard.Board(work, "--boot-name", boot.lower(), "--enum-delay-ms", delay, name=app.lower(),
                                   directory=self.ports)
            self.addCleanup(board.stop)
            image = os.urandom(512)
            with open(work + "/firmware.hex", "w") as f:
                f.write(simboard.hex_text({0: image}))
            runs[app] = (board, image, boot, threading.Thread(target=lambda app=app, work=work: runs.update(
                {app + " result": wine("wine", EXE, app, cwd=work, capture_output=True)})))
        runs["COM5"][3].start()
        runs["COM5"][0].wait_for("reset")
        runs["COM7"][3].start()
        waiting = ["[INFO] Waiting for another portkick run to finish..."]
        for app, lines in (("COM5", []), ("COM7", waiting)):
            board, image, boot, thread = runs[app]
            thread.join()
            result = runs[app + " result"]
            self.assertEqual((result.stdout, result.returncode), (crlf(*lines, *success_lines(app, boot)), 0))
            board.wait_for("boot-vanished")
            self.assertEqual(board.flash()[:512], image, app)

    def test_statuses_only_a_stand_in_gives_and_the_calls_of_the_sequence(self):
        # COM5 acts a board. avrdude-echo (avrdude_echo.cpp) in the current
        # folder wins over the avrdude.exe beside portkick.exe; a portkick.exe
        # alone finds no avrdude.exe at all.
        alone = ROOT + "/alone/portkick.exe"
        os.makedirs(os.path.dirname(alone), exist_ok=True)
        shutil.copy(EXE, alone)
        for status, exe in ((-5, EXE), (9009, alone)):
            with self.subTest(status=status):
                if status == -5:
                    shutil.copy(BUILD + "/tests/avrdude-echo/avrdude.exe", self.work)
                else:
                    os.remove(self.work + "/avrdude.exe")
                master = self.port("COM5")
                settings = termios.tcgetattr(master)
                settings[0] |= termios.IXON
                settings[2] = termios.CS7 | termios.PARENB | termios.CSTOPB | termios.CRTSCTS
                settings[4] = settings[5] = termios.B9600
                termios.tcsetattr(master, termios.TCSANOW, settings)
                touched = []
                board = threading.Thread(target=self.board, args=(master, touched))
                board.start()
                out, err, code = self.portkick("COM5", exe=exe, env={
                    "PORTKICK_AVRDUDE_STATUS": str(status), "WINEDEBUG": "+relay" if status < 0 else "-all"})
                board.join()
                for name in ("com5", "com6"):
                    os.remove(self.ports + name)

                echoed = ["avrdude.exe ran: " + COMMAND] if status < 0 else []
                self.assertEqual((out, code), (crlf(*success_lines()[:4], *echoed), 1))
                self.assertIn(crlf("[ERROR] avrdude failed with code %d" % status), err)  # in the trace
                if status < 0:
                    self.check_calls(err)
                # 1200 baud, 8N1; flow control and everything else as it was.
                iflag, cflag, speed = touched
                self.assertEqual((speed, cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB)),
                                 (termios.B1200, termios.CS8))
                self.assertTrue(cflag & termios.CRTSCTS and iflag & termios.IXON)

    def board(self, master, touched):
        # Once COM5 is at 1200 baud and closed, notes its settings and links COM6.
        hung_up = select.poll()
        hung_up.register(master, select.POLLHUP)
        for _ in range(3000):
            iflag, _, cflag, _, _, speed, _ = termios.tcgetattr(master)
            if speed == termios.B1200 and hung_up.poll(0):
                touched.extend((iflag, cflag, speed))
                self.port("COM6")
                return
            time.sleep(0.005)

    def check_calls(self, trace):
        # portkick.exe's own: the snapshot's 256 opens, the touch, the first wait.
        thread = re.search(rb"(\w+):Call KERNEL32\.CreateFileA\(\w+ \"\\\\\\\\\.", trace)[1]
        # A DWORD argument is the low half of the 64 bits that the trace shows.
        calls = [name + b"(" + re.sub(rb"^\w+ |\b[0-9a-f]{8}(?=[0-9a-f]{8}\b)", b"", args) + b")" for name, args in re.findall(
            rb"^" + thread + rb":Call KERNEL32\.(CreateFileA|GetCommState|SetCommState|Sleep|"
            rb"CloseHandle)\(([^)]*)\) ret=", trace, re.M)]
        at = [i for i, call in enumerate(calls) if call.startswith(b'CreateFileA("\\\\\\\\.')]
        self.assertEqual([calls[i] for i in at[:257]], [
            b'CreateFileA("\\\\\\\\.\\\\COM%d",c0000000,00000000,00000000,00000003,00000000,'
            b'00000000)' % n for n in [*range(1, 257), 5]])
        touch = calls[at[256] + 1:]
        self.assertEqual([call[:13] for call in touch[:2]], [b"GetCommState(", b"SetCommState("])
        self.assertEqual(touch[2], b"Sleep(00000064)")
        closed = touch.index(b"CloseHandle(%s)" % touch[0][13:21])
        self.assertEqual(next(call for call in touch[closed + 1:] if call.startswith(b"Sleep")), b"Sleep(00000032)")
        # The waits keep time by a monotonic clock, never by the system time,
        # which can be set back while they last.
        self.assertEqual(re.findall(rb"^" + thread + rb":Call \w+\.(GetSystemTime\w*|GetLocalTime|NtQuerySystemTime)\(",
                                    trace[trace.index(b"KERNEL32.CreateFileA("):], re.M), [])


if __name__ == "__main__":
    support.main()
