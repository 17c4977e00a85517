"""The soak: flash after flash through portkick and the real avrdude on the
simulated board, each of random firmware (whole pages at a random place)
checked byte for byte against the board's flash, so that a flash that did
not happen cannot pass for one that did. Two thirds of the runs go in a row
on one board; the rest each on a new board with a random enumeration delay
(0 to 4500 ms), two boards at a time. Prints a table, writes it as Markdown,
and exits with status 1 if any flash failed. Run through scripts/soak.sh,
which builds what this needs. PORTKICK_SOAK_SEED sets the seed."""
import argparse
import concurrent.futures
import datetime
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import simboard
from bench import machine, summary, use_build
from simboard import Board

FULL = 150  # 100 in a row and 50 with random delays
MAX_DELAY_MS = 4500


def flash(board, work, rng, before, nth):
    """Flashes random firmware, the board's `nth` flash; returns the time
    portkick took (s) and the board's new image. Raises AssertionError with
    what went wrong."""
    pages = rng.randint(1, 32)
    start = rng.randrange(0, simboard.APPLICATION_SIZE // simboard.PAGE - pages) * simboard.PAGE
    data = rng.randbytes(pages * simboard.PAGE)
    with open(os.path.join(work, "firmware.hex"), "w") as f:
        f.write(simboard.hex_text({start: data}))
    began = time.monotonic_ns()
    try:
        result = simboard.run_portkick(work, board.dir)
    except subprocess.TimeoutExpired:
        raise AssertionError("portkick did not end within 120 s")
    seconds = (time.monotonic_ns() - began) / 1e9
    if result.returncode != 0 or result.stdout.splitlines() != simboard.success_lines():
        raise AssertionError("status %d\n%s%s" % (result.returncode, result.stdout, result.stderr))
    board.wait_for("boot-vanished", nth)
    expected = before[:start] + data + before[start + len(data):]
    if board.flash() != expected:
        raise AssertionError("the board's flash does not hold the firmware (%d pages at 0x%04X)"
                             % (pages, start))
    return seconds, expected


def in_a_row(runs, seed, root, times, failures):
    """`runs` flashes on one board; a board that fails one is replaced."""
    rng = random.Random(seed)
    work = os.path.join(root, "work")
    os.makedirs(work)
    board = None
    try:
        for run in range(1, runs + 1):
            try:
                if board is None:
                    board = Board(os.path.join(root, "board-%d" % run), "--enum-delay-ms", "100")
                    image, nth = simboard.BLANK, 0
                nth += 1
                seconds, image = flash(board, work, rng, image, nth)
                board.wait_for("app-appeared", nth + 1)
                times.append(seconds)
            except (AssertionError, RuntimeError, OSError) as problem:
                failures.append("in a row, flash %d: %s" % (run, problem))
                if board is not None:
                    board.stop(check=False)
                board = None
    finally:
        if board is not None:
            board.stop()


def random_delays(runs, seed, root, times, failures):
    rng = random.Random(seed + 1)
    delays = ([0, MAX_DELAY_MS] + [rng.randint(0, MAX_DELAY_MS) for _ in range(runs)])[:runs]

    def one(run):
        board_root = os.path.join(root, str(run))
        work = os.path.join(board_root, "work")
        os.makedirs(work)
        try:
            board = Board(board_root, "--enum-delay-ms", str(delays[run]))
            try:
                times.append(flash(board, work, random.Random(seed + 2 + run), simboard.BLANK, 1)[0])
            finally:
                board.stop()
        except (AssertionError, RuntimeError, OSError) as problem:
            failures.append("enumeration delay %d ms: %s" % (delays[run], problem))

    # Most of a run is the board's delay: two boards at a time.
    with concurrent.futures.ThreadPoolExecutor(2) as lanes:
        list(lanes.map(one, range(runs)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build holding portkick and the board")
    parser.add_argument("--out", help="Markdown file to write")
    parser.add_argument("--runs", type=int, default=FULL, help="flashes in all")
    parser.add_argument("--command", default="scripts/soak.sh")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    use_build(args.build)
    seed = int(os.environ.get("PORTKICK_SOAK_SEED") or time.time_ns() % 1_000_000)
    print("soak seed: %d (set PORTKICK_SOAK_SEED to repeat)" % seed, file=sys.stderr)

    row_runs = round(args.runs * 100 / FULL)
    parts = [("in a row on one board (enumeration delay 100 ms)", in_a_row, row_runs),
             ("a new board each, enumeration delay 0 to %d ms, two at a time" % MAX_DELAY_MS,
              random_delays, args.runs - row_runs)]
    root = tempfile.mkdtemp(prefix="portkick-soak-")
    began = time.monotonic_ns()
    rows, failures, all_times = [], [], []
    try:
        for number, (name, part, runs) in enumerate(parts):
            if runs == 0:
                continue
            print("%s: %d flashes ..." % (name, runs), file=sys.stderr)
            start, times, failed = time.monotonic_ns(), [], []
            part(runs, seed, os.path.join(root, str(number)), times, failed)
            rows.append((name, runs, failed, (time.monotonic_ns() - start) / 1e9, times))
            failures += failed
            all_times += times
    finally:
        shutil.rmtree(root)
    rows.append(("all", args.runs, failures, (time.monotonic_ns() - began) / 1e9, all_times))

    heading = "# Soak"
    if args.runs != FULL:
        heading += " (reduced run: %d flashes, %d in a row and %d with random delays; the " \
            "full soak is %d)" % (args.runs, row_runs, args.runs - row_runs, FULL)
    lines = [heading, "",
             "Measured by `%s` on %s (UTC). Machine: %s" % (
                 args.command, datetime.datetime.now(datetime.timezone.utc)
                 .strftime("%Y-%m-%d %H:%M"), machine()), "",
             "Each flash: random firmware through portkick and the real avrdude, checked byte "
             "for byte against the simulated board's flash. Flash time: portkick's whole run, "
             "the board's enumeration delay included; percentiles by nearest rank.", "",
             "| part | runs | failures | seed | wall time (s) | flash time (s): min | median | p95 "
             "| max |", "|---|---|---|---|---|---|---|---|---|"]
    for name, runs, failed, wall, times in rows:
        stats = " | ".join("%.2f" % summary(times)[key] for key in ("min", "median", "p95", "max")) \
            if times else "- | - | - | -"
        lines.append("| %s | %d | %d | %d | %.0f | %s |" % (name, runs, len(failed), seed, wall, stats))
    if failures:
        lines += ["", "Failures:", ""] + ["- " + text.replace("\n", " / ")[:500] for text in failures]
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
