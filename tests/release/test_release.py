"""scripts/release.sh on this tree as it is: the same bytes anywhere; the packages as users meet them."""
import os
import pathlib
import re
import subprocess
import tempfile
import unittest
import zipfile

import simboard
import support

SOURCE, VERSION = os.environ["PORTKICK_SOURCE"], os.environ["PORTKICK_VERSION"]
FOLDER = "portkick-%s-win64/" % VERSION
ZIP, DEB, TARBALL = "portkick-{0}-win64.zip portkick_{0}_amd64.deb portkick-{0}.tar.gz".format(VERSION).split()
LINES = support.success_lines() + [  # every line portkick writes, or its fixed part
    "Usage:", "  portkick COMx     - reset and flash using COMx (e.g., COM3)", "  - COM1", "Available COM ports:",
    "  portkick --list   - list available COM ports", "No COM ports found.", "Failed to open port ",
    "Error getting COM state.", "Error setting COM parameters.", "[ERROR] Timeout: No new COM port detected.",
    "[ERROR] avrdude failed with code ", "[INFO] Waiting for another portkick run to finish..."]
# Releases as CI makes them: nothing from outside dates them or names their maintainer. Commits are by "test".
os.environ.update(GIT_AUTHOR_NAME="test", GIT_COMMITTER_NAME="test", EMAIL="test@example.org")
for name in "SOURCE_DATE_EPOCH", "PORTKICK_MAINTAINER":
    os.environ.pop(name, None)


def run(*command, check=True, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL, **options)
    if check and result.returncode != 0:
        raise AssertionError("%s failed:\n%s%s" % (command, result.stdout, result.stderr))
    return result


@unittest.skipUnless(os.path.exists(SOURCE + "/.git"), "%s is no git checkout: a release is made of a commit" % SOURCE)
class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="portkick-release-"))
        cls.one, cls.two = cls.tmp + "/one/portkick", cls.tmp + "/elsewhere/a longer/path two"
        listed = run("git", "ls-files", "-z", "-co", "--exclude-standard", cwd=SOURCE).stdout.split("\0")
        run("git", "init", "-q", cls.one)
        run("cp", "-P", "--parents", "--", *(name for name in listed if name and os.path.lexists(SOURCE + "/" + name)),
            cls.one, cwd=SOURCE)
        changelog = pathlib.Path(cls.one, "CHANGELOG.md")
        changelog.write_text(re.sub(r"^(## Unreleased\n)(\n- .*?\n)\n(## %s - [^\n]*\n)" % re.escape(VERSION),
                                    r"\1\n\3\2", changelog.read_text(), count=1, flags=re.M | re.S))
        run("sh", "-c", 'git add -A && git commit -qm snapshot && git clone -q . "$0"', cls.two, cwd=cls.one)
        cls.out, cls.deb, cls.root = cls.one + "/dist/", cls.one + "/dist/" + DEB, cls.tmp + "/any where"
        run("sh", "-c", 'umask 002 && scripts/release.sh && dpkg-deb --extract dist/*.deb "$0"', cls.root, cwd=cls.one)
        run("sh", "-c", "umask 077 && TZ=XYZ-13:45 LC_ALL=C.UTF-8 LANG=C.UTF-8 scripts/release.sh", cwd=cls.two)

    def test_one_tree_gives_the_same_bytes_anywhere_and_the_sums_check(self):
        checked = run("sh", "-c", 'diff -r . "$0/dist" && sha256sum --strict -c SHA256SUMS', self.two, cwd=self.out)
        self.assertEqual(checked.stdout, "%s: OK\n" * 4 % (ZIP, DEB, TARBALL, "avrdude_7.1+dfsg.orig.tar.xz"))

    def test_zip_holds_one_folder_with_portkick_a_reproducible_avrdude_and_texts_for_windows(self):
        with zipfile.ZipFile(self.out + ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), [FOLDER + name for name in (
                "LICENSE", "README.txt", "avrdude-COPYING.txt", "avrdude.conf", "avrdude.exe", "portkick.exe")])
            exe, avrdude, readme, copying = (archive.read(FOLDER + name) for name in (
                "portkick.exe", "avrdude.exe", "README.txt", "avrdude-COPYING.txt"))
        header = int.from_bytes(exe[0x3C:0x40], "little")  # portkick.exe: small, x86-64, a console program
        self.assertEqual((len(exe) <= 256 * 1024, exe[header + 4:header + 6], exe[header + 92]), (True, b"\x64\x86", 3))
        self.assertRegex(exe, rb'<requestedExecutionLevel\s+level="asInvoker"')
        self.assertRegex(exe.decode("utf-16-le", "replace"), "ProductVersion\0\0?%s\0" % re.escape(VERSION))
        # avrdude.exe, built anywhere, any time, gives the same bytes: no time stamp, no path of the build machine.
        header = int.from_bytes(avrdude[0x3C:0x40], "little")
        self.assertEqual((avrdude[header + 8:header + 12], re.findall(rb"[!-~]*/src/main\.c", avrdude)),
                         (bytes(4), [b"avrdude-7.1/src/main.c"]))
        self.assertEqual((readme + copying).count(b"\n"), (readme + copying).count(b"\r\n"))
        self.assertEqual([line for line in LINES if line.encode() not in readme], [])
        self.assertIn(re.search(rb"(\w+)  avrdude_", pathlib.Path(self.out, "SHA256SUMS").read_bytes())[1], copying)

    def test_deb_passes_lintian_puts_its_files_where_they_belong_and_forgets_on_purge(self):
        self.assertEqual(run("lintian", "--display-info", "--pedantic", self.deb).stdout, "")
        self.assertEqual(sorted(run("find", self.root, "-type", "f", "-printf", "%P\n").stdout.split()), """
            usr/bin/portkick usr/lib/portkick/avrdude.exe usr/lib/portkick/portkick-com-name
            usr/lib/systemd/system/portkick-com-names.service usr/lib/udev/rules.d/61-portkick.rules
            usr/share/doc/portkick/README.md usr/share/doc/portkick/changelog.gz usr/share/doc/portkick/copyright
            usr/share/lintian/overrides/portkick usr/share/man/man1/portkick.1.gz""".split())
        self.assertRegex(run("dpkg-deb", "-I", self.deb, "postrm").stdout, r'purge.*\n\s*rm -rf "\$\{DPKG_ROOT:-\}/var/lib/portkick"')
        manual = run("man", "--warnings", "-l", self.root + "/usr/share/man/man1/portkick.1.gz",
                     env=dict(os.environ, MANWIDTH="200", LC_ALL="C.UTF-8"))
        self.assertEqual((manual.stderr, [line for line in LINES if line not in manual.stdout]), ("", []))

    def test_unpacked_deb_flashes_the_simulated_board_with_only_the_system_path(self):
        board = simboard.Board(self.tmp + "/board")
        self.addCleanup(board.stop)
        pathlib.Path(self.tmp, "firmware.hex").write_text(simboard.hex_text({0x400: bytes(range(256)) * 2}))
        run(self.root + "/usr/bin/portkick", "COM5", cwd=self.tmp,
            env={"PATH": os.defpath, "PORTKICK_DEVICE_DIR": board.dir})  # the system's PATH only
        board.wait_for("boot-vanished")
        self.assertEqual(board.flash()[0x400:0x600], bytes(range(256)) * 2)

    def test_source_tarball_builds_with_the_plain_commands(self):
        run("sh", "-c", 'tar -xzf "$0" && cd "portkick-$1" && cmake -S . -B build && cmake --build build -j2 '
            '&& test -x build/portkick', self.out + TARBALL, VERSION, cwd=self.tmp)

    def test_refused_with_one_line_and_nothing_made(self):
        edits = [("echo more >>README.md", "not committed"), (": >new.txt", "not committed"),
                 (r"sed -i 's/^## Unreleased$/&\n\n- A note./' CHANGELOG.md && git commit -qam x", "Unreleased"),
                 (r"sed -i 's/(portkick VERSION [0-9.]*/&.9/' CMakeLists.txt && git commit -qam x", "no heading")]
        for edit, why in edits:
            with self.subTest(edit):
                checkout = tempfile.mkdtemp(dir=self.tmp)
                run("sh", "-c", 'git clone -q "$0" . && ' + edit, self.one, cwd=checkout)
                result = run(checkout + "/scripts/release.sh", check=False)
                made = {"dist", "build-release"} & set(os.listdir(checkout))
                self.assertEqual((result.returncode, result.stdout, made), (1, "", set()))
                self.assertRegex(result.stderr, r"^[^\n]*%s[^\n]*\n$" % why)


if __name__ == "__main__":
    support.main()
