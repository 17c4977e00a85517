"""portkick-com-name, and its udev rule and boot unit under udevadm test."""
import fcntl
import os
import pathlib
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import support


def usb(product="0a01", serial="PK0042", socket=1, interface="00", port="", devpath=None):
    """udev's properties of a USB serial port; port: its number on an adapter; devpath: its /sys directory, or gone."""
    device = {"ID_BUS": "usb", "ID_VENDOR_ID": "7e57", "ID_MODEL_ID": product, "ID_USB_INTERFACE_NUM": interface,
              "ID_PATH": "pci-0000:00:14.0-usb-0:%d:1.0" % socket, "DEVPATH": devpath or "/gone/%d" % socket}
    return dict(device, **{".ID_PORT": port}, **({} if serial is None else {"ID_SERIAL_SHORT": serial}))


BOARD, BOOTLOADER = usb(), usb(product="0b01", serial=None)  # the bootloader: the board after the touch


def files(directory):
    return {path.name: path.is_file() and path.read_bytes() for path in pathlib.Path(directory).glob("*")}


def run(database, device, umask=-1):  # as the rule runs it: (status, output, errors)
    env = dict(os.environ, PORTKICK_COM_DB=str(database), **{k: v for k, v in device.items() if k[0] != "."})
    result = subprocess.run([support.required("PORTKICK_COM_NAME"), "--port=" + device.get(".ID_PORT", "")], env=env,
                            umask=umask, capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout, result.stderr


class ComName(unittest.TestCase):
    def setUp(self):
        self.state = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-com-name-")), "state")
        self.db = self.state / "db"  # the first run makes its directory

    def names(self, *devices, umask=-1):  # their names, "-" for none
        results = [run(self.db, device, umask) for device in devices]
        self.assertEqual([(status, err) for status, _, err in results], [(0, "")] * len(devices))
        return " ".join(out.strip() or "-" for _, out, _ in results)

    def refused(self, device):  # no name, one line on standard error, nothing beside the database changed
        before = files(self.state)
        status, out, err = run(self.db, device)
        self.assertEqual((status, out, files(self.state)), (1, "", before), device)
        self.assertRegex(err, r"^portkick-com-name: [^\n]+\n$")

    def test_each_usb_identity_gets_the_lowest_free_number_from_3_for_good(self):
        # Not on USB; another interface; another socket; another board; the bootloader, in two sockets; ports 0 and 1.
        devices = [dict(BOARD, ID_BUS="pci"), BOARD, usb(interface="02"), usb(socket=4), usb(serial="PK0043"),
                   BOOTLOADER, usb(product="0b01", serial=None, socket=2), usb(port="0"), usb(port="1")]
        self.assertEqual(self.names(*devices, umask=0o077), "- COM3 COM4 COM3 COM5 COM6 COM7 COM3 COM8")
        self.assertEqual(self.names(*reversed(devices)), "COM8 COM3 COM7 COM6 COM5 COM3 COM4 COM3 -")
        modes = {path.name: path.stat().st_mode & 0o7777 for path in [self.state, *self.state.iterdir()]}
        self.assertEqual(modes, {"state": 0o755, "db": 0o644, "db.lock": 0o644, "db.plugged": 0o644})
        # A number changed by hand stays; a line taken out frees its number, and the lowest free goes first.
        self.db.write_text(re.sub("(?m)^COM4 .*\n", "", self.db.read_text().replace("COM3 ", "COM9 ")))
        self.assertEqual(self.names(BOARD, usb(interface="02"), usb(serial="PK0044")), "COM9 COM3 COM4")

    def test_a_twin_plugged_in_beside_a_board_of_its_serial_number_goes_by_its_socket_while_it_stays(self):
        first, twin, third = (usb(socket=n, devpath="/.." + tempfile.mkdtemp(dir=self.state.parent)) for n in (1, 2, 3))
        self.assertEqual(self.names(first, twin, twin, first), "COM3 COM4 COM4 COM3")
        os.rmdir("/sys" + first["DEVPATH"])  # unplugged: the twin keeps its name, the third gets the serial number's
        self.assertEqual(self.names(twin, third), "COM4 COM3")
        self.assertIn("\nCOM4 7e57 0a01 00 socket %s\n" % twin["ID_PATH"], self.db.read_text())
        self.refused(dict(usb(socket=9), ID_PATH=""))  # a twin that udev gives no socket: no name rather than COM3

    def test_an_identity_with_a_part_missing_or_a_blank_a_lock_held_long_a_damaged_database_are_refused(self):
        self.refused({name: value for name, value in BOARD.items() if name != "ID_VENDOR_ID"})
        self.refused(dict(BOARD, ID_SERIAL_SHORT="PK 42"))
        os.makedirs(self.db)  # a database that cannot be read
        with open(str(self.db) + ".lock", "w") as lock:  # held by another run, or by someone editing the database
            self.refused(BOARD)
            os.rmdir(self.db)
            fcntl.flock(lock, fcntl.LOCK_EX)

            def let_go():  # after an edit made while the run waits: the run reads the database once it holds the lock
                self.db.write_text("COM3 7e57 0b01 00 socket %s\n" % BOOTLOADER["ID_PATH"])
                fcntl.flock(lock, fcntl.LOCK_UN)
            threading.Timer(0.5, let_go).start()
            self.assertEqual(self.names(BOARD), "COM4")
            fcntl.flock(lock, fcntl.LOCK_EX)  # held too long: the run gives up after 10 s
            started = time.monotonic()
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})  # as a caller may start the run
            self.refused(usb(serial="PK0043"))
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
            self.assertGreaterEqual(time.monotonic() - started, 9.5)
        self.db.write_text("".join("COM%d 7e57 0a01 00 serial F%d\n" % (n, n) for n in range(3, 256)))
        self.assertEqual(self.names(BOARD), "COM256")  # the last number: then the database is full
        self.refused(BOOTLOADER)
        # A word short, COM3 twice, no such name.
        for damaged in ("COM4 7e57 0a01 00 serial", "COM3 7e57 0a01 00 serial X", "COM04 7e57 0a01 00 serial X"):
            self.db.write_text("COM3 7e57 0a01 00 serial PK0042\n" + damaged + "\n")
            self.refused(BOOTLOADER)


class Rule(unittest.TestCase):
    @unittest.skipUnless(os.geteuid() == 0, "needs root: device nodes of its own, which udev may change")
    def test_usb_serial_ports_are_linked_as_com_names_on_add_change_and_at_boot(self):
        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="portkick-udev-"))
        subprocess.check_call(["cmake", "--install", os.environ["PORTKICK_BUILD"]], env=dict(os.environ, DESTDIR=tmp))
        unit = pathlib.Path(tmp + "/usr/local/lib/systemd/system/portkick-com-names.service").read_text()
        boot = re.search(r"(?m)^ExecStart=\S*udevadm (trigger .*)", unit)[1].replace(" --settle", "")
        boot_action = (re.findall(r"--action=(\S+)", boot) + ["change"])[0]
        log = self.enterContext(socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM))  # the system log
        log.bind(tmp + "/log")
        tty = next(name for name in ("ttyS0", "tty1") if os.path.exists("/sys/class/tty/" + name))

        def event(device, action="add", path="tty/" + tty):  # udev's trace of the rule for the device, then "--"
            identity = ", ".join('ENV{%s}="%s"' % item for item in device.items() if item[0] != "DEVPATH")
            return ("echo '%s' >/etc/udev/rules.d/60-serial.rules && udevadm test --action=%s /sys/class/%s 2>&1 "
                    ">/dev/null | sed -n 's/^.*61-portkick.rules:[0-9]* //p' && echo --") % (identity, action, path)
        new = usb(serial="PK0043")  # plugged in at boot while /var is read-only, then named by the boot unit's event
        script = ["set -e", "mount --bind %s/usr/local /usr/local" % tmp, "mount --bind %s /var/lib" % tmp,
                  *("mount -t tmpfs tmpfs " + path for path in ("/run", "/etc/udev/rules.d", "/dev")),
                  "mknod /dev/null c 1 3", "ln -s %s/log /dev/log" % tmp,
                  "mknod /dev/%s c $(tr : ' ' </sys/class/tty/%s/dev)" % (tty, tty),
                  event(BOARD), event(BOARD, "change"), event(BOARD, "remove"), event({}), event(usb(port="1")),
                  event(BOARD, path="mem/null"), "mount -o remount,bind,ro /var/lib", event(BOARD), event(new),
                  "mount -o remount,bind,rw /var/lib && udevadm %s --dry-run --verbose | grep -cxF %s && echo --"
                  % (boot, os.path.realpath("/sys/class/tty/" + tty)), event(new, boot_action)]
        out = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", "\n".join(script)],
                             check=True, timeout=120, stdout=subprocess.PIPE, text=True).stdout
        command = "/usr/local/lib/portkick/portkick-com-name --syslog --port="
        com3, com4, com5 = (["Running PROGRAM '%s%s'" % (command, port), "LINK 'COM%d'" % number]
                            for number, port in ((3, ""), (4, 1), (5, "")))
        failed = ["Running PROGRAM '%s'" % command, 'Command "%s" returned 1 (error)' % command]
        self.assertEqual([chunk.splitlines() for chunk in out.split("--\n")[:-1]],
                         [com3, com3, [], [], com4, [], com3, failed, ["1"], com5])
        self.assertRegex(log.recv(4096, socket.MSG_DONTWAIT).decode(), r"portkick-com-name\[\d+\]: /dev/%s: "
                         r"cannot \S+ /var/lib/portkick/com-names\S*: Read-only file system$" % tty)


if __name__ == "__main__":
    support.main()
