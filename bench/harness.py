"""What the benchmark (bench.py) and the soak (soak.py) share: the programs
of a build, simulated boards in temporary directories, timing, the summary
of a row of figures, the machine they ran on, and the generated part of
their page in docs/, which lies between a line BEGIN and a line END; the
page's prose around it is written by hand and left as it is."""
import argparse
import contextlib
import datetime
import math
import os
import platform
import shutil
import subprocess
import tempfile
import time

import simboard
from simboard import Board

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BEGIN, END = "<!-- figures: begin -->", "<!-- figures: end -->"


def arguments(description, command):
    """The options both take; each adds its own counts."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--build", required=True, help="build holding portkick and the board")
    parser.add_argument("--out", help="page in docs/ whose generated part to rewrite")
    parser.add_argument("--command", default=command, help="the command named on the page")
    return parser


def parse(parser):
    """The arguments; refuses at once a page it could not write into."""
    args = parser.parse_args()
    try:
        if args.out:
            page_around(args.out)
    except (OSError, RuntimeError) as problem:
        parser.error(str(problem))
    return args


def use_build(build):
    """Points simboard at the programs of `build`; returns its directory."""
    build = os.path.abspath(build)
    os.environ.update(PORTKICK=os.path.join(build, "portkick"),
                      PORTKICK_BOARD=os.path.join(build, "sim", "portkick-board"),
                      PORTKICK_TOOLS=os.path.join(ROOT, "tools"))
    simboard.require_avrdude()
    return build


@contextlib.contextmanager
def new_board(*options):
    """A simulated board on COM5 in a temporary directory, taken away after;
    yields the board and the directory."""
    root = tempfile.mkdtemp(prefix="portkick-board-")
    try:
        board = Board(root, *options)
        try:
            yield board, root
        finally:
            board.stop()
    finally:
        shutil.rmtree(root)


def timed(function, *args, **kwargs):
    """What function(*args, **kwargs) returns, and the milliseconds it took."""
    start = time.monotonic_ns()
    result = function(*args, **kwargs)
    return result, (time.monotonic_ns() - start) / 1e6


def summary(values):
    """n, min, median, p95 and max, percentiles by nearest rank."""
    values = sorted(values)
    rank = lambda fraction: values[max(1, math.ceil(fraction * len(values) - 1e-9)) - 1]
    return {"n": len(values), "min": values[0], "median": rank(0.5), "p95": rank(0.95),
            "max": values[-1]}


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), "unknown")
    text = subprocess.run(["avrdude", "-?"], capture_output=True, text=True).stderr
    avrdude = next((line.split("version", 1)[1].split(",")[0].strip()
                    for line in text.splitlines() if "version" in line), "unknown")
    return "%d cores (`nproc`), %s, Linux %s; avrdude %s, Python %s." % (
        os.cpu_count(), model, platform.release(), avrdude, platform.python_version())


def heading(command, counts, defaults, seconds):
    """The first lines of the generated part: whether the run was reduced
    (took fewer of something than `defaults`), what ran it, when, for how
    long, and on what."""
    reduced = [key for key in defaults if counts[key] < defaults[key]]
    lines = []
    if reduced:
        lines += ["**Reduced run** (%s): a check that it runs, not figures to compare."
                  % ", ".join("%s %d of %d" % (key, counts[key], defaults[key]) for key in reduced), ""]
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")
    return lines + ["Measured by `%s` on %s (UTC), in %.0f s." % (command, when, seconds), "",
                    "Machine: " + machine()]


def page_around(path):
    """The page's text up to and including the line BEGIN, and from the line
    END on; raises RuntimeError unless it has each once, in that order."""
    with open(path) as f:
        lines = f.read().split("\n")
    if lines.count(BEGIN) != 1 or lines.count(END) != 1 or lines.index(BEGIN) > lines.index(END):
        raise RuntimeError("%s needs one line %s and, after it, one line %s" % (path, BEGIN, END))
    return ("\n".join(lines[:lines.index(BEGIN) + 1]) + "\n",
            "\n".join(lines[lines.index(END):]))


def write_figures(path, figures):
    """Puts `figures` (lines) between the page's markers."""
    before, after = page_around(path)
    with open(path + ".new", "w") as f:
        f.write(before + "\n" + "\n".join(figures) + "\n\n" + after)
    os.replace(path + ".new", path)
