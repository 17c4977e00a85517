"""The soak: flash after flash through portkick and the real avrdude on the
simulated board, each of random firmware checked byte for byte against the
board's flash. Prints its figures, writes them into docs/soak.md (which
says what they are), and exits with status 1 if any flash failed. Run
through scripts/soak.sh, which builds what this needs. PORTKICK_SOAK_SEED
sets the seed."""
import concurrent.futures
import os
import random
import subprocess
import sys
import tempfile
import time

import simboard
from harness import arguments, heading, new_board, parse, summary, timed, use_build, write_figures
from simboard import Board

FULL = 150  # 100 in a row and 50 with random delays
MAX_DELAY_MS = 4500


def flash(board, work, rng, before, nth):
    """Flashes random firmware (whole pages at a random place), the board's
    `nth` flash; returns the time portkick took (s) and the board's new
    image. Raises AssertionError with what went wrong."""
    pages = rng.randint(1, 32)
    start = rng.randrange(0, simboard.APPLICATION_SIZE // simboard.PAGE - pages) * simboard.PAGE
    data = rng.randbytes(pages * simboard.PAGE)
    with open(os.path.join(work, "firmware.hex"), "w") as f:
        f.write(simboard.hex_text({start: data}))
    try:
        result, milliseconds = timed(simboard.run_portkick, work, board.dir)
    except subprocess.TimeoutExpired:
        raise AssertionError("portkick did not end within 120 s")
    if result.returncode != 0 or result.stdout.splitlines() != simboard.success_lines():
        raise AssertionError("status %d\n%s%s" % (result.returncode, result.stdout, result.stderr))
    board.wait_for("boot-vanished", nth)
    expected = before[:start] + data + before[start + len(data):]
    if board.flash() != expected:
        raise AssertionError("the board's flash does not hold the firmware (%d pages at 0x%04X)"
                             % (pages, start))
    return milliseconds / 1000, expected


def in_a_row(runs, seed, times, failures):
    """`runs` flashes on one board; a board that fails one is replaced."""
    rng = random.Random(seed)
    with tempfile.TemporaryDirectory(prefix="portkick-soak-") as root:
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


def random_delays(runs, seed, times, failures):
    """`runs` flashes, each on a new board with a random enumeration delay
    (the first two 0 and MAX_DELAY_MS)."""
    rng = random.Random(seed + 1)
    delays = ([0, MAX_DELAY_MS] + [rng.randint(0, MAX_DELAY_MS) for _ in range(runs)])[:runs]

    def one(run):
        try:
            with new_board("--enum-delay-ms", str(delays[run])) as (board, root):
                work = os.path.join(root, "work")
                os.makedirs(work)
                times.append(flash(board, work, random.Random(seed + 2 + run), simboard.BLANK, 1)[0])
        except (AssertionError, RuntimeError, OSError) as problem:
            failures.append("enumeration delay %d ms: %s" % (delays[run], problem))

    # Most of a run is the board's delay: two boards at a time.
    with concurrent.futures.ThreadPoolExecutor(2) as lanes:
        list(lanes.map(one, range(runs)))


def main():
    parser = arguments(__doc__.splitlines()[0], "scripts/soak.sh")
    parser.add_argument("--runs", type=int, default=FULL, help="flashes in all")
    args = parse(parser)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    use_build(args.build)
    seed = int(os.environ.get("PORTKICK_SOAK_SEED") or time.time_ns() % 1_000_000)
    print("soak seed: %d (set PORTKICK_SOAK_SEED to repeat)" % seed, file=sys.stderr)

    row_runs = round(args.runs * 100 / FULL)
    parts = [("in a row on one board (enumeration delay 100 ms)", in_a_row, row_runs),
             ("a new board each, enumeration delay 0 to %d ms, two at a time" % MAX_DELAY_MS,
              random_delays, args.runs - row_runs)]
    began = time.monotonic_ns()
    rows, failures, all_times = [], [], []
    for name, part, runs in parts:
        if runs == 0:
            continue
        print("%s: %d flashes ..." % (name, runs), file=sys.stderr)
        times, failed = [], []
        _, milliseconds = timed(part, runs, seed, times, failed)
        rows.append((name, runs, failed, milliseconds / 1000, times))
        failures += failed
        all_times += times
    seconds = (time.monotonic_ns() - began) / 1e9
    rows.append(("all", args.runs, failures, seconds, all_times))

    lines = heading(args.command, {"runs": args.runs}, {"runs": FULL}, seconds) + [
        "", "| part | runs | failures | seed | wall time (s) | flash time (s): min | median | p95 "
        "| max |", "|---|---|---|---|---|---|---|---|---|"]
    for name, runs, failed, wall, times in rows:
        stats = " | ".join("%.2f" % summary(times)[key] for key in ("min", "median", "p95", "max")) \
            if times else "- | - | - | -"
        lines.append("| %s | %d | %d | %d | %.0f | %s |" % (name, runs, len(failed), seed, wall, stats))
    if failures:
        lines += ["", "Failures:", ""] + ["- " + text.replace("\n", " / ")[:500] for text in failures]
    print("\n".join(lines))
    if args.out:
        write_figures(args.out, lines)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
