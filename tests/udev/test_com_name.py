"""portkick-com-name, its udev rule under udevadm test, and a board flashed through their names."""
import concurrent.futures
import fcntl
import os
import pathlib
import re
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import simboard
import support


def usb(product="0a01", serial="PK0042", socket=1, interface="00", port="", devpath=None):
    """udev's properties of a USB serial port (serial=None: it has none; port: .ID_PORT, the port's number
    on an adapter; devpath: its /sys directory, by default one that is gone); no vendor holds 7e57."""
    device = dict(ID_BUS="usb", ID_VENDOR_ID="7e57", ID_MODEL_ID=product, ID_USB_INTERFACE_NUM=interface,
                  ID_PATH="pci-0000:00:14.0-usb-0:%d:1.0" % socket, DEVPATH=devpath or "/gone/%d" % socket)
    device = dict(device, **{".ID_PORT": port}) if port else device
    return device if serial is None else dict(device, ID_SERIAL_SHORT=serial)


BOARD, BOOTLOADER = usb(), usb(product="0b01", serial=None)  # the bootloader: the board after the touch


def entry(number, device):
    kind = "serial" if "ID_SERIAL_SHORT" in device else "socket"
    return "COM%d 7e57 %s %s %s %s" % (number, device["ID_MODEL_ID"], device["ID_USB_INTERFACE_NUM"],
                                       kind, device.get("ID_SERIAL_SHORT", device["ID_PATH"]))


def entries(path):
    return [line for line in pathlib.Path(path).read_text().split("\n") if line and line[0] != "#"]


def run(database, device, umask=-1):
    """portkick-com-name with the device's properties, as the rule runs it: (status, output, errors)."""
    env = dict({k: v for k, v in os.environ.items() if not k.startswith("ID_")}, PORTKICK_COM_DB=database)
    command = [support.required("PORTKICK_COM_NAME"), "--port=" + device.get(".ID_PORT", "")]
    result = subprocess.run(command, env=dict(env, **{k: v for k, v in device.items() if k[0] != "."}),
                            capture_output=True, text=True, errors="replace", timeout=60, umask=umask)
    return result.returncode, result.stdout, result.stderr


class ComName(unittest.TestCase):
    def setUp(self):  # the database's directory is made by the first run
        self.db = self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-com-name-")) + "/state/com-names"

    def names(self, *devices, umask=-1):
        results = [run(self.db, device, umask) for device in devices]
        self.assertEqual([(status, err) for status, _, err in results], [(0, "")] * len(devices))
        return " ".join(out.strip() for _, out, _ in results)

    def refused(self, device):  # one line on standard error, no name, the database as it was
        database = pathlib.Path(self.db)
        before = database.is_file() and database.read_bytes()
        status, out, err = run(self.db, device)
        self.assertEqual((status, out), (1, ""), device)
        self.assertRegex(err, r"^portkick-com-name: [^\n]+\n$")
        self.assertEqual(database.is_file() and database.read_bytes(), before)

    def test_each_usb_identity_gets_the_lowest_free_number_from_3_for_good(self):
        for device in ({}, dict(BOARD, ID_BUS="pci")):  # not on USB: no name, no number taken
            self.assertEqual(run(self.db, device), (0, "", ""), device)
        # Another interface, the board in another socket, another board, the bootloader, one in another socket.
        devices = [BOARD, usb(interface="02"), usb(socket=4), usb(serial="PK0043"), BOOTLOADER,
                   usb(product="0b01", serial=None, socket=2)]
        self.assertEqual(self.names(*devices, umask=0o077), "COM3 COM4 COM3 COM5 COM6 COM7")
        self.assertEqual(self.names(*reversed(devices)), "COM7 COM6 COM5 COM3 COM4 COM3")
        self.assertEqual(entries(self.db), [entry(3, BOARD), entry(4, devices[1]), entry(5, devices[3]),
                                            entry(6, BOOTLOADER), entry(7, devices[5])])
        # What it made under udev's caller's umask 077 is readable to all.
        state = os.path.dirname(self.db)
        self.assertEqual({name: os.stat(state + "/" + name).st_mode & 0o7777 for name in ["."] + os.listdir(state)},
                         dict({".": 0o755}, **{name: 0o644 for name in os.listdir(state)}))

    def test_a_number_changed_or_a_line_taken_out_by_hand(self):
        self.names(BOARD, BOOTLOADER)
        edited = pathlib.Path(self.db).read_text().replace("COM3 ", "COM9 ").replace(entry(4, BOOTLOADER) + "\n", "")
        pathlib.Path(self.db).write_text(edited)
        self.assertEqual(self.names(BOARD, usb(serial="PK0043"), BOOTLOADER), "COM9 COM3 COM4")

    def test_twins_and_the_ports_of_one_adapter_get_names_of_their_own(self):
        sysfs = self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-sys-"))

        def plugged(n, **device):  # plugged in while its /sys directory (here, one in sysfs) is there
            os.mkdir("%s/%d" % (sysfs, n))
            return usb(devpath="/..%s/%d" % (sysfs, n), **device)
        a, b = plugged(1), plugged(2, socket=2)  # one serial number on two boards
        self.assertEqual(self.names(a, b, b, a), "COM3 COM4 COM4 COM3")
        os.rmdir(sysfs + "/1")  # a is unplugged: b keeps its name, a third twin gets the serial number's
        self.assertEqual(self.names(b, plugged(3, socket=3)), "COM4 COM3")
        adapter = [plugged(4 + n, product="0c01", serial="PK0100", port=str(n)) for n in range(3)]
        self.assertEqual(self.names(*adapter, *adapter), "COM5 COM6 COM7 COM5 COM6 COM7")
        self.assertEqual(entries(self.db), [entry(3, a), entry(4, usb(serial=None, socket=2))] + [
            "COM%d 7e57 0c01 00%s serial PK0100" % (5 + n, port) for n, port in enumerate(("", "-port1", "-port2"))])

    def test_a_lock_held_too_long_ends_the_run_after_10_s_with_one_line(self):
        os.makedirs(os.path.dirname(self.db))
        with open(self.db + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            threading.Timer(0.5, fcntl.flock, (lock, fcntl.LOCK_UN)).start()
            self.assertEqual(self.names(BOARD), "COM3")  # waits for a lock let go in time
            fcntl.flock(lock, fcntl.LOCK_EX)
            started = time.monotonic()
            self.refused(BOOTLOADER)
            self.assertGreaterEqual(time.monotonic() - started, 9.5)

    def test_a_full_damaged_or_unreadable_database_is_left_as_it_is(self):
        # A USB identity with a part missing, or with a blank in a part, would write a line that
        # stops every later port from being named.
        for device in ({k: v for k, v in BOARD.items() if k != "ID_VENDOR_ID"}, dict(BOARD, ID_SERIAL_SHORT="PK 42")):
            self.refused(device)
        os.makedirs(os.path.dirname(self.db))
        pathlib.Path(self.db).write_text("".join(entry(n, usb(serial="F%d" % n)) + "\n" for n in range(3, 256)))
        self.assertEqual(self.names(BOARD), "COM256")  # the last number
        self.refused(BOOTLOADER)
        good = entry(3, BOARD) + "\n"
        for damaged, device in ((good + entry(4, BOOTLOADER).rsplit(" ", 1)[0], BOARD),  # a word short
                                (good + entry(3, usb(serial="PK0043")), BOOTLOADER),  # COM3 twice
                                (good + entry(4, BOOTLOADER).replace("COM4", "COM04"), BOARD)):  # no such name
            pathlib.Path(self.db).write_text(damaged)
            self.refused(device)
        os.remove(self.db)
        os.mkdir(self.db)  # cannot be read
        self.refused(BOARD)

    def test_thirty_identities_at_once_each_twice(self):
        devices = [usb(serial="PK%d" % n) for n in range(15)] + [usb(serial=None, socket=n) for n in range(15)]
        with concurrent.futures.ThreadPoolExecutor(60) as pool:
            results = list(pool.map(run, [self.db] * 60, devices * 2))
        self.assertEqual(results[:30], results[30:], "an identity got two numbers")
        self.assertEqual(sorted(results), sorted([(0, "COM%d\n" % n, "") for n in range(3, 33)] * 2))
        numbers = [int(out[3:]) for _, out, _ in results[:30]]
        self.assertEqual(sorted(entries(self.db)), sorted(map(entry, numbers, devices)))


class Rule(unittest.TestCase):
    """The rule, program and boot unit as a plain `cmake --install` puts them, at its default prefix
    /usr/local, under this machine's udev rules in a mount namespace of its own; a stand-in for
    60-serial.rules in /etc gives the device its identity."""

    def test_usb_serial_ports_are_linked_as_com_names_on_add_change_and_at_boot(self):
        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-udev-"))
        subprocess.run(["cmake", "--install", support.required("PORTKICK_BUILD")],
                       env=dict(os.environ, DESTDIR=tmp), check=True, capture_output=True)
        rule, unit = "/usr/local/lib/udev/rules.d/61-portkick.rules", "/lib/systemd/system/portkick-com-names.service"
        trigger = re.search(r"(?m)^ExecStart=\S*udevadm (trigger .*)", pathlib.Path(tmp + "/usr/local" + unit)
                            .read_text()).group(1).replace(" --settle", "") + " --dry-run --verbose"
        action = (re.findall(r"--action=(\S+)", trigger) + ["change"])[0]
        log = self.enterContext(socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM))  # the system log
        log.bind(tmp + "/log")
        tty = next(name for name in ("ttyS0", "tty1") if os.path.exists("/sys/class/tty/" + name))
        new, port1 = usb(serial="PK0043"), usb(port="1")  # a port new at boot; an adapter's second one
        events = [(BOARD, "tty/" + tty, "add"), (BOOTLOADER, "tty/" + tty, "add"), (BOARD, "tty/" + tty, "change"),
                  (BOARD, "tty/" + tty, "remove"), ({}, "tty/" + tty, "add"), (BOARD, "mem/null", "add"),
                  (port1, "tty/" + tty, "add"), "ro", (BOARD, "tty/" + tty, "add"), (new, "tty/" + tty, "add"),
                  "rw", (new, "tty/" + tty, action)]  # at boot /var is read-only; then the boot unit's event
        script = ["set -e", "mount --bind %s/usr/local /usr/local" % tmp, "mount --bind %s /var/lib" % tmp,
                  "mount -t tmpfs tmpfs /run", "mount -t tmpfs tmpfs /etc/udev/rules.d"]
        if os.geteuid() == 0:  # device nodes of its own, which udev may change; no other user can
            script += ["mount -t tmpfs tmpfs /dev", "mknod /dev/null c 1 3", "ln -s %s/log /dev/log" % tmp,
                       "mknod /dev/%s c $(tr : ' ' </sys/class/tty/%s/dev)" % (tty, tty)]
        for n, event in enumerate(events):
            if isinstance(event, str):
                script.append("mount -o remount,bind,%s /var/lib" % event)  # rw: the boot unit's trigger
                script += ["udevadm %s >%s/triggered" % (trigger, tmp)] if event == "rw" else []
                continue
            device, path, action = event
            identity = ", ".join('ENV{%s}="%s"' % item for item in device.items() if item[0] != "DEVPATH")
            script += ["echo '%s' >/etc/udev/rules.d/60-serial.rules" % identity,
                       "udevadm test --action=%s /sys/class/%s >/dev/null 2>%s/%d" % (action, path, tmp, n)]
        # udev gives the program the device's properties only, not PORTKICK_COM_DB.
        user = [] if os.geteuid() == 0 else ["--map-root-user"]  # root of a namespace of its own
        subprocess.run(["unshare", *user, "-m", "--propagation", "private", "sh", "-c", "\n".join(script)],
                       check=True, timeout=120, env=dict(os.environ, PORTKICK_COM_DB=tmp + "/unused"))
        # What udev's trace says of the rule: complaints, the program it ran, the links it made.
        pattern = r"(?m)^(?:\S+: )?%s\S* (.*)" % re.escape(rule)
        said = [re.findall(pattern, pathlib.Path(tmp, str(n)).read_text()) if isinstance(event, tuple) else None
                for n, event in enumerate(events)]
        command = "/usr/local/lib/portkick/portkick-com-name --syslog --port=%s"
        program, failed = "Running PROGRAM '%s'" % command, 'Command "%s" returned 1 (error)' % (command % "")
        ran = [[program % "", "LINK 'COM%d'" % n] for n in (3, 4, 3)] + [[]] * 3 + [[program % 1, "LINK 'COM5'"]]
        self.assertEqual(said, ran + [None, [program % "", "LINK 'COM3'"], [program % "", failed], None,
                                      [program % "", "LINK 'COM6'"]])
        self.assertEqual(entries(tmp + "/portkick/com-names"), [entry(3, BOARD), entry(4, BOOTLOADER),
                                                                "COM5 7e57 0a01 00-port1 serial PK0042", entry(6, new)])
        self.assertIn(os.path.realpath("/sys/class/tty/" + tty), pathlib.Path(tmp + "/triggered").read_text().split())
        with self.subTest("why the new port got no name at boot, in the system log"):
            if os.geteuid() != 0:
                self.skipTest("no /dev of its own, so no system log of its own")
            self.assertRegex(log.recv(4096, socket.MSG_DONTWAIT).decode(), r"portkick-com-name\[\d+\]: /dev/%s: "
                             r"cannot \S+ /var/lib/portkick/com-names\S*: Read-only file system$" % tty)


class Flash(unittest.TestCase):
    def test_a_board_flashes_through_the_names_the_program_gives(self):
        support.require_avrdude()
        root = self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-com-flash-"))
        app, boot = (run(root + "/com-names", device)[1].strip() for device in (BOARD, BOOTLOADER))
        self.assertEqual((app, boot), ("COM3", "COM4"))
        board = simboard.Board(root, "--boot-name", boot, name=app)
        self.addCleanup(board.stop)
        firmware = os.urandom(1024)
        pathlib.Path(root + "/firmware.hex").write_text(simboard.hex_text({0: firmware}))
        result = support.run_portkick(root, board.dir, port=app)
        out = result.stdout.splitlines()
        self.assertEqual((result.returncode, out[:4] + out[-1:]), (0, support.success_lines(app, boot)))
        board.wait_for("boot-vanished")
        self.assertEqual(board.flash()[:len(firmware)], firmware)


if __name__ == "__main__":
    unittest.main()
