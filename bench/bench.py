"""Measures portkick against the simulated board with the real avrdude and
writes the figures as a Markdown table. Run through scripts/bench.sh, which
builds what this needs. All time stamps are CLOCK_MONOTONIC: the board's
events, time.monotonic_ns() here, and the avrdude.exe stamp (bench/)."""
import argparse
import contextlib
import datetime
import math
import os
import platform
import pty
import random
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
import simboard
from simboard import Board

MS = 1_000_000  # nanoseconds
TRIGGERED, DETECTED = b"[INFO] Triggered 1200bps reset on ", b"[INFO] New port detected: "
DEFAULTS = {"runs": 60, "scans": 2000, "touches": 30, "listings": 200, "timeouts": 5}
# The loads of the goals: ordinary processes, and processes each holding
# many descriptors (of /dev/null).
PROCESSES, CROWD, DESCRIPTORS = 400, 1000, 19000
HOLD = """import os, resource, sys
n = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_NOFILE, (n + 64, n + 64))
null = os.open("/dev/null", os.O_RDONLY)
for _ in range(n):
    os.dup(null)
print("ready", flush=True)
sys.stdin.read()
"""


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
    """A simulated board on COM5 in a temporary directory, taken away after."""
    root = tempfile.mkdtemp(prefix="portkick-bench-")
    try:
        board = Board(root, *options)
        try:
            yield board, root
        finally:
            board.stop()
    finally:
        shutil.rmtree(root)


@contextlib.contextmanager
def load(processes=0, holders=0):
    """`processes` more processes (sleeping), and `holders` more that hold
    DESCRIPTORS descriptors each, for as long as the block runs."""
    started = []
    try:
        for _ in range(processes):
            started.append(subprocess.Popen(["sleep", "3600"]))
        for _ in range(holders):
            holder = subprocess.Popen([sys.executable, "-c", HOLD, str(DESCRIPTORS)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            started.append(holder)
            if holder.stdout.readline() != b"ready\n":
                raise RuntimeError("a process could not hold %d descriptors (run as root)" % DESCRIPTORS)
        yield
    finally:
        for process in started:
            process.kill()
            process.wait()
            for stream in (process.stdin, process.stdout):
                if stream:
                    stream.close()


LOADS = [("", {}), ("%d more processes" % PROCESSES, {"processes": PROCESSES}),
         ("%d more processes" % CROWD, {"processes": CROWD}),
         ("1 process x %d descriptors" % DESCRIPTORS, {"holders": 1}),
         ("10 processes x %d descriptors" % DESCRIPTORS, {"holders": 10})]


@contextlib.contextmanager
def live_ports(directory, names=("COM3", "COM12", "COM200")):
    """Pseudo-terminals linked into `directory` as more live ports."""
    masters = []
    try:
        for name in names:
            master, slave = pty.openpty()
            masters.append(master)
            os.symlink(os.ttyname(slave), os.path.join(directory, name))
            os.close(slave)
        yield
    finally:
        for master in masters:
            os.close(master)


def descriptors_held():
    """Open descriptors of every process but this one's children's count."""
    total = 0
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                total += len(os.listdir("/proc/%s/fd" % entry))
            except OSError:
                pass
    return total


def scans(args, build):
    """enumeratePorts() and the touch's open of a free port, timed in process
    by portkick-scan-bench: in an empty device directory, then with four live
    ports (the board's and three pseudo-terminals) under each load."""
    rows = []

    def measure(directory, label, touches):
        out = subprocess.run([os.path.join(build, "bench", "portkick-scan-bench"), str(args.scans),
                              str(touches), "COM3"], check=True, capture_output=True, text=True,
                             env=dict(os.environ, PORTKICK_DEVICE_DIR=directory)).stdout.split("\n")
        processes = sum(1 for entry in os.listdir("/proc") if entry.isdigit())
        note = "%d processes, %s descriptors" % (processes, "{:,}".format(descriptors_held()))
        for kind, what in (("scan", "scan"), ("touch", "touch's open of a free port")):
            times = [int(line.split()[1]) / MS for line in out[1:] if line.startswith(kind + " ")]
            if times:
                rows.append(("%s, %s" % (what, label), summary(times), note))

    with new_board() as (board, root):
        os.makedirs(os.path.join(root, "empty"))
        measure(os.path.join(root, "empty"), "empty device directory", 0)
        with live_ports(board.dir):
            for name, options in LOADS:
                with load(**options):
                    measure(board.dir, "4 live ports" + (", " + name if name else ""), args.touches)
    return rows


def listings(args, build):
    """Whole `portkick --list` runs: with no port and no load, and with four
    live ports among PROCESSES more processes."""
    rows = []

    def measure(directory, label):
        times = []
        for _ in range(args.listings):
            start = time.monotonic_ns()
            subprocess.run([os.environ["PORTKICK"], "--list"], check=True, stdout=subprocess.DEVNULL,
                           env=dict(os.environ, PORTKICK_DEVICE_DIR=directory))
            times.append((time.monotonic_ns() - start) / MS)
        rows.append(("`portkick --list`, " + label, summary(times), "the whole run, as a user sees it"))

    with new_board() as (board, root):
        os.makedirs(os.path.join(root, "empty"))
        measure(os.path.join(root, "empty"), "no port")
        with live_ports(board.dir), load(processes=PROCESSES):
            measure(board.dir, "4 live ports, %d more processes" % PROCESSES)
    return rows


def flashes(args, build):
    """Flashes of a new board each, with the real avrdude, with three more
    live ports and PROCESSES more processes: a random enumeration delay and a
    random pause before the start put the bootloader's arrival at any point
    of portkick's 50 ms poll cycle and of the board's 10 ms look at its
    ports."""
    rng = random.Random(args.seed)
    rows = []
    with load(processes=PROCESSES):
        for run in range(args.runs):
            with new_board("--enum-delay-ms", str(rng.randint(100, 600))) as (board, root), \
                    live_ports(board.dir):
                time.sleep(rng.uniform(0, 0.06))
                rows.append(one_flash(build, board, root))
            print("  flash %d/%d: detection %.2f ms" % (run + 1, args.runs, rows[-1]["detection"]),
                  file=sys.stderr)
    return rows


def one_flash(build, board, root):
    work = os.path.join(root, "work")
    os.makedirs(work)
    shutil.copyfile(os.path.join(ROOT, "demo", "firmware.hex"), os.path.join(work, "firmware.hex"))
    stamps = os.path.join(root, "avrdude-start")
    env = dict(simboard.environment(board.dir, os.path.join(build, "bench", "stamp")),
               PORTKICK_BENCH_STAMPS=stamps)
    seen = {}
    with open(os.path.join(root, "stderr"), "w+") as errors:
        start = time.monotonic_ns()
        with subprocess.Popen([os.environ["PORTKICK"], "COM5"], cwd=work, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=errors) as process:
            for line in process.stdout:
                now = time.monotonic_ns()
                seen.update({prefix: now for prefix in (TRIGGERED, DETECTED)
                             if line.startswith(prefix)})
        if process.returncode != 0 or len(seen) != 2:
            errors.seek(0)
            raise RuntimeError("a flash failed (status %d):\n%s" % (process.returncode,
                                                                    errors.read()[-2000:]))
    triggered, detected = seen[TRIGGERED], seen[DETECTED]
    with open(stamps) as f:
        avrdude = int(f.read().split()[0])
    boot = board.wait_for("boot-appeared")
    startup, handover = (triggered - start) / MS - 100, (avrdude - boot) / MS
    return {"detection": (detected - boot) / MS, "startup": startup, "handover": handover,
            "own": startup + handover}


def waits(args, build, holders=0):
    """Full timeouts: the board takes the touch, no bootloader shows up;
    with `holders` processes holding DESCRIPTORS descriptors each."""
    rows = []
    with load(holders=holders):
        for _ in range(args.timeouts):
            with new_board("--no-bootloader", "--boot-timeout-ms", "60000") as (board, _):
                start = time.monotonic_ns()
                result = subprocess.run([os.path.join(build, "bench", "portkick-rusage"),
                                         os.environ["PORTKICK"], "COM5"], capture_output=True,
                                        text=True, stdin=subprocess.DEVNULL,
                                        env=simboard.environment(board.dir))
                wall = (time.monotonic_ns() - start) / MS
            *errors, cost = result.stderr.splitlines()
            figures = {key: int(value) for key, value in (field.split("=") for field in cost.split())}
            if figures["status"] != 1 or errors != ["[ERROR] Timeout: No new COM port detected."]:
                raise RuntimeError("the wait did not end in the timeout: " + result.stderr)
            rows.append({"wall": wall, "cpu": (figures["user_us"] + figures["system_us"]) / 1000,
                         "rss": figures["maxrss_kib"]})
    return rows


def sizes(build, build_win):
    """portkick as built, and both programs as installed (stripped), which
    is how the release packages them."""
    rows = [("portkick (native, x86-64 Linux, as built)", os.path.getsize(os.environ["PORTKICK"]))]
    for tree, name, label in ((build, "portkick", "portkick (native, stripped)"),
                              (build_win, "portkick.exe", "portkick.exe (Release, stripped, as released)")):
        prefix = tempfile.mkdtemp(prefix="portkick-bench-size-")
        try:
            subprocess.run(["cmake", "--install", tree, "--prefix", prefix, "--strip"],
                           check=True, stdout=subprocess.DEVNULL)
            rows.append((label, os.path.getsize(os.path.join(prefix, "bin", name))))
        finally:
            shutil.rmtree(prefix)
    return rows


def report(args, figures, goals, size_rows, elapsed, loads):
    counts = {key: getattr(args, key) for key in DEFAULTS}
    reduced = {key: value for key, value in counts.items() if value != DEFAULTS[key]}
    heading = "# Benchmarks"
    if reduced:
        heading += " (reduced run: %s; the defaults are %s)" % (
            ", ".join("%s %d" % item for item in reduced.items()),
            ", ".join("%s %d" % item for item in DEFAULTS.items()))
    lines = [heading, "",
             "Measured by `%s` on %s (UTC), in %.0f s." % (
                 args.command, datetime.datetime.now(datetime.timezone.utc)
                 .strftime("%Y-%m-%d %H:%M"), elapsed), "",
             "Machine: " + machine(),
             "Load average (1 min) %.2f at the start and %.2f at the end. What else runs on the "
             "machine shows in the tails (p95, max); the medians are the figures to compare."
             % loads, "", "## Goals", "",
             "| goal | measured | met |", "|---|---|---|"]
    lines += ["| %s | %s | %s |" % (goal, measured, "yes" if met else "**no**")
              for goal, measured, met in goals]
    lines += ["", "## Figures", "", "Times in milliseconds; percentiles by nearest rank.", "",
              "| measure | runs | min | median | p95 | max | note |", "|---|---|---|---|---|---|---|"]
    for name, stats, note, form in figures:
        cells = " | ".join(form % stats[key] for key in ("min", "median", "p95", "max"))
        lines.append("| %s | %d | %s | %s |" % (name, stats["n"], cells, note))
    lines += ["", "| file | bytes |", "|---|---|"]
    lines += ["| %s | %s |" % (name, "{:,}".format(size)) for name, size in size_rows]
    lines += ["", "## How these were taken", "",
              "- Scans and touches: `portkick-scan-bench` (bench/) links portkick's own "
              "`enumeratePorts()` and POSIX layer and times %d scans after 20 unmeasured ones, "
              "then %d opens and closes of a free live port for a touch. The live ports are the "
              "simulated board's and three pseudo-terminals. The loads are `sleep` processes, "
              "and Python processes that each hold %s descriptors of /dev/null. A scan looks only "
              "at the claims serial programs make (flock, the terminal's exclusive mode, UUCP lock "
              "files), a few system calls per live port; the touch's open also looks through every "
              "process's descriptors in /proc, once per run." % (
                  args.scans, args.touches, "{:,}".format(DESCRIPTORS)),
              "- Listings: %d whole `portkick --list` runs each, timed from this harness (process "
              "start and exit included)." % args.listings,
              "- Flashes: %d, each on a new simulated board with the real avrdude and "
              "demo/firmware.hex, with three more live ports and %d more processes, the "
              "enumeration delay drawn from 100 to 600 ms (seed %d), after a random pause of up to "
              "60 ms. Detection runs from the board's `boot-appeared` stamp to the moment this "
              "harness reads portkick's line; an `avrdude.exe` first on PATH (bench/) stamps its "
              "start, then runs tools/avrdude.exe." % (args.runs, PROCESSES, args.seed),
              "- Waiting: the board takes the touch but no bootloader appears (%d runs each); "
              "`portkick-rusage` (bench/) forks portkick and reads its CPU time and peak memory "
              "with wait4 (forked from Python, the child's peak would hold the interpreter's)."
              % args.timeouts,
              "- Sizes: `cmake --install --strip` of the Release builds, as the packages strip; "
              "portkick.exe cross-built with MinGW-w64."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="native build, PORTKICK_BENCH=ON")
    parser.add_argument("--build-win", required=True, help="Windows build holding portkick.exe")
    parser.add_argument("--out", help="Markdown file to write")
    parser.add_argument("--runs", type=int, default=DEFAULTS["runs"], help="flashes")
    parser.add_argument("--scans", type=int, default=DEFAULTS["scans"], help="scans a row")
    parser.add_argument("--touches", type=int, default=DEFAULTS["touches"], help="touches a row")
    parser.add_argument("--listings", type=int, default=DEFAULTS["listings"], help="listings a row")
    parser.add_argument("--timeouts", type=int, default=DEFAULTS["timeouts"],
                        help="full timeouts a row")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--command", default="scripts/bench.sh")
    args = parser.parse_args()
    build = use_build(args.build)
    began, average = time.monotonic_ns(), os.getloadavg()[0]

    print("scans and touches ...", file=sys.stderr)
    figures = [(name, stats, note, "%.2f") for name, stats, note in scans(args, build)]
    median = {name: stats["median"] for name, stats, _, _ in figures}
    loaded_scan = median["scan, 4 live ports, %d more processes" % PROCESSES]
    print("listings ...", file=sys.stderr)
    listed = listings(args, build)
    figures += [(name, stats, note, "%.2f") for name, stats, note in listed]
    print("flashes ...", file=sys.stderr)
    runs = flashes(args, build)
    by = lambda key: summary([run[key] for run in runs])
    floor = 25 + loaded_scan
    figures += [
        ("detection: bootloader port appears -> \"New port detected\" read", by("detection"),
         "floor of the median: half a 50 ms wait + one scan = %.2f" % floor, "%.2f"),
        ("portkick's own time in a flash", by("own"), "the two rows below added up", "%.2f"),
        ("  start -> touch done, less the 100 ms hold", by("startup"),
         "process start, snapshot scan, open and look, 1200 baud", "%.2f"),
        ("  bootloader port appears -> avrdude starts", by("handover"),
         "detection + system(): shell, PATH search, exec", "%.2f")]
    print("timeouts ...", file=sys.stderr)
    walls = {}
    for holders in (0, 10):
        cost = waits(args, build, holders)
        cpu = summary([run["cpu"] for run in cost])
        under = " (10 processes x %s descriptors)" % "{:,}".format(DESCRIPTORS) if holders else ""
        walls[holders] = summary([run["wall"] for run in cost])
        figures += [
            ("waiting out the 100-poll timeout%s: wall time" % under, walls[holders],
             "at least 100 x 50 ms + the touch", "%.0f"),
            ("  CPU time (user + system)", cpu, "%.3f ms a poll (median)" % (cpu["median"] / 100),
             "%.1f"),
            ("  peak resident memory (KiB, not ms)", summary([run["rss"] for run in cost]),
             "ru_maxrss", "%d")]
    size_rows = sizes(build, os.path.abspath(args.build_win))

    listing_cost = listed[1][1]["median"] - listed[0][1]["median"]
    detection = by("detection")["median"]
    goals = [
        ("a listing with 4 live ports among %d more processes costs at most 2 ms more than one "
         "with none (medians)" % PROCESSES, "%+.2f ms" % listing_cost, listing_cost <= 2),
        ("detection's median within 5 ms of its floor under that load",
         "%.2f ms over %.2f" % (detection - floor, floor), detection - floor <= 5),
        ("the timeout run with 10 processes x %s descriptors ends within 10 s (slowest run)"
         % "{:,}".format(DESCRIPTORS), "%.2f s" % (walls[10]["max"] / 1000), walls[10]["max"] <= 10000)]
    text = report(args, figures, goals, size_rows, (time.monotonic_ns() - began) / 1e9,
                  (average, os.getloadavg()[0]))
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
