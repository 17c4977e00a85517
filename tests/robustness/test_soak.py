"""Flash after flash through portkick and the real avrdude on the simulated
board: every run must end in success, and every time the board's flash must
hold the new firmware.hex byte for byte while keeping what the file does not
cover.

The firmware is random for each run (random place, size and bytes; the
sample firmware on a new board), so a flash that did not happen cannot pass
for one that did. The seed is printed; PORTKICK_SOAK_SEED repeats a run."""
import concurrent.futures
import os
import random
import shutil
import sys
import tempfile
import time
import unittest

import simboard
from simboard import Board, run_portkick

SEED = int(os.environ.get("PORTKICK_SOAK_SEED", time.time_ns() % 1_000_000))


def setUpModule():
    simboard.require_avrdude()
    print("soak seed: %d (set PORTKICK_SOAK_SEED to repeat)" % SEED, file=sys.stderr)


def random_firmware(rng):
    """{address: bytes} of one section somewhere in the application area."""
    size = rng.choice([rng.randint(1, 512), rng.randint(1, 4096), rng.randint(1, 12 * 1024)])
    start = rng.randint(0, simboard.APPLICATION_SIZE - size)
    return {start: bytes(rng.getrandbits(8) for _ in range(size))}


def write_firmware(work, sections):
    """Writes work/firmware.hex (the sample when `sections` is None) and
    returns its bytes as {address: byte}, read back from the file."""
    path = os.path.join(work, "firmware.hex")
    if sections is None:
        shutil.copyfile(simboard.FIRMWARE, path)
    else:
        with open(path, "w") as f:
            f.write(simboard.hex_text(sections))
    return simboard.hex_bytes(path)


class Soak(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="portkick-soak-")
        self.addCleanup(shutil.rmtree, self.root)

    def flash_once(self, board, work, label, sections, before, flashes_so_far):
        """One run of portkick; checks its outcome and the board's new image,
        and returns that image."""
        written = write_firmware(work, sections)
        result = run_portkick(work, board.dir)
        context = "%s (seed %d)\nstdout:\n%s\nstderr:\n%s\nboard:\n%s" % (
            label, SEED, result.stdout.decode(errors="replace"),
            result.stderr.decode(errors="replace"), board.board_errors())
        self.assertEqual(result.returncode, 0, context)
        self.assertEqual(result.stdout.splitlines(), simboard.success_lines("COM5", "COM6"), context)
        self.assertNotIn(b"[ERROR]", result.stderr, context)
        # The board writes its image out, when it changed, once avrdude has
        # let go of the port and before the port vanishes.
        board.wait_for("boot-vanished", flashes_so_far + 1)
        image = board.flash()
        problems = simboard.image_problems(image, before, written)
        self.assertEqual(problems[:10], [], "%d bytes wrong after %s" % (len(problems), context))
        return image

    def test_100_flashes_in_a_row_on_one_board(self):
        rng = random.Random(SEED)
        work = os.path.join(self.root, "work")
        os.makedirs(work)
        board = Board(self.root, "--enum-delay-ms", "100")
        self.addCleanup(board.stop)
        image = bytes([0xFF]) * simboard.FLASH_SIZE
        for run in range(100):
            # The sample first; after it, random firmware, which always
            # changes the image.
            sections = None if run == 0 else random_firmware(rng)
            image = self.flash_once(board, work, "flash %d of 100" % (run + 1), sections, image, run)
            # Back in its application before the next run.
            board.wait_for("app-appeared", run + 2)

    def test_50_flashes_with_random_enumeration_delays(self):
        rng = random.Random(SEED + 1)
        # The ends of the range, then random ones: 4.5 s still falls inside
        # the 100 polls of 50 ms that portkick waits.
        delays = [0, 4500] + [rng.randint(0, 4500) for _ in range(48)]
        firmwares = [None] + [random_firmware(rng) for _ in delays[1:]]

        def one(run):
            root = os.path.join(self.root, "run%d" % run)
            work = os.path.join(root, "work")
            os.makedirs(work)
            board = Board(root, "--enum-delay-ms", str(delays[run]))
            try:
                self.flash_once(board, work,
                                "flash %d of 50, enumeration delay %d ms" % (run + 1, delays[run]),
                                firmwares[run], bytes([0xFF]) * simboard.FLASH_SIZE, 0)
            finally:
                board.stop()

        # Most of a run is the board's delay; two boards at a time halve the
        # time. Each has its own device directory.
        lanes = concurrent.futures.ThreadPoolExecutor(2)
        try:
            for run in [lanes.submit(one, run) for run in range(len(delays))]:
                run.result()
        finally:
            lanes.shutdown(cancel_futures=True)


if __name__ == "__main__":
    unittest.main()
