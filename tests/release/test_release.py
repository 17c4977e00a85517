"""scripts/release.sh, run into a temporary directory: the files a user
downloads, what they hold, that the packaged program runs, and that the sums
check; and a second cross-build and zip of the same tree, in another
directory, that must give the same exe and the same zip."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

SOURCE = os.environ["PORTKICK_SOURCE"]
VERSION = os.environ["PORTKICK_VERSION"]
ZIP = "portkick-%s-win64.zip" % VERSION
DEB = "portkick_%s_amd64.deb" % VERSION
MAX_EXE_BYTES = 256 * 1024
EPOCH = "1700000000"


def run(*command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, timeout=240, **kwargs)


def coff_symbol_count(exe):
    """NumberOfSymbols of a PE file's COFF header: 0 once stripped."""
    (pe_offset,) = struct.unpack_from("<I", exe, 0x3C)
    assert exe[pe_offset:pe_offset + 4] == b"PE\0\0"
    return struct.unpack_from("<I", exe, pe_offset + 4 + 12)[0]


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="portkick-release-")
        cls.out = os.path.join(cls.tmp, "dist")
        cls.build = os.path.join(cls.tmp, "build")
        env = dict(os.environ, SOURCE_DATE_EPOCH=EPOCH)
        run(os.path.join(SOURCE, "scripts", "release.sh"), cls.out, cls.build, env=env)
        # The exe again, in a build directory of another path, by a plain
        # build that sets no time; then the zip again from it.
        cls.again = os.path.join(cls.tmp, "another", "win")
        plain = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        run("cmake", "-S", SOURCE, "-B", cls.again,
            "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64-x86_64.cmake" % SOURCE, env=plain)
        run("cmake", "--build", cls.again, "-j%d" % os.cpu_count(), "--target", "portkick",
            env=plain)
        run("cpack", "-B", os.path.join(cls.again, "packages"), cwd=cls.again, env=env)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def path(self, name):
        return os.path.join(self.out, name)

    def test_three_files_whose_sums_check(self):
        self.assertEqual(sorted(os.listdir(self.out)), sorted([ZIP, DEB, "SHA256SUMS"]))
        with open(self.path("SHA256SUMS")) as sums:
            self.assertEqual(sorted(line.split()[1] for line in sums), sorted([ZIP, DEB]))
        checked = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=self.out,
                                 capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        # A changed download fails the check.
        changed = os.path.join(self.tmp, "changed")
        shutil.copytree(self.out, changed)
        with open(os.path.join(changed, ZIP), "ab") as archive:
            archive.write(b"\0")
        self.assertNotEqual(subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"],
                                           cwd=changed, capture_output=True).returncode, 0)

    def test_zip_holds_the_stripped_small_exe_readme_and_licence(self):
        with zipfile.ZipFile(self.path(ZIP)) as archive:
            self.assertEqual(sorted(archive.namelist()), ["LICENSE", "README.md", "portkick.exe"])
            exe = archive.read("portkick.exe")
            for name in ("LICENSE", "README.md"):
                with open(os.path.join(SOURCE, name), "rb") as original:
                    self.assertEqual(archive.read(name), original.read(), name)
        self.assertEqual(exe[:2], b"MZ")
        self.assertLessEqual(len(exe), MAX_EXE_BYTES)
        self.assertEqual(coff_symbol_count(exe), 0, "the exe in the zip is not stripped")
        self.assertIn("portkick.exe".encode("utf-16-le"), exe)

    def test_deb_depends_on_avrdude_and_holds_program_wrapper_and_docs(self):
        fields = run("dpkg-deb", "-f", self.path(DEB), "Package", "Version", "Depends",
                     "Architecture", text=True).stdout
        control = dict(line.split(": ", 1) for line in fields.splitlines())
        self.assertEqual(control["Package"], "portkick")
        self.assertEqual(control["Version"], VERSION)
        self.assertEqual(control["Architecture"], "amd64")
        self.assertIn("avrdude", [d.split()[0] for d in control["Depends"].split(", ")])
        listing = run("dpkg-deb", "-c", self.path(DEB), text=True).stdout
        files = {line.split()[-1] for line in listing.splitlines()}
        for name in ("./usr/bin/portkick", "./usr/bin/avrdude.exe",
                     "./usr/share/doc/portkick/README.md", "./usr/share/doc/portkick/LICENSE"):
            self.assertIn(name, files)

    def test_packaged_program_and_wrapper_run(self):
        root = tempfile.mkdtemp(dir=self.tmp)
        devices = tempfile.mkdtemp(dir=self.tmp)
        run("dpkg-deb", "-x", self.path(DEB), root)
        bin_dir = os.path.join(root, "usr", "bin")
        env = dict(os.environ, PORTKICK_DEVICE_DIR=devices)
        listed = subprocess.run([os.path.join(bin_dir, "portkick"), "--list"], env=env,
                                capture_output=True, timeout=30)
        self.assertEqual((listed.returncode, listed.stdout, listed.stderr),
                         (0, b"No COM ports found.\n", b""))
        # The wrapper beside it hands avrdude the port's path in the device
        # directory.
        wrapped = subprocess.run([os.path.join(bin_dir, "avrdude.exe"), "-v", "-P", "COM6"],
                                 env=dict(env, AVRDUDE="echo"), capture_output=True, timeout=30)
        self.assertEqual((wrapped.returncode, wrapped.stdout),
                         (0, ("-v -P %s/COM6\n" % devices).encode()))

    def test_same_commit_gives_the_same_exe_and_zip(self):
        for first, second in ((os.path.join(self.build, "win", "portkick.exe"),
                               os.path.join(self.again, "portkick.exe")),
                              (self.path(ZIP), os.path.join(self.again, "packages", ZIP))):
            with open(first, "rb") as one, open(second, "rb") as other:
                self.assertTrue(one.read() == other.read(),
                                "%s and %s differ" % (first, second))

if __name__ == "__main__":
    unittest.main()
