"""The cross-built portkick.exe is a standalone 64-bit console program that
asks for no elevated rights."""
import os
import re
import subprocess
import unittest

EXE = os.environ["PORTKICK_EXE"]
SYSTEM_DLLS = re.compile(r"(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll", re.I)


def objdump(*args):
    return subprocess.run(["x86_64-w64-mingw32-objdump", *args, EXE], check=True,
                          capture_output=True, text=True).stdout


class WindowsExe(unittest.TestCase):
    def test_pe32_plus_console_program(self):
        headers = objdump("-p")
        self.assertRegex(headers, r"Magic\s+020b\s+\(PE32\+\)")
        self.assertRegex(headers, r"Subsystem\s+00000003\s+\(Windows CUI\)")

    def test_imports_system_dlls_only(self):
        dlls = re.findall(r"DLL Name: (\S+)", objdump("-p"))
        self.assertIn("KERNEL32.dll", dlls)
        self.assertEqual([d for d in dlls if not SYSTEM_DLLS.fullmatch(d)], [])

    def test_manifest_resource_runs_as_invoker(self):
        dump = objdump("-s", "-j", ".rsrc")
        data = bytes.fromhex("".join(
            "".join(line[1:].split("  ")[0].split()[1:])
            for line in dump.splitlines() if re.match(r"^ [0-9a-f]+ ", line)))
        self.assertRegex(data, rb'<requestedExecutionLevel\s+level="asInvoker"\s+'
                               rb'uiAccess="false"\s*/>')


if __name__ == "__main__":
    unittest.main()
