"""portkick-com-name over databases of the tests' own, its udev rule under
udev's own rule engine (udevadm test) as the package installs it, and a
simulated board flashed through the names they give."""
import glob
import os
import pathlib
import random
import re
import shutil
import subprocess
import tempfile
import unittest

import simboard

COM_NAME = simboard.required("PORTKICK_COM_NAME")


def usb(product="0a01", serial="PK0042", socket=1, interface="00"):
    """The properties udev gives a USB serial port (serial=None: it has no
    serial number). The vendor ID is one that no USB vendor holds."""
    device = dict(ID_BUS="usb", ID_VENDOR_ID="7e57", ID_MODEL_ID=product,
                  ID_USB_INTERFACE_NUM=interface, ID_PATH="pci-0000:00:14.0-usb-0:%d:1.0" % socket)
    if serial is not None:
        device["ID_SERIAL_SHORT"] = serial
    return device


BOARD = usb()
BOOTLOADER = usb(product="0b01", serial=None)  # the same board after the touch
OTHER_BOOTLOADER = usb(product="0b01", serial=None, socket=2)


def entry(number, device):
    """The database line of a device."""
    kind = "serial" if "ID_SERIAL_SHORT" in device else "socket"
    return "COM%d 7e57 %s %s %s %s" % (number, device["ID_MODEL_ID"], device["ID_USB_INTERFACE_NUM"],
                                       kind, device.get("ID_SERIAL_SHORT", device["ID_PATH"]))


def entries(database):
    return [line for line in database.split("\n") if line and not line.startswith("#")]


def environment(database, device):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ID_")}
    return dict(env, PORTKICK_COM_DB=database, **device)


def run(database, device):
    """portkick-com-name with the device's properties: (status, output, errors)."""
    result = subprocess.run([COM_NAME], env=environment(database, device), capture_output=True,
                            text=True, errors="replace", timeout=30)
    return result.returncode, result.stdout, result.stderr


class ComName(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="portkick-com-name-")
        self.addCleanup(shutil.rmtree, self.tmp)
        self.db = self.tmp + "/state/com-names"  # its directory is made on the first run

    def names(self, *devices):
        results = [run(self.db, device) for device in devices]
        self.assertEqual([(status, err) for status, _, err in results], [(0, "")] * len(devices))
        return " ".join(out.strip() for _, out, _ in results)

    def database(self, data=None):
        """The database's bytes (None: there is none), after writing `data`."""
        if data is not None:
            os.makedirs(os.path.dirname(self.db), exist_ok=True)
            pathlib.Path(self.db).write_bytes(data)
        return pathlib.Path(self.db).read_bytes() if os.path.isfile(self.db) else None

    def refused(self, device):
        """A run that must end with one line on standard error, no name, the
        database as it was and nothing new beside it but its lock."""
        def files():
            return set(os.listdir(self.tmp)) | set(glob.glob(self.tmp + "/state/*"))
        database, beside = self.database(), files() | {self.db + ".lock"}
        status, out, err = run(self.db, device)
        self.assertEqual((status, out), (1, ""), device)
        self.assertRegex(err, r"^portkick-com-name: [^\n]+\n$")
        self.assertEqual((self.database(), files() <= beside), (database, True))
        return err

    def test_each_identity_gets_the_lowest_free_number_for_good(self):
        # A second interface, the board in another socket (its serial number
        # goes with it), a second board, the bootloader, one in another socket
        # (without a serial number the socket counts), and all again.
        devices = [BOARD, usb(interface="02"), usb(socket=4), usb(serial="PK0043"), BOOTLOADER,
                   OTHER_BOOTLOADER]
        self.assertEqual(self.names(*devices), "COM3 COM4 COM3 COM5 COM6 COM7")
        self.assertEqual(self.names(*reversed(devices)), "COM7 COM6 COM5 COM3 COM4 COM3")
        self.assertEqual(entries(self.database().decode()),
                         [entry(3, BOARD), entry(4, devices[1]), entry(5, devices[3]),
                          entry(6, BOOTLOADER), entry(7, OTHER_BOOTLOADER)])

    def test_hand_edits_are_followed_and_kept_byte_for_byte(self):
        edited = self.database(("# moved by hand\n\tCOM9   7e57 0a01\t00 serial PK0042  \r\n%s\n\n%s"
                                % (entry(3, OTHER_BOOTLOADER), entry(1, usb(serial="PK0001")))).encode())
        # 3 is taken; 1 and 2 are never given.
        self.assertEqual(self.names(BOARD, usb(serial="PK0001"), BOOTLOADER), "COM9 COM1 COM4")
        self.assertEqual(self.database(), edited + b"\n" + entry(4, BOOTLOADER).encode() + b"\n")
        self.database(edited.replace(entry(3, OTHER_BOOTLOADER).encode(), b""))  # frees 3
        self.assertEqual(self.names(usb(serial="PK0044")), "COM3")

    def test_numbers_stop_at_256(self):
        self.database("".join(entry(n, usb(serial="PF%d" % n)) + "\n" for n in range(3, 256)).encode())
        self.assertEqual(self.names(BOARD), "COM256")
        self.assertIn("COM3 to COM256", self.refused(BOOTLOADER))
        self.assertEqual(self.names(BOARD), "COM256")

    def test_ports_not_on_usb_or_not_told_apart(self):
        for device in ({}, dict(ID_BUS="pci", ID_VENDOR_ID="0x7e57", ID_MODEL_ID="0x0001"),
                       dict(BOARD, ID_BUS="bluetooth")):
            self.assertEqual(run(self.db, device), (0, "", ""), device)
        without_socket = dict(BOOTLOADER)
        del without_socket["ID_PATH"]
        for device in (without_socket, dict(BOARD, ID_SERIAL_SHORT="PK 42"), dict(BOARD, ID_MODEL_ID="")):
            self.refused(device)
        self.assertIsNone(self.database())

    def test_a_database_it_cannot_read_or_parse_is_left_as_it_is(self):
        good = entry(3, BOARD) + "\n"
        for text in (good + entry(4, BOOTLOADER).rsplit(" ", 1)[0],  # a word short
                     good + entry(3, usb(serial="PK0007")),  # a number twice
                     good + entry(4, BOARD),  # a port twice
                     good + entry(257, BOOTLOADER), good.replace("COM3", "COM03"),
                     good + entry(4, BOOTLOADER).replace("socket", "path"),
                     good + entry(4, BOOTLOADER).replace("pci", "p\x01ci"),
                     good.replace("\n", "\x00\n"), "\ufeff" + good):
            with self.subTest(text=text):
                self.database(text.encode())
                self.refused(BOARD)
                self.refused(BOOTLOADER)
        self.database(bytes(range(256)) * 4)
        self.refused(BOARD)
        os.remove(self.db)
        os.symlink(self.db, self.db)  # cannot be opened
        self.refused(BOARD)
        os.remove(self.db)
        os.mkdir(self.db)  # cannot be read
        self.refused(BOARD)

    def test_thirty_identities_at_once(self):
        """Each identity twice, all 60 runs let go at the same instant."""
        devices = [usb(serial="PK%d" % n) for n in range(15)] + \
                  [usb(product="0b01", serial=None, socket=n) for n in range(15)]
        gate, opener = os.pipe()  # each run waits for a line from it
        runs = [subprocess.Popen(["sh", "-c", 'read _ && exec "$0"', COM_NAME], stdin=gate,
                                 env=environment(self.db, device), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
                for device in devices for _ in range(2)]
        os.close(gate)
        os.write(opener, b"\n" * len(runs))
        os.close(opener)
        results = [run.communicate(timeout=60) + (run.wait(),) for run in runs]
        self.assertEqual([(err, status) for _, err, status in results], [("", 0)] * 60)
        names = [int(out.strip()[3:]) for out, _, _ in results]
        self.assertEqual(names[0::2], names[1::2], "an identity got two numbers")
        self.assertEqual(sorted(names[0::2]), list(range(3, 33)))
        self.assertEqual(sorted(entries(self.database().decode())),
                         sorted(map(entry, names[0::2], devices)))


def identity_rule(device):
    """A rule that gives every tty device the identity udev gives `device`."""
    return 'SUBSYSTEM=="tty", ' + ", ".join('ENV{%s}="%s"' % item for item in device.items())


class Rule(unittest.TestCase):
    """The rule and the program where the package puts them (`cmake
    --install` with the prefix /usr, laid over /usr/lib), under the rules
    this machine's udev has, in a mount namespace whose /dev, /run, /var/lib
    and /etc/udev/rules.d are its own. The identity comes from a stand-in for
    60-serial.rules in /etc, which takes that file's place."""

    def test_usb_serial_ports_are_linked_as_com_names_on_add_and_change(self):
        tmp = tempfile.mkdtemp(prefix="portkick-udev-")
        self.addCleanup(shutil.rmtree, tmp)
        subprocess.run(["cmake", "--install", simboard.required("PORTKICK_BUILD"), "--prefix", "/usr"],
                       env=dict(os.environ, DESTDIR=tmp), check=True, capture_output=True)
        [rule] = [path[len(tmp):] for path in glob.glob(tmp + "/usr/lib/udev/rules.d/*portkick*")]
        tty = next(name for name in ("ttyS0", "tty1") if os.path.exists("/sys/class/tty/" + name))
        node = pathlib.Path("/sys/class/tty/%s/dev" % tty).read_text().strip().replace(":", " ")
        board = identity_rule(BOARD)
        events = [(board, "tty/" + tty, "add"), (identity_rule(BOOTLOADER), "tty/" + tty, "add"),
                  (board, "tty/" + tty, "change"),
                  (identity_rule(OTHER_BOOTLOADER), "tty/" + tty, "remove"),
                  ("", "tty/" + tty, "add"),  # the real 60-serial.rules: not on USB
                  (board.replace('SUBSYSTEM=="tty", ', ""), "mem/null", "add")]  # not a tty
        script = ["set -e", "mount -t overlay overlay -o lowerdir=%s/usr/lib:/usr/lib /usr/lib" % tmp]
        if os.geteuid() == 0:  # device nodes of its own, which udev may change; no other user can
            script += ["mount -t tmpfs tmpfs /dev", "mknod /dev/null c 1 3", "mknod /dev/%s c %s" % (tty, node)]
        script += ["mount -t tmpfs tmpfs " + d for d in ("/run", "/var/lib", "/etc/udev/rules.d")]
        for n, (identity, device, action) in enumerate(events):
            script += ["echo '%s' >/etc/udev/rules.d/60-serial.rules" % identity if identity
                       else "rm /etc/udev/rules.d/60-serial.rules",
                       "udevadm test --action=%s /sys/class/%s >/dev/null 2>%s/trace%d"
                       % (action, device, tmp, n)]
        script.append("cat /var/lib/portkick/com-names >%s/db || true" % tmp)
        # udev gives the program the device's properties only, not PORTKICK_COM_DB.
        user = [] if os.geteuid() == 0 else ["--map-root-user"]  # root of a namespace of its own
        subprocess.run(["unshare", *user, "-m", "--propagation", "private", "sh", "-c", "\n".join(script)],
                       check=True, timeout=120, env=dict(os.environ, PORTKICK_COM_DB=tmp + "/unused"))
        effects = []  # whether the rule ran the program, and the links it made, by udev's trace
        for n in range(len(events)):
            trace = pathlib.Path("%s/trace%d" % (tmp, n)).read_text()
            self.assertEqual(re.findall("^%s.*" % re.escape(rule), trace, re.M), [],
                             "udev does not take the rule as it is")
            effects.append((re.search(re.escape(rule) + ":[0-9]+ Running PROGRAM", trace) is not None,
                            re.findall(re.escape(rule) + ":[0-9]+ LINK '([^']*)'", trace)))
        self.assertEqual(effects, [(True, ["COM3"]), (True, ["COM4"]), (True, ["COM3"]),
                                   (False, []), (False, []), (False, [])])
        self.assertEqual(entries(pathlib.Path(tmp + "/db").read_text()),
                         [entry(3, BOARD), entry(4, BOOTLOADER)])


class Flash(unittest.TestCase):
    def test_a_board_flashes_through_the_names_the_program_gives(self):
        """Its names come from the identities udev gives the board and its
        bootloader (another product, no serial number, the same socket)."""
        simboard.require_avrdude()
        root = tempfile.mkdtemp(prefix="portkick-com-flash-")
        self.addCleanup(shutil.rmtree, root, True)
        pathlib.Path(root + "/com-names").write_text(entry(3, usb(serial="PK0001")))  # seen before
        app, boot = (run(root + "/com-names", device)[1].strip() for device in (BOARD, BOOTLOADER))
        self.assertEqual((app, boot), ("COM4", "COM5"))
        board = simboard.Board(root, "--boot-name", boot, name=app)
        self.addCleanup(board.stop)
        os.mkdir(root + "/work")
        firmware = random.Random(15).randbytes(1024)
        pathlib.Path(root + "/work/firmware.hex").write_text(simboard.hex_text({0: firmware}))
        result = simboard.run_portkick(root + "/work", board.dir, port=app)
        out = result.stdout.splitlines()
        self.assertEqual((result.returncode, out[:4] + out[-1:]), (0, simboard.success_lines(app, boot)))
        self.assertNotIn("[ERROR]", result.stderr)
        board.wait_for("boot-vanished")
        self.assertEqual(board.flash()[:len(firmware)], firmware)


if __name__ == "__main__":
    unittest.main()
