"""scripts/release.sh on one commit of this tree (changes not yet committed
included), from two clones in different places, the second under another
umask, time zone and locale: the same bytes; what the four files hold; the
Debian package through lintian and flashing the simulated board from
wherever it is unpacked; the source tarball built; a tree with changes
refused."""
import glob
import gzip
import os
import re
import shutil
import struct
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

import simboard
from simboard import success_lines

SOURCE = os.environ["PORTKICK_SOURCE"]
VERSION = os.environ["PORTKICK_VERSION"]
ZIP, DEB = "portkick-%s-win64.zip" % VERSION, "portkick_%s_amd64.deb" % VERSION
TARBALL = "portkick-%s.tar.gz" % VERSION
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# A release as CI makes it: no standard input, nothing from outside dating it.
ENVIRONMENT = {name: value for name, value in os.environ.items()
               if name not in ("SOURCE_DATE_EPOCH", "PORTKICK_MAINTAINER")}


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=300,
                          stdin=subprocess.DEVNULL, **options).stdout


def snapshot(directory):
    """A repository in `directory` whose one commit is this tree as it is:
    tracked files as they are now, and new files git does not ignore."""
    listed = run("git", "ls-files", "-z", "--cached", "--others", "--exclude-standard", cwd=SOURCE)
    for name in sorted(set(listed.split("\0")) - {""}):
        if os.path.lexists(os.path.join(SOURCE, name)):  # not deleted
            os.makedirs(os.path.dirname(os.path.join(directory, name)), exist_ok=True)
            shutil.copy2(os.path.join(SOURCE, name), os.path.join(directory, name),
                         follow_symlinks=False)
    who = dict(ENVIRONMENT, GIT_AUTHOR_NAME="release test", GIT_AUTHOR_EMAIL="test@example.org",
               GIT_COMMITTER_NAME="release test", GIT_COMMITTER_EMAIL="test@example.org",
               GIT_AUTHOR_DATE="1700000000 +0000", GIT_COMMITTER_DATE="1700000000 +0000")
    for command in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "snapshot"]):
        run("git", *command, cwd=directory, env=who)


def release(checkout, **options):
    """scripts/release.sh in `checkout`, into its dist/; returns the result."""
    return subprocess.run([checkout + "/scripts/release.sh"], capture_output=True, text=True,
                          timeout=300, stdin=subprocess.DEVNULL, **options)


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="portkick-release-")
        cls.one, cls.two = cls.tmp + "/one/portkick", cls.tmp + "/elsewhere/a longer/path two"
        snapshot(cls.one)
        run("git", "clone", "-q", cls.one, cls.two)
        for checkout, options in ((cls.one, dict(env=ENVIRONMENT)), (cls.two, dict(
                preexec_fn=lambda: os.umask(0o077),
                env=dict(ENVIRONMENT, TZ="XYZ-13:45", LC_ALL="C.UTF-8", LANG="C.UTF-8")))):
            result = release(checkout, **options)
            if result.returncode != 0:
                raise AssertionError("release.sh failed:\n" + result.stdout + result.stderr)
        cls.out, cls.root = cls.one + "/dist", cls.tmp + "/any where"
        run("dpkg-deb", "--extract", cls.out + "/" + DEB, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_one_commit_gives_the_same_bytes_anywhere_and_the_sums_check(self):
        names = sorted([ZIP, DEB, TARBALL, "SHA256SUMS"])
        self.assertEqual(sorted(os.listdir(self.out)), names)
        self.assertEqual(sorted(os.listdir(self.two + "/dist")), names)
        differ = [name for name in names if subprocess.run(
            ["cmp", "-s", self.out + "/" + name, self.two + "/dist/" + name]).returncode != 0]
        self.assertEqual(differ, [])
        run("sha256sum", "--strict", "-c", "SHA256SUMS", cwd=self.out)

    def test_zip_holds_one_folder_with_a_small_standalone_exe_readme_and_licence(self):
        folder = "portkick-%s-win64/" % VERSION
        with zipfile.ZipFile(self.out + "/" + ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()),
                             [folder + "LICENSE", folder + "README.md", folder + "portkick.exe"])
            exe = archive.read(folder + "portkick.exe")
            with open(SOURCE + "/LICENSE", "rb") as licence:
                self.assertEqual(archive.read(folder + "LICENSE"), licence.read())
        self.assertLessEqual(len(exe), 256 * 1024)
        with open(self.tmp + "/portkick.exe", "wb") as f:
            f.write(exe)
        headers = run("x86_64-w64-mingw32-objdump", "-p", self.tmp + "/portkick.exe")
        for pattern in (r"\n\tsymbols stripped\n", r"\nMagic\s+020b\s+\(PE32\+\)\n",
                        r"\nSubsystem\s+00000003\s+\(Windows CUI\)\n"):
            self.assertTrue(re.search(pattern, headers), pattern)
        self.assertEqual(sorted(re.findall(r"DLL Name: (\S+)", headers)),
                         ["KERNEL32.dll", "msvcrt.dll"])
        self.assertRegex(exe, rb'<requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"')
        # The version: in the fixed part, then as text.
        fixed = exe.index(struct.pack("<I", 0xFEEF04BD)) + 8
        major, minor, patch = (int(n) for n in VERSION.split("."))
        self.assertEqual(struct.unpack_from("<4I", exe, fixed),
                         (major << 16 | minor, patch << 16) * 2)
        strings = exe.decode("utf-16-le", "replace")
        for name, value in (("FileVersion", re.escape(VERSION)), ("ProductName", "portkick"),
                            ("ProductVersion", re.escape(VERSION)), ("FileDescription", "[^\0]+"),
                            ("OriginalFilename", r"portkick\.exe"), ("LegalCopyright", "[^\0]+")):
            self.assertRegex(strings, "%s\0\0?%s\0" % (name, value))

    def test_deb_passes_lintian_and_holds_the_program_its_wrapper_and_its_documents(self):
        deb = self.out + "/" + DEB
        lintian = subprocess.run(["lintian", "--display-info", "--pedantic", deb], capture_output=True,
                                 text=True, timeout=120, stdin=subprocess.DEVNULL)
        self.assertEqual((lintian.returncode, lintian.stdout), (0, ""))
        listing = [line.split()[0] + " " + line.split()[-1]
                   for line in run("dpkg-deb", "--contents", deb).splitlines()]
        self.assertEqual(sorted(listing), sorted(
            ["drwxr-xr-x ./usr/" + path for path in ("", "bin/", "lib/", "lib/portkick/", "lib/udev/",
             "lib/udev/rules.d/", "share/", "share/doc/", "share/doc/portkick/", "share/man/",
             "share/man/man1/")]
            + ["-rwxr-xr-x ./usr/" + path for path in ("bin/portkick", "lib/portkick/avrdude.exe",
               "lib/portkick/portkick-com-name")]
            + ["-rw-r--r-- ./usr/" + path for path in ("lib/udev/rules.d/61-portkick.rules",
               "share/doc/portkick/README.md", "share/doc/portkick/changelog.gz",
               "share/doc/portkick/copyright", "share/man/man1/portkick.1.gz")]))
        self.assertIn("rm -rf /var/lib/portkick", run("dpkg-deb", "-I", deb, "postrm"))
        self.assertRegex(run("dpkg-deb", "--field", deb, "Version", "Maintainer", "Depends"),
                         r"^Version: %s\nMaintainer: the portkick authors <portkick@example\.org>\n"
                         r"Depends: (.+, )?avrdude(,|$)" % re.escape(VERSION))
        with open(self.root + "/usr/share/doc/portkick/copyright") as f:
            copyright_file = f.read()
        self.assertTrue(copyright_file.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        with open(SOURCE + "/LICENSE") as f:  # its paragraphs, line for line
            for paragraph in f.read().split("\n\n")[2:]:
                self.assertIn("\n " + paragraph.strip().replace("\n", "\n ") + "\n", copyright_file)
        with gzip.open(self.root + "/usr/share/doc/portkick/changelog.gz", "rt") as f:
            self.assertTrue(f.readline().startswith("portkick (%s) " % VERSION))

    def test_manual_page_renders_every_line_portkick_writes_its_statuses_and_environment(self):
        rendered = subprocess.run(
            ["man", "--warnings", "-l", self.root + "/usr/share/man/man1/portkick.1.gz"],
            capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
            env=dict(ENVIRONMENT, MANWIDTH="200", LC_ALL="C.UTF-8"))
        self.assertEqual((rendered.returncode, rendered.stderr), (0, ""))
        page = re.sub(r".\x08", "", rendered.stdout)  # no bold, no underline
        for text in success_lines() + [
                "Usage:", "  portkick COMx     - reset and flash using COMx (e.g., COM3)",
                "  portkick --list   - list available COM ports", "Available COM ports:",
                "  - COM1", "No COM ports found.", "Failed to open port PORT",
                "Error getting COM state.", "Error setting COM parameters.",
                "[ERROR] Timeout: No new COM port detected.", "[ERROR] avrdude failed with code N",
                "EXIT STATUS", "PORTKICK_DEVICE_DIR", "AVRDUDE", "/usr/lib/portkick/avrdude.exe"]:
            self.assertIn(text, page)

    def test_unpacked_deb_flashes_the_simulated_board_with_only_the_system_path(self):
        board = simboard.Board(self.tmp + "/board")
        self.addCleanup(board.stop)
        os.mkdir(self.tmp + "/work")
        data = bytes(range(256)) * 2
        with open(self.tmp + "/work/firmware.hex", "w") as f:
            f.write(simboard.hex_text({0x400: data}))
        result = subprocess.run(
            [self.root + "/usr/bin/portkick", "COM5"], cwd=self.tmp + "/work",
            env={"PATH": SYSTEM_PATH, "PORTKICK_DEVICE_DIR": board.dir}, capture_output=True,
            text=True, timeout=60, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        out = result.stdout.splitlines()
        self.assertEqual(out[:4] + out[-1:], success_lines())
        board.wait_for("boot-vanished")
        self.assertEqual(board.flash()[0x400:0x600], data)

    def test_source_tarball_is_the_commit_and_builds_with_the_plain_commands(self):
        source = self.tmp + "/portkick-%s/" % VERSION
        with tarfile.open(self.out + "/" + TARBALL) as archive:
            self.assertEqual(sorted(m.name for m in archive.getmembers() if not m.isdir()),
                             sorted("portkick-%s/%s" % (VERSION, name)
                                    for name in run("git", "ls-files", cwd=self.one).split()))
            archive.extractall(self.tmp)
        run("cmake", "-S", ".", "-B", "build", cwd=source)
        run("cmake", "--build", "build", "-j2", cwd=source)
        self.assertTrue(os.access(source + "build/portkick", os.X_OK))

    def test_a_tree_with_changes_is_refused_and_nothing_made(self):
        checkout = self.tmp + "/three"
        run("git", "clone", "-q", self.one, checkout)
        with open(checkout + "/README.md", "a") as f:
            f.write("more\n")
        for change in ("changed", "new"):
            with self.subTest(change):
                if change == "new":
                    run("git", "checkout", "README.md", cwd=checkout)
                    open(checkout + "/notes.txt", "w").close()
                result = release(checkout, env=ENVIRONMENT)
                self.assertEqual((result.returncode, result.stdout), (1, ""))
                self.assertEqual(len(result.stderr.splitlines()), 1)
                self.assertIn("not committed", result.stderr)
                self.assertEqual(glob.glob(checkout + "/*-release") + glob.glob(checkout + "/dist"), [])


if __name__ == "__main__":
    unittest.main()
