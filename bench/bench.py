"""Measures portkick against the simulated board and writes the figures as a
Markdown table. Run through scripts/bench.sh, which builds what this needs.

Figures:
  scan       one enumeratePorts() (256 probes) on the POSIX layer, timed in
             process by portkick-scan-bench; and under Wine when the Wine
             harness is there
  detection  from the simulated board's "boot-appeared" stamp to the moment
             portkick's "[INFO] New port detected: " line is read from its
             standard output (both CLOCK_MONOTONIC)
  overhead   portkick's own share of a flash, from its start to avrdude's
             start (stamped by an avrdude.exe stand-in that then runs the real
             one), less the 100 ms hold and the board's enumeration delay
  waiting    CPU time and peak memory of a full 100-poll timeout, from
             wait4 in portkick-rusage
  size       the native binary and portkick.exe
"""
import argparse
import datetime
import os
import platform
import pty
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TOOLS = os.path.join(ROOT, "tools")
sys.path[:0] = [os.path.join(ROOT, "sim"), os.path.join(ROOT, "wine")]
sys.dont_write_bytecode = True  # nothing left behind in the source tree
from simboard import Board  # noqa: E402
FIRMWARE = os.path.join(ROOT, "demo", "firmware.hex")
MS = 1_000_000  # nanoseconds

NEW_PORT = b"[INFO] New port detected: "
TRIGGERED = b"[INFO] Triggered 1200bps reset on "


def percentile(sorted_values, fraction):
    """Nearest rank."""
    rank = max(1, min(len(sorted_values), int(fraction * len(sorted_values) + 0.999999)))
    return sorted_values[rank - 1]


def summary(values):
    values = sorted(values)
    return {"n": len(values), "min": values[0], "median": percentile(values, 0.5),
            "p95": percentile(values, 0.95), "max": values[-1]}


def link_ptys(directory, names):
    """Pseudo-terminals linked into `directory` under `names` (live ports
    for a scan to find); returns their masters, to be closed by the caller."""
    masters = []
    for name in names:
        master, slave = pty.openpty()
        os.symlink(os.ttyname(slave), os.path.join(directory, name))
        os.close(slave)
        masters.append(master)
    return masters


def scan_native(args, scan_bench):
    """One scan in a device directory with four live ports: the simulated
    board's application port and three pseudo-terminals."""
    root = tempfile.mkdtemp(prefix="portkick-bench-scan-")
    board = Board(root)
    masters = []
    try:
        masters = link_ptys(board.dir, ("COM3", "COM12", "COM200"))
        results = {}
        for label, directory in (("4 live ports", board.dir), ("empty", os.path.join(root, "empty"))):
            os.makedirs(directory, exist_ok=True)
            out = subprocess.run([scan_bench, str(args.scans)], check=True, capture_output=True,
                                 env=dict(os.environ, PORTKICK_DEVICE_DIR=directory)).stdout.decode()
            results[label] = parse_scan_bench(out)
        return results
    finally:
        board.stop()
        for master in masters:
            os.close(master)
        shutil.rmtree(root)


def parse_scan_bench(text):
    figures = {}
    for line in text.splitlines():
        for field in line.split():
            key, _, value = field.partition("=")
            figures[key] = value
    return {"n": int(figures["scans"]), "ports": figures["ports"],
            **{k: float(figures[k + "_us"]) / 1000 for k in ("min", "median", "p95", "max")}}


def flash_runs(args, portkick, stamp_dir):
    """Flashes of the simulated board with the real avrdude; each run gives
    one detection latency and one overhead."""
    rng = random.Random(args.seed)
    rows = []
    for run in range(args.runs):
        # The board looks at its ports every 10 ms and its delay counts from
        # such a look: a random pause before portkick starts, besides the
        # random delay, puts the bootloader's arrival at a random point of
        # portkick's 50 ms poll cycle.
        delay_ms = rng.randint(100, 600)
        pause = rng.uniform(0, 0.06)
        root = tempfile.mkdtemp(prefix="portkick-bench-flash-")
        try:
            board = Board(root, "--enum-delay-ms", str(delay_ms))
            try:
                time.sleep(pause)
                rows.append(one_flash(portkick, board, root, stamp_dir, delay_ms))
            finally:
                board.stop()
        finally:
            shutil.rmtree(root)
        print("  flash %d/%d: detection %.2f ms" % (run + 1, args.runs, rows[-1]["detection"]),
              file=sys.stderr)
    return rows


def one_flash(portkick, board, root, stamp_dir, delay_ms):
    work = os.path.join(root, "work")
    os.makedirs(work)
    shutil.copyfile(FIRMWARE, os.path.join(work, "firmware.hex"))
    stamps = os.path.join(root, "avrdude-start")
    env = dict(os.environ, PORTKICK_DEVICE_DIR=board.dir,
               PATH=os.pathsep.join([stamp_dir, TOOLS, os.environ["PATH"]]),
               PORTKICK_BENCH_STAMPS=stamps,
               PORTKICK_BENCH_AVRDUDE=os.path.join(TOOLS, "avrdude.exe"))
    seen = {}
    with open(os.path.join(root, "stderr"), "wb") as err:
        start = time.monotonic_ns()
        process = subprocess.Popen([portkick, "COM5"], cwd=work, env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        with process:
            for line in process.stdout:
                now = time.monotonic_ns()
                for prefix in (TRIGGERED, NEW_PORT):
                    if line.startswith(prefix):
                        seen[prefix] = now
            status = process.wait()
    if status != 0 or len(seen) != 2:
        raise RuntimeError("a flash failed (status %d); see the simulated board" % status)
    with open(stamps) as f:
        avrdude = int(f.read().split()[0])
    boot = board.wait_for("boot-appeared")
    triggered = seen[TRIGGERED]
    return {
        "detection": (seen[NEW_PORT] - boot) / MS,
        # process start, snapshot scan and the touch, less its 100 ms hold
        "startup": (triggered - start) / MS - 100,
        # from the bootloader's port to avrdude's start, stamp to stamp:
        # detection and system() together, whatever the harness's own lag
        "handover": (avrdude - boot) / MS,
        # all of the above: what portkick adds to the board's own time
        "share": (triggered - start) / MS - 100 + (avrdude - boot) / MS,
        # start to avrdude, less the hold and the nominal delay: also holds
        # the board's reaction to the touch (it looks every 10 ms)
        "gross": (avrdude - start) / MS - 100 - delay_ms,
    }


def waiting_runs(args, portkick, rusage):
    """Full timeouts: the board takes the touch but no bootloader ever shows
    up. portkick-rusage forks portkick and reaps it with wait4."""
    rows = []
    for _ in range(args.timeouts):
        root = tempfile.mkdtemp(prefix="portkick-bench-wait-")
        try:
            board = Board(root, "--no-bootloader", "--boot-timeout-ms", "60000")
            try:
                result = subprocess.run([rusage, portkick, "COM5"], capture_output=True,
                                        stdin=subprocess.DEVNULL,
                                        env=dict(os.environ, PORTKICK_DEVICE_DIR=board.dir))
            finally:
                board.stop()
        finally:
            shutil.rmtree(root)
        *errors, cost = result.stderr.decode().splitlines()
        figures = dict(field.split("=") for field in cost.split())
        if figures["status"] != "1" or errors != ["[ERROR] Timeout: No new COM port detected."]:
            raise RuntimeError("the wait did not end in the timeout: " + result.stderr.decode())
        rows.append({"wall": int(figures["wall_us"]) / 1000,
                     "cpu": (int(figures["user_us"]) + int(figures["system_us"])) / 1000,
                     "rss": int(figures["maxrss_kib"])})
    return rows


def wine_figures(args, exe, scan_bench_exe, noop_exe):
    """Scan cost under Wine, in the Wine tests' own set-up (wine/
    winehost.py): a throwaway prefix in a mount namespace that hides the
    host's serial ports, the simulated board's port and three
    pseudo-terminals linked into its dosdevices. Returns table rows, or the
    reason why there are none."""
    harness = os.path.join(ROOT, "wine", "winehost.py")
    if not os.path.exists(harness):
        return "the Wine harness (wine/winehost.py) is not there"
    for path in (exe, scan_bench_exe, noop_exe):
        if not path or not os.path.exists(path):
            return "%s was not built" % (path or "portkick.exe")
    import winehost

    session_file = os.path.join(tempfile.mkdtemp(prefix="portkick-bench-wine-"), "session.json")
    env = dict(os.environ, PORTKICK_EXE=exe, PORTKICK_WINE_SESSION=session_file)
    os.environ.update(PORTKICK_WINE_SESSION=session_file)
    started = subprocess.run([sys.executable, harness, "start"], env=env,
                             capture_output=True, text=True)
    if started.returncode != 0:
        return "the Wine session did not start: " + (started.stdout + started.stderr).strip()[-300:]
    masters = []
    try:
        session = winehost.Session()
        work = tempfile.mkdtemp(dir=session.root, prefix="bench-")
        board = winehost.Board(session, work)
        try:
            masters = link_ptys(session.dosdevices, ("com3", "com12", "com200"))
            out, err, status, _ = session.run(scan_bench_exe, [str(args.wine_scans)], work, timeout=600)
            if status != 0:
                return "portkick-scan-bench.exe failed under Wine: " + err.decode(errors="replace")
            inside = parse_scan_bench(out.decode().replace("\r", ""))
            # Whole runs of portkick.exe --list and of an empty program, in
            # turns.
            listing, empty = [], []
            rng = random.Random(args.seed)
            for _ in range(args.wine_runs):
                # Each run starts at a random point of Wine's step (below).
                time.sleep(rng.uniform(0, 0.064))
                listing.append(session.run(exe, ["--list"], work)[3] * 1000)
                time.sleep(rng.uniform(0, 0.064))
                empty.append(session.run(noop_exe, [], work)[3] * 1000)
            listed = session.run(exe, ["--list"], work)[0].decode().split()
        finally:
            board.stop()
            for name in ("com3", "com12", "com200"):
                os.remove(os.path.join(session.dosdevices, name))
    finally:
        for master in masters:
            os.close(master)
        subprocess.run([sys.executable, harness, "stop"], env=env, capture_output=True)
        shutil.rmtree(os.path.dirname(session_file))
    ports = ",".join(word for word in listed if word.startswith("COM") and word[3:].isdigit())
    # A whole Wine run takes a whole step of about 32 ms here, which mostly
    # swallows a few milliseconds of scan: the difference is given as the
    # medians' and the means' (with its standard error), not run by run.
    mean = lambda values: sum(values) / len(values)
    variance = lambda values: sum((v - mean(values)) ** 2 for v in values) / (len(values) - 1)
    difference = {"n": len(listing), "mean": mean(listing) - mean(empty),
                  "median": summary(listing)["median"] - summary(empty)["median"],
                  "error": ((variance(listing) + variance(empty)) / len(listing)) ** 0.5}
    return [
        ("scan, Wine 8.0, in process, 4 live ports (%s)" % inside["ports"], inside,
         "portkick-scan-bench.exe, 256 CreateFileA probes"),
        ("`portkick.exe --list` under Wine, whole run (%s)" % ports, summary(listing),
         "wine start-up included"),
        ("an empty program under Wine, whole run", summary(empty), "Wine's start-up and exit"),
        ("`portkick.exe --list` less Wine's start-up", difference, ""),
    ]


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    avrdude = "unknown"
    try:
        text = subprocess.run(["avrdude", "-?"], capture_output=True, text=True).stderr
        avrdude = next((l.split("version", 1)[1].split(",")[0].strip()
                        for l in text.splitlines() if "version" in l), avrdude)
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "python": platform.python_version(), "avrdude": avrdude}


def ms(value):
    return "%.2f" % value


def row(name, stats, bound="", unit_ms=True):
    cells = [stats[k] for k in ("min", "median", "p95", "max")]
    text = [ms(c) if unit_ms else str(c) for c in cells]
    return "| %s | %d | %s | %s |" % (name, stats["n"], " | ".join(text), bound)


def report(args, info, scans, wine, flashes, waits, sizes, loads, elapsed):
    lines = ["# Benchmarks", "",
             "Measured by `%s` on %s (UTC), in %.0f s." % (args.command, args.date, elapsed), "",
             "Machine: %s cores (`nproc`), %s, Linux %s; avrdude %s, Python %s." % (
                 info["nproc"], info["cpu"], info["kernel"], info["avrdude"], info["python"]),
             "Load average (1 min) %.2f at the start and %.2f at the end. The machine has two "
             "cores, and whatever else runs on it shows in the tails (p95, max): a figure can "
             "be late by a scheduling slice. The medians are the figures to compare." % loads, "",
             "## Figures", "",
             "Times in milliseconds; percentiles by nearest rank.", "",
             "| measure | runs | min | median | p95 | max | bound or note |",
             "|---|---|---|---|---|---|---|"]
    live = scans["4 live ports"]
    lines.append(row("scan, POSIX layer, %s (%s)" % ("4 live ports", live["ports"]), live,
                     "256 probes"))
    lines.append(row("scan, POSIX layer, empty device directory", scans["empty"], "256 probes"))
    if isinstance(wine, list):
        for name, stats, note in wine:
            if "mean" in stats:
                lines.append("| %s | %d | | %.2f | | | difference of the medians; of the means "
                             "%.1f ± %.1f. A whole Wine run lasts a step of about 32 ms that "
                             "mostly swallows the scan: the in-process row is its real cost |"
                             % (name, stats["n"], stats["median"], stats["mean"], stats["error"]))
            else:
                lines.append(row(name, stats, note))
    else:
        lines.append("| scan, under Wine | - | not measured | | | | %s |" % wine)
    bound = 50 + live["median"]
    detection = summary([f["detection"] for f in flashes])
    lines.append(row("detection latency: bootloader port appears -> \"New port detected\" read",
                     detection, "bound: one 50 ms wait + one scan = %.2f" % bound))
    lines.append(row("overhead: start -> avrdude start, less 100 ms hold and enumeration delay",
                     summary([f["gross"] for f in flashes]),
                     "includes the board's own reaction to the touch (it looks every 10 ms)"))
    lines.append(row("  of which portkick's own share", summary([f["share"] for f in flashes]),
                     "the two rows below added up"))
    lines.append(row("    start -> touch done, less the 100 ms hold",
                     summary([f["startup"] for f in flashes]), "process start, snapshot scan, open and 1200 baud"))
    lines.append(row("    bootloader port appears -> avrdude starts",
                     summary([f["handover"] for f in flashes]), "detection + system() (shell, PATH search, exec); board and avrdude stamps"))
    lines.append(row("waiting out the 100-poll timeout: wall time", summary([w["wall"] for w in waits]),
                     "at least 100 x 50 ms + the touch"))
    lines.append(row("  CPU time (user + system)", summary([w["cpu"] for w in waits]),
                     "%.3f ms a poll (median)" % (summary([w["cpu"] for w in waits])["median"] / 100)))
    rss = summary([w["rss"] for w in waits])
    lines.append("| %s | %d | %d | %d | %d | %d | %s |" % (
        "  peak resident memory (KiB)", rss["n"], rss["min"], rss["median"], rss["p95"], rss["max"],
        "ru_maxrss"))
    share = summary([f["share"] for f in flashes])
    cpu = summary([w["cpu"] for w in waits])
    wall = summary([w["wall"] for w in waits])
    late = sum(1 for f in flashes if f["detection"] > bound)
    lines += ["", "Reading them: the bootloader's port is reported a median %.1f ms after it "
              "appears; %d of %d runs took longer than one 50 ms wait and one scan (%.2f ms), "
              "a figure that also holds the time the harness takes to read the line. Of a "
              "flash, portkick itself takes a median %.1f ms beyond the 100 ms hold and the "
              "board's own delay, most of it the wait for the next poll. Waiting out the whole "
              "timeout costs %.0f ms of CPU in %.2f s, %.1f%% of one core."
              % (detection["median"], late, len(flashes), bound, share["median"], cpu["median"],
                 wall["median"] / 1000, 100 * cpu["median"] / wall["median"])]
    lines += ["", "## Sizes", "", "| file | bytes |", "|---|---|"]
    for name, size in sizes:
        lines.append("| %s | %s |" % (name, "{:,}".format(size) if size is not None else "not built"))
    lines += ["", "## How these were taken", "",
              "- Scan: `portkick-scan-bench` (bench/) links the same `enumeratePorts()` and OS "
              "layer as portkick and times %d scans after 20 unmeasured ones, in a device "
              "directory holding the simulated board's application port and three "
              "pseudo-terminals, then in an empty one." % args.scans,
              "- Detection and overhead: %d flashes of a new simulated board each, with the real "
              "avrdude and demo/firmware.hex; the board's enumeration delay is drawn between 100 "
              "and 600 ms (seed %d) so that the bootloader turns up at any point of the 50 ms "
              "poll cycle (a random pause of up to 60 ms before each start does the same for "
              "the board's 10 ms look at its ports). The board stamps `boot-appeared` right "
              "after its port's link exists; the harness stamps each line of portkick's "
              "standard output as it reads it; an `avrdude.exe` first on PATH stamps its own "
              "start and then runs tools/avrdude.exe. All stamps are CLOCK_MONOTONIC." % (args.runs, args.seed),
              "- Under Wine: the Wine harness (wine/winehost.py) makes a throwaway "
              "prefix in a mount namespace that hides the host's serial ports; the simulated "
              "board's port and three pseudo-terminals are linked into its dosdevices. "
              "`portkick-scan-bench.exe`, cross-built like portkick.exe, times %d scans in "
              "process; then `portkick.exe --list` and an empty program built the same way "
              "(`portkick-noop.exe`) run %d times each, in turns, each after a random pause."
              % (args.wine_scans, args.wine_runs),
              "- Waiting: %d runs in which the board takes the touch but no bootloader shows up; "
              "`portkick-rusage` (bench/) forks portkick and reaps it with wait4. (Forked straight "
              "from Python, a child's peak memory would count the interpreter's pages.)"
              % args.timeouts,
              "- Sizes: as built by the release build; the native binary and portkick.exe "
              "also stripped."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="native build tree, configured with PORTKICK_BENCH=ON")
    parser.add_argument("--build-win", help="Windows build tree, configured with PORTKICK_BENCH=ON")
    parser.add_argument("--out", help="Markdown file to write")
    parser.add_argument("--runs", type=int, default=60, help="flashes for detection and overhead")
    parser.add_argument("--scans", type=int, default=2000)
    parser.add_argument("--timeouts", type=int, default=5, help="full 100-poll timeouts")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--wine-scans", type=int, default=500, help="scans timed inside Wine")
    parser.add_argument("--wine-runs", type=int, default=200,
                        help="runs each of portkick.exe --list and of an empty program")
    parser.add_argument("--command", default="scripts/bench.sh")
    args = parser.parse_args()
    args.date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")

    build = os.path.abspath(args.build)
    portkick = os.path.join(build, "portkick")
    os.environ["PORTKICK_BOARD"] = os.path.join(build, "sim", "portkick-board")
    scan_bench = os.path.join(build, "bench", "portkick-scan-bench")
    stamp_dir = os.path.join(build, "bench", "stamp")
    began = time.monotonic()
    load_start = os.getloadavg()[0]

    print("scan ...", file=sys.stderr)
    scans = scan_native(args, scan_bench)
    print("scan under Wine ...", file=sys.stderr)
    win = os.path.abspath(args.build_win) if args.build_win else None
    wine = wine_figures(args, win and os.path.join(win, "portkick.exe"),
                        win and os.path.join(win, "bench", "portkick-scan-bench.exe"),
                        win and os.path.join(win, "bench", "portkick-noop.exe"))
    print("flashes ...", file=sys.stderr)
    flashes = flash_runs(args, portkick, stamp_dir)
    print("timeouts ...", file=sys.stderr)
    waits = waiting_runs(args, portkick, os.path.join(build, "bench", "portkick-rusage"))

    size_dir = tempfile.mkdtemp(prefix="portkick-bench-size-")
    stripped = os.path.join(size_dir, "portkick")
    subprocess.run(["strip", "-o", stripped, portkick], check=True)
    # The exe as released: stripped, as the install step strips it.
    exe = win and os.path.join(win, "portkick.exe")
    stripped_exe = None
    if exe and os.path.exists(exe):
        stripped_exe = os.path.join(size_dir, "portkick.exe")
        subprocess.run(["x86_64-w64-mingw32-strip", "-o", stripped_exe, exe], check=True)
    sizes = [("portkick (native, x86-64 Linux, as built)", os.path.getsize(portkick)),
             ("portkick (native, stripped)", os.path.getsize(stripped)),
             ("portkick.exe (MinGW-w64, static, stripped)",
              os.path.getsize(stripped_exe) if stripped_exe else None)]
    shutil.rmtree(size_dir)

    text = report(args, machine(), scans, wine, flashes, waits, sizes,
                  (load_start, os.getloadavg()[0]), time.monotonic() - began)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
