"""scripts/release.sh into a temporary directory: the files a user downloads,
what they hold, the packaged programs running, the sums; and a second build
of the same tree in another directory that must give the same exe and zip."""
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

SOURCE = os.environ["PORTKICK_SOURCE"]
VERSION = os.environ["PORTKICK_VERSION"]
ZIP, DEB = "portkick-%s-win64.zip" % VERSION, "portkick_%s_amd64.deb" % VERSION


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=240,
                          **options).stdout


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="portkick-release-")
        cls.out, cls.again = cls.tmp + "/dist", cls.tmp + "/another/win"
        env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
        run(SOURCE + "/scripts/release.sh", cls.out, cls.tmp + "/build", env=env)
        run("cmake", "-S", SOURCE, "-B", cls.again,
            "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64-x86_64.cmake" % SOURCE)
        run("cmake", "--build", cls.again, "-j2", "--target", "portkick")
        run("cpack", "-B", cls.again + "/packages", cwd=cls.again, env=env)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_sums_check_and_the_same_tree_gives_the_same_bytes(self):
        self.assertEqual(sorted(os.listdir(self.out)), sorted([ZIP, DEB, "SHA256SUMS"]))
        run("sha256sum", "--strict", "-c", "SHA256SUMS", cwd=self.out)
        for first, second in ((self.tmp + "/build/win/portkick.exe", self.again + "/portkick.exe"),
                              (self.out + "/" + ZIP, self.again + "/packages/" + ZIP)):
            with open(first, "rb") as one, open(second, "rb") as other:
                self.assertTrue(one.read() == other.read(), first + " differs")

    def test_zip_holds_a_small_standalone_exe_readme_and_licence(self):
        with zipfile.ZipFile(self.out + "/" + ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), ["LICENSE", "README.md", "portkick.exe"])
            exe = archive.read("portkick.exe")
            with open(SOURCE + "/LICENSE", "rb") as licence:
                self.assertEqual(archive.read("LICENSE"), licence.read())
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

    def test_deb_installs_the_program_and_its_wrapper_which_run(self):
        control = run("dpkg-deb", "-f", self.out + "/" + DEB, "Version", "Depends")
        self.assertIn("Version: %s\n" % VERSION, control)
        self.assertRegex(control, r"Depends: (.+, )?avrdude(,|$)")
        root, devices = tempfile.mkdtemp(dir=self.tmp), tempfile.mkdtemp(dir=self.tmp)
        run("dpkg-deb", "-x", self.out + "/" + DEB, root)
        self.assertTrue(os.path.isfile(root + "/usr/share/doc/portkick/LICENSE"))
        for path in ("lib/portkick/portkick-com-name", "lib/udev/rules.d/61-portkick.rules"):
            self.assertTrue(os.path.isfile(root + "/usr/" + path), path)
        self.assertIn("rm -rf /var/lib/portkick", run("dpkg-deb", "-I", self.out + "/" + DEB, "postrm"))
        env = dict(os.environ, PORTKICK_DEVICE_DIR=devices, AVRDUDE="echo")
        self.assertEqual(run(root + "/usr/bin/portkick", "--list", env=env), "No COM ports found.\n")
        self.assertEqual(run(root + "/usr/bin/avrdude.exe", "-P", "COM6", env=env),
                         "-P %s/COM6\n" % devices)


if __name__ == "__main__":
    unittest.main()
