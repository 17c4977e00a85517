"""scripts/release.sh on this tree as it is, uncommitted changes included, and notes under
"Unreleased" given the version's heading as a release would: the same bytes in other surroundings;
the zip, the Debian package and the source tarballs as a user or packager meets them. Skipped
outside a git checkout (an unpacked source tarball)."""
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import simboard
import support

SOURCE, VERSION = os.environ["PORTKICK_SOURCE"], os.environ["PORTKICK_VERSION"]
ZIP, DEB, TARBALL = (name % VERSION for name in (
    "portkick-%s-win64.zip", "portkick_%s_amd64.deb", "portkick-%s.tar.gz"))
AVRDUDE_SOURCE = "avrdude_7.1+dfsg.orig.tar.xz"
# Every line portkick writes, or its fixed part.
LINES = support.success_lines() + [
    "Usage:", "  portkick COMx     - reset and flash using COMx (e.g., COM3)", "  - COM1",
    "  portkick --list   - list available COM ports", "Available COM ports:", "No COM ports found.",
    "Failed to open port ", "Error getting COM state.", "Error setting COM parameters.",
    "[ERROR] Timeout: No new COM port detected.", "[ERROR] avrdude failed with code ",
    "[INFO] Waiting for another portkick run to finish..."]
# A release as CI makes it: nothing from outside dates it or names its maintainer.
ENVIRONMENT = {name: value for name, value in os.environ.items()
               if name not in ("SOURCE_DATE_EPOCH", "PORTKICK_MAINTAINER")}


def run(*command, check=True, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=300,
                            stdin=subprocess.DEVNULL, **options)
    if check and result.returncode != 0:
        raise AssertionError("%s failed:\n%s%s" % (command, result.stdout, result.stderr))
    return result


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        top = shutil.which("git") and run("git", "rev-parse", "--show-toplevel", cwd=SOURCE, check=False).stdout
        if not top or os.path.realpath(top.strip()) != os.path.realpath(SOURCE):
            raise unittest.SkipTest("%s is no git checkout: a release is made of a commit" % SOURCE)
        cls.tmp = tempfile.mkdtemp(prefix="portkick-release-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        cls.one, cls.two = cls.tmp + "/one/portkick", cls.tmp + "/elsewhere/a longer/path two"
        # One commit of this tree: tracked files as they are now, new ones git does not ignore.
        listed = run("git", "ls-files", "-z", "-co", "--exclude-standard", cwd=SOURCE).stdout
        run("git", "init", "-q", cls.one)
        run("cp", "-P", "--parents", "--", *(name for name in listed.split("\0")
               if name and os.path.lexists(SOURCE + "/" + name)), cls.one, cwd=SOURCE)
        # Between releases, notes wait under "Unreleased": cut the release as
        # "Making a release" says, with the version's own heading.
        with open(cls.one + "/CHANGELOG.md", "r+") as f:
            cut = re.subn(r"^(## Unreleased\n)(\n- .*?\n)\n(## %s - [^\n]*\n)" % re.escape(VERSION),
                          r"\1\n\3\2", f.read(), count=1, flags=re.M | re.S)[0]
            f.seek(0)
            f.write(cut)
        run("git", "add", "-A", cwd=cls.one)
        run("git", "-c", "user.name=test", "-c", "user.email=test@example.org",
            "commit", "-qm", "snapshot", cwd=cls.one)
        run("git", "clone", "-q", cls.one, cls.two)
        run(cls.one + "/scripts/release.sh", env=ENVIRONMENT, preexec_fn=lambda: os.umask(0o002))
        run(cls.two + "/scripts/release.sh", preexec_fn=lambda: os.umask(0o077),
            env=dict(ENVIRONMENT, TZ="XYZ-13:45", LC_ALL="C.UTF-8", LANG="C.UTF-8"))
        cls.out, cls.root = cls.one + "/dist/", cls.tmp + "/any where"
        run("dpkg-deb", "--extract", cls.out + DEB, cls.root)

    def test_one_tree_gives_the_same_bytes_anywhere_and_the_sums_check(self):
        self.assertEqual(sorted(os.listdir(self.out)),
                         sorted([ZIP, DEB, TARBALL, AVRDUDE_SOURCE, "SHA256SUMS"]))
        differ = run("diff", "-r", self.out, self.two + "/dist", check=False)
        self.assertEqual((differ.returncode, differ.stdout), (0, ""))
        run("sha256sum", "--strict", "-c", "SHA256SUMS", cwd=self.out)

    def test_zip_holds_one_folder_with_standalone_console_exes_avrdude_and_texts_for_windows(self):
        folder = "portkick-%s-win64/" % VERSION
        with zipfile.ZipFile(self.out + ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), [folder + name for name in (
                "LICENSE", "README.txt", "avrdude-COPYING.txt", "avrdude.conf", "avrdude.exe", "portkick.exe")])
            exe, avrdude, readme, copying = (archive.read(folder + name) for name in (
                "portkick.exe", "avrdude.exe", "README.txt", "avrdude-COPYING.txt"))
            paths = [archive.extract(folder + name, self.tmp) for name in ("portkick.exe", "avrdude.exe")]
        self.assertLessEqual(len(exe), 256 * 1024)
        for path, dlls in zip(paths, (["KERNEL32.dll", "msvcrt.dll"],
                                      ["HID.DLL", "KERNEL32.dll", "SETUPAPI.dll", "WS2_32.dll", "msvcrt.dll"])):
            headers = run("x86_64-w64-mingw32-objdump", "-p", path).stdout
            self.assertRegex(headers, r"(?s)\(PE32\+\)\n.*\(Windows CUI\)\n")  # 64-bit, console
            self.assertEqual(sorted(re.findall(r"DLL Name: (\S+)", headers)), dlls)
        self.assertRegex(exe, rb'<requestedExecutionLevel\s+level="asInvoker"')
        self.assertRegex(exe.decode("utf-16-le", "replace"), "ProductVersion\0\0?%s\0" % re.escape(VERSION))
        # avrdude.exe names no directory of the machine that built it and
        # carries no time stamp: built anywhere, any time, the same bytes.
        header = int.from_bytes(avrdude[0x3C:0x40], "little")
        self.assertEqual((avrdude[header + 8:header + 12], re.findall(rb"[!-~]*/src/main\.c", avrdude)),
                         (bytes(4), [b"avrdude-7.1/src/main.c"]))
        # For Windows: CRLF; the note names the source file that comes with the release.
        self.assertEqual((readme + copying).count(b"\n"), (readme + copying).count(b"\r\n"))
        with open(self.out + AVRDUDE_SOURCE, "rb") as source:
            self.assertIn(hashlib.sha256(source.read()).hexdigest().encode(), copying)

    def test_deb_passes_lintian_puts_its_files_where_they_belong_and_forgets_on_purge(self):
        lintian = run("lintian", "--display-info", "--pedantic", self.out + DEB, check=False)
        self.assertEqual((lintian.returncode, lintian.stdout), (0, ""))
        files = run("find", self.root, "-type", "f", "-printf", "%P\n").stdout.split()
        self.assertEqual(sorted(files), ["usr/" + path for path in (
            "bin/portkick", "lib/portkick/avrdude.exe", "lib/portkick/portkick-com-name",
            "lib/systemd/system/portkick-com-names.service", "lib/udev/rules.d/61-portkick.rules")] + [
            "usr/share/doc/portkick/" + name for name in ("README.md", "changelog.gz", "copyright")] + [
            "usr/share/lintian/overrides/portkick", "usr/share/man/man1/portkick.1.gz"])
        self.assertRegex(run("dpkg-deb", "-I", self.out + DEB, "postrm").stdout,
                         r"purge.*\n\s*rm -rf /var/lib/portkick\n")

    def test_manual_page_and_the_zips_readme_hold_every_line_portkick_writes(self):
        rendered = run("man", "--warnings", "-l", self.root + "/usr/share/man/man1/portkick.1.gz",
                       env=dict(ENVIRONMENT, MANWIDTH="200", LC_ALL="C.UTF-8"), check=False)
        self.assertEqual((rendered.returncode, rendered.stderr), (0, ""))
        with zipfile.ZipFile(self.out + ZIP) as archive:
            readme = archive.read("portkick-%s-win64/README.txt" % VERSION).decode()
        for text in rendered.stdout, readme:
            self.assertEqual([line for line in LINES if line not in text], [])

    def test_unpacked_deb_flashes_the_simulated_board_with_only_the_system_path(self):
        board = simboard.Board(self.tmp + "/board")
        self.addCleanup(board.stop)
        data = bytes(range(256)) * 2
        with open(self.tmp + "/firmware.hex", "w") as f:
            f.write(simboard.hex_text({0x400: data}))
        run(self.root + "/usr/bin/portkick", "COM5", cwd=self.tmp,
            env={"PATH": "/usr/local/bin:/usr/bin:/bin", "PORTKICK_DEVICE_DIR": board.dir})
        board.wait_for("boot-vanished")
        self.assertEqual(board.flash()[0x400:0x600], data)

    def test_source_tarball_builds_with_the_plain_commands(self):
        run("tar", "-xzf", self.out + TARBALL, "-C", self.tmp)
        source = self.tmp + "/portkick-%s" % VERSION
        run("cmake", "-S", ".", "-B", "build", cwd=source)
        run("cmake", "--build", "build", "-j2", cwd=source)
        self.assertTrue(os.access(source + "/build/portkick", os.X_OK))

    def test_refused_with_one_line_and_nothing_made(self):
        """Changes not committed; notes under "Unreleased"; a version with no
        heading of its own."""
        checkout = self.tmp + "/three"
        run("git", "clone", "-q", self.one, checkout)
        cases = [("README.md", r"\Z", "more\n", "not committed"),  # changed
                 ("notes.txt", r"\Z", "more\n", "not committed"),  # new
                 ("CHANGELOG.md", r"^## Unreleased\n", r"\g<0>\n- A note.\n", "Unreleased"),
                 ("CMakeLists.txt", r"^(project\(portkick VERSION )[0-9.]+", r"\g<1>9.9.9", "no heading")]
        for name, old, new, why in cases:
            with self.subTest(name):
                run("git", "reset", "-q", "--hard", "origin/HEAD", cwd=checkout)
                run("git", "clean", "-qfdx", cwd=checkout)
                path = pathlib.Path(checkout, name)
                path.write_text(re.sub(old, new, path.read_text() if path.exists() else "", count=1, flags=re.M))
                if why != "not committed":
                    run("git", "-c", "user.name=test", "-c", "user.email=test@example.org",
                        "commit", "-qam", name, cwd=checkout)
                result = run(checkout + "/scripts/release.sh", env=ENVIRONMENT, check=False)
                self.assertEqual((result.returncode, result.stdout), (1, ""))
                self.assertRegex(result.stderr, r"^[^\n]*%s[^\n]*\n$" % why)
                self.assertFalse({"dist", "build-release"} & set(os.listdir(checkout)))


if __name__ == "__main__":
    support.main()
