"""What the test scripts share: the programs under test as the environment names them, portkick run as a user
runs it, the lines of a successful run, and a main that tells a run in which nothing ran from one that passed."""
import os
import subprocess
import sys
import unittest


def required(variable):
    """The existing file or directory that an environment variable names."""
    path = os.environ.get(variable, "")
    if not path or not os.path.exists(path):
        raise RuntimeError("%s does not name an existing file: %r" % (variable, path))
    return path


def run_portkick(work, device_dir, port="COM5", **run_options):
    """`portkick PORT` in `work`, the avrdude.exe wrapper first on PATH; text output, both streams captured unless
    `run_options` say otherwise."""
    env = dict(os.environ, PORTKICK_DEVICE_DIR=device_dir, PATH=required("PORTKICK_TOOLS") + ":" + os.environ["PATH"])
    options = dict(stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace",
                   timeout=120)
    return subprocess.run([required("PORTKICK"), port], cwd=work, env=env, **dict(options, **run_options))


def success_lines(app="COM5", boot="COM6"):
    return ["[INFO] Triggered 1200bps reset on " + app, "[INFO] Waiting for bootloader COM port...",
            "[INFO] New port detected: " + boot, "[INFO] Running: avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 "
            "-D -P %s -U flash:w:./firmware.hex:i" % boot, "[INFO] Flash successful!"]


def main():
    """unittest.main for a test script, but a run in which no test ran (all skipped, as when what they test was
    not built) exits with status 77, which ctest reports as skipped, not passed."""
    result = unittest.main(exit=False).result
    ran = result.testsRun - len(result.skipped)
    sys.exit(1 if not result.wasSuccessful() else 0 if ran > 0 else 77)
