"""What the test scripts share: the programs under test as the environment names them, portkick run as a user
runs it, the lines of a successful run, and a main that tells a run in which nothing ran from one that passed."""
import os
import shutil
import subprocess
import sys
import unittest


def required(variable):
    """The existing file or directory that an environment variable names."""
    path = os.environ.get(variable, "")
    if not path or not os.path.exists(path):
        raise RuntimeError("%s does not name an existing file: %r" % (variable, path))
    return path


def require_avrdude():
    real = os.environ.get("AVRDUDE", "avrdude")
    if shutil.which(real) is None:
        raise RuntimeError("the real avrdude (%s) is missing: run scripts/deps.sh flash" % real)


def environment(device_dir, *path_first):
    """portkick's environment: the device directory; PATH led by the given directories, then the avrdude.exe wrapper."""
    path = os.pathsep.join([*path_first, required("PORTKICK_TOOLS"), os.environ.get("PATH", "")])
    return dict(os.environ, PORTKICK_DEVICE_DIR=device_dir, PATH=path)


def run_portkick(work, device_dir, *path_first, port="COM5", **run_options):
    """Runs `portkick PORT` in `work`; text output, both streams captured unless `run_options` say otherwise."""
    options = dict(stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                   errors="replace", timeout=120)
    return subprocess.run([required("PORTKICK"), port], cwd=work, env=environment(device_dir, *path_first),
                          **dict(options, **run_options))


def success_lines(app="COM5", boot="COM6"):
    return ["[INFO] Triggered 1200bps reset on " + app,
            "[INFO] Waiting for bootloader COM port...",
            "[INFO] New port detected: " + boot,
            "[INFO] Running: avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P " + boot
            + " -U flash:w:./firmware.hex:i",
            "[INFO] Flash successful!"]


def main():
    """unittest.main, but a run in which no test ran (all skipped, as when what they test was not built) exits
    with status 77, which ctest reports as skipped, not passed."""
    result = unittest.main(exit=False).result
    ran = result.testsRun - len(result.skipped)
    sys.exit(1 if not result.wasSuccessful() else 0 if ran > 0 else 77)
