"""The cross-built portkick.exe is a standalone 64-bit console program that
asks for no elevated rights and tells its version in its file properties."""
import os
import re
import struct
import subprocess
import unittest

EXE = os.environ["PORTKICK_EXE"]
VERSION = os.environ["PORTKICK_VERSION"]
SYSTEM_DLLS = re.compile(r"(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll", re.I)
FIXED_FILE_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def objdump(*args):
    return subprocess.run(["x86_64-w64-mingw32-objdump", *args, EXE], check=True,
                          capture_output=True, text=True).stdout


def utf16(text):
    return text.encode("utf-16-le")


class WindowsExe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as exe:
            cls.bytes = exe.read()

    def assertHolds(self, pattern, what):
        """The exe's bytes match pattern (not shown in full when they don't)."""
        self.assertIsNotNone(re.search(pattern, self.bytes), "the exe holds no " + what)

    def test_pe32_plus_console_program(self):
        headers = objdump("-p")
        self.assertRegex(headers, r"Magic\s+020b\s+\(PE32\+\)")
        self.assertRegex(headers, r"Subsystem\s+00000003\s+\(Windows CUI\)")

    def test_imports_system_dlls_only(self):
        dlls = re.findall(r"DLL Name: (\S+)", objdump("-p"))
        self.assertIn("KERNEL32.dll", dlls)
        self.assertEqual([d for d in dlls if not SYSTEM_DLLS.fullmatch(d)], [])

    def test_manifest_resource_runs_as_invoker(self):
        self.assertHolds(rb'<requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"\s*/>',
                         "manifest that runs it as invoker")

    def test_version_resource_holds_the_project_version(self):
        # The numbers: VS_FIXEDFILEINFO's file and product versions.
        start = self.bytes.find(FIXED_FILE_INFO_SIGNATURE)
        self.assertNotEqual(start, -1, "no version resource")
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", self.bytes, start + 8)
        numbers = [int(n) for n in VERSION.split(".")] + [0]
        expected = ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3])
        self.assertEqual((file_ms, file_ls), expected)
        self.assertEqual((product_ms, product_ls), expected)
        # The strings: each name, its terminator, padding to 4 bytes, the value.
        for name, value in (("FileVersion", VERSION), ("ProductVersion", VERSION),
                            ("ProductName", "portkick"), ("OriginalFilename", "portkick.exe")):
            pair = re.escape(utf16(name + "\0")) + b"(?:\0\0)?" + re.escape(utf16(value + "\0"))
            self.assertHolds(pair, "%s %s" % (name, value))
        for name in ("FileDescription", "LegalCopyright"):
            self.assertHolds(re.escape(utf16(name + "\0")) + b"(?:\0\0)?(?:[^\0]\0)+\0\0", name)


if __name__ == "__main__":
    unittest.main()
