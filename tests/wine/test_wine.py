"""portkick.exe under Wine 8.0, byte for byte on both streams, with the exit
status: the console, and the flash sequence through the real kernel32 calls,
traced with Wine's +relay channel, on pseudo-terminals linked as COM ports.

Wine links the host's own serial devices to free COM names whenever it
starts, so every Wine process runs in a mount namespace whose /dev holds no
serial device. One wineserver serves the whole run and is stopped at its end,
so nothing but portkick.exe writes to its streams."""
import os
import re
import select
import shutil
import subprocess
import tempfile
import termios
import threading
import time
import unittest

EXE = os.environ.get("PORTKICK_EXE", "")
# The directory of the avrdude.exe stand-in (a Windows program: a POSIX one
# run by Wine's command processor loses its exit status).
STAND_IN = os.path.dirname(EXE) + "/tests/wine"
COMMAND = ("avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P COM6"
           " -U flash:w:./firmware.hex:i")

NAMESPACE = r"""set -e
mount --rbind /dev "$OLD_DEV"
mount -t tmpfs tmpfs /dev
for node in null zero urandom random full tty; do
    : >/dev/$node; mount --bind "$OLD_DEV/$node" /dev/$node
done
mkdir /dev/pts /dev/shm
mount --rbind "$OLD_DEV/pts" /dev/pts; mount --rbind "$OLD_DEV/shm" /dev/shm
ln -s pts/ptmx /dev/ptmx; ln -s /proc/self/fd /dev/fd
umount -l "$OLD_DEV"
exec "$@"
"""


def crlf(*lines):
    """What "\\n" becomes on the way out of the C runtime's text mode."""
    return b"".join(line.encode() + b"\r\n" for line in lines)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def wine(*command, env=None, **options):
    """Runs a Wine command in a namespace without the host's serial ports."""
    return subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", NAMESPACE,
                           "sh", *command], env=dict(ENV, **(env or {})),
                          stdin=subprocess.DEVNULL, **options)


def setUpModule():
    global ENV, ROOT
    if not EXE:
        raise unittest.SkipTest("PORTKICK_EXE is empty")
    ROOT = tempfile.mkdtemp(prefix="portkick-wine-")
    os.mkdir(ROOT + "/olddev")
    os.mkdir(ROOT + "/prefix")
    ENV = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    ENV.update(WINEPREFIX=ROOT + "/prefix", WINEDEBUG="-all", WINEARCH="win64",
               WINEDLLOVERRIDES="mscoree,mshtml=", TMPDIR=ROOT, OLD_DEV=ROOT + "/olddev")
    # Started apart from any pipe of ours, which it would keep open.
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    wine("wineserver", "-p", **quiet)
    wine("wineboot", "-i", timeout=180, **quiet)


def tearDownModule():
    wine("wineserver", "-k")
    shutil.rmtree(ROOT, True)


class WineTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(dir=ROOT)
        self.dosdevices = ROOT + "/prefix/dosdevices"
        for name in os.listdir(self.dosdevices):
            if name.startswith("com"):
                os.remove(os.path.join(self.dosdevices, name))

    def port(self, name, target=None):
        """Links a COM name; without a target, to a pty whose master is
        returned (open: Wine then sees a serial line)."""
        master = None
        if target is None:
            master, slave = os.openpty()
            target = os.ttyname(slave)
            os.close(slave)
            self.addCleanup(os.close, master)
        os.symlink(target, os.path.join(self.dosdevices, name.lower()))
        return master

    def portkick(self, *args, env=None, debug="-all"):
        result = wine("wine", EXE, *args, cwd=self.work, capture_output=True, timeout=60,
                      env=dict(env or {}, WINEDEBUG=debug))
        return result.stdout, result.stderr, result.returncode

    def test_console(self):
        usage = crlf("Usage:", "  portkick COMx     - reset and flash using COMx (e.g., COM3)",
                     "  portkick --list   - list available COM ports")
        self.assertEqual(self.portkick(), (usage, b"", 1))
        self.assertEqual(self.portkick("--list"), (crlf("No COM ports found."), b"", 0))
        for name in ("COM1", "COM3", "COM10", "COM256", "COM257"):
            self.port(name)
        open(self.work + "/file", "w").close()
        self.port("COM7", self.work + "/file")
        self.assertEqual(self.portkick("--list"), (crlf(
            "Available COM ports:", "  - COM1", "  - COM10", "  - COM256", "  - COM3", "  - COM7"),
            b"", 0))
        self.assertEqual(self.portkick("COM99"), (b"", crlf("Failed to open port COM99"), 1))
        self.assertEqual(self.portkick("COM7"), (b"", crlf("Error getting COM state."), 1))

    def test_flash_sequence(self):
        """COM5 is a board's port: once held at 1200 baud and closed, COM6
        shows up. avrdude.exe is the stand-in, which says how it was called
        and exits with the status it is given."""
        shutil.copy(EXE, self.work)  # a stand-in must not be found beside it
        cases = [(0, "-all"), (-5, "-all"), (None, "-all"), (0, "+relay")]
        for status, debug in cases:
            with self.subTest(status=status, debug=debug):
                master = self.port("COM5")
                settings = termios.tcgetattr(master)
                settings[2] = termios.CS7 | termios.PARENB | termios.CSTOPB | termios.CRTSCTS \
                    | termios.CREAD
                settings[0] |= termios.IXON
                settings[4] = settings[5] = termios.B9600
                termios.tcsetattr(master, termios.TCSANOW, settings)
                touched = []
                watcher = threading.Thread(target=self.board, args=(master, touched))
                watcher.start()
                env = {} if status is None else {"WINEPATH": windows_path(STAND_IN),
                                                 "PORTKICK_AVRDUDE_STATUS": str(status)}
                out, err, code = self.portkick("COM5", env=env, debug=debug)
                watcher.join()
                os.remove(self.dosdevices + "/com5")
                os.remove(self.dosdevices + "/com6")

                lines = ["[INFO] Triggered 1200bps reset on COM5",
                         "[INFO] Waiting for bootloader COM port...",
                         "[INFO] New port detected: COM6", "[INFO] Running: " + COMMAND]
                if status is not None:
                    lines.append("avrdude.exe ran: " + COMMAND)
                if debug == "+relay":
                    self.check_calls(err)
                    err = b""
                if status == 0:
                    self.assertEqual((out, err, code), (crlf(*lines, "[INFO] Flash successful!"),
                                                        b"", 0))
                else:
                    failure = crlf("[ERROR] avrdude failed with code %d" % (status or 9009))
                    self.assertEqual((out, err[-len(failure):], code), (crlf(*lines), failure, 1))
                # 1200 baud, 8N1; flow control and the rest as they were.
                cflag, iflag, speed = touched[0]
                self.assertEqual(speed, termios.B1200)
                self.assertEqual(cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB),
                                 termios.CS8)
                self.assertTrue(cflag & termios.CRTSCTS and iflag & termios.IXON)

    def board(self, master, touched):
        """Waits for COM5 to be set to 1200 baud and closed, notes its
        settings, and makes COM6 appear."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            iflag, _, cflag, _, _, speed, _ = termios.tcgetattr(master)
            hung_up = select.poll()
            hung_up.register(master, select.POLLHUP)
            if speed == termios.B1200 and hung_up.poll(0):
                touched.append((cflag, iflag, speed))
                self.port("COM6")
                return
            time.sleep(0.005)

    def check_calls(self, trace):
        """portkick.exe's own calls into kernel32, with their arguments: the
        snapshot's 256 exclusive opens, then the touch, then a poll."""
        thread = re.search(rb"(\w+):Call KERNEL32\.CreateFileA\(\w+ \"\\\\\\\\.", trace)[1]
        calls = [name + b"(" + re.sub(rb"^\w+ ", b"", args) + b")" for name, args in re.findall(
            rb"^" + thread + rb":Call KERNEL32\.(CreateFileA|GetCommState|SetCommState|Sleep|"
            rb"CloseHandle)\(([^)]*)\) ret=", trace, re.M)]
        at = [i for i, call in enumerate(calls) if call.startswith(b"CreateFileA")]
        self.assertEqual([calls[i] for i in at[:257]], [
            b'CreateFileA("\\\\\\\\.\\\\COM%d",c0000000,00000000,00000000,00000003,00000000,'
            b'00000000)' % n for n in [*range(1, 257), 5]])
        touch = calls[at[256] + 1:]
        self.assertEqual([call.split(b"(")[0] for call in touch[:2]],
                         [b"GetCommState", b"SetCommState"])
        self.assertEqual(touch[2], b"Sleep(00000064)")
        handle = touch[0][13:21]
        self.assertEqual(touch[touch.index(b"CloseHandle(%s)" % handle) + 1],
                         b"Sleep(00000032)")


if __name__ == "__main__":
    unittest.main()
