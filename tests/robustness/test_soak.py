"""Flash after flash through portkick and the real avrdude on the simulated
board: every run succeeds and leaves the new firmware in the board's flash,
byte for byte. Each firmware is random (whole pages at a random place), so a
flash that did not happen cannot pass for one that did. The seed is printed;
PORTKICK_SOAK_SEED repeats a run."""
import concurrent.futures
import os
import random
import shutil
import sys
import tempfile
import time
import unittest

import simboard
from simboard import Board

SEED = int(os.environ.get("PORTKICK_SOAK_SEED", time.time_ns() % 1_000_000))


def setUpModule():
    simboard.require_avrdude()
    print("soak seed: %d (set PORTKICK_SOAK_SEED to repeat)" % SEED, file=sys.stderr)


class Soak(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="portkick-soak-")
        self.addCleanup(shutil.rmtree, self.root)

    def flash(self, board, work, rng, before, nth, label):
        """Flashes random firmware; returns the board's new image."""
        pages = rng.randint(1, 32)
        start = rng.randrange(0, simboard.APPLICATION_SIZE // simboard.PAGE - pages) * simboard.PAGE
        data = rng.randbytes(pages * simboard.PAGE)
        with open(os.path.join(work, "firmware.hex"), "w") as f:
            f.write(simboard.hex_text({start: data}))
        result = simboard.run_portkick(work, board.dir)
        context = "%s, seed %d\n%s%s" % (label, SEED, result.stdout, result.stderr)
        self.assertEqual(result.returncode, 0, context)
        self.assertEqual(result.stdout.splitlines(), simboard.success_lines(), context)
        board.wait_for("boot-vanished", nth)
        expected = before[:start] + data + before[start + len(data):]
        self.assertEqual(board.flash(), expected, context)
        return expected

    def test_100_flashes_in_a_row_on_one_board(self):
        rng = random.Random(SEED)
        work = os.path.join(self.root, "work")
        os.makedirs(work)
        board = Board(self.root, "--enum-delay-ms", "100")
        self.addCleanup(board.stop)
        image = simboard.BLANK
        for run in range(1, 101):
            image = self.flash(board, work, rng, image, run, "flash %d of 100" % run)
            board.wait_for("app-appeared", run + 1)

    def test_50_flashes_with_random_enumeration_delays(self):
        rng = random.Random(SEED + 1)
        delays = [0, 4500] + [rng.randint(0, 4500) for _ in range(48)]

        def one(run):
            root = os.path.join(self.root, str(run))
            work = os.path.join(root, "work")
            os.makedirs(work)
            board = Board(root, "--enum-delay-ms", str(delays[run]))
            try:
                self.flash(board, work, random.Random(SEED + run), simboard.BLANK, 1,
                           "enumeration delay %d ms" % delays[run])
            finally:
                board.stop()

        # Most of a run is the board's delay: two boards at a time.
        with concurrent.futures.ThreadPoolExecutor(2) as lanes:
            for run in [lanes.submit(one, run) for run in range(len(delays))]:
                run.result()


if __name__ == "__main__":
    unittest.main()
