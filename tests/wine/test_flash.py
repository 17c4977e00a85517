"""portkick.exe under Wine against the simulated board: the 1200-baud reset
through the real SetCommState, the search for the bootloader's port, and the
run of avrdude.exe through the command processor, with the avrdude.exe test
double in the programmer's place."""

import os

from winehost import Board, WineTestCase, lines, main_or_skip, required_path, windows_path

COMMAND = "avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P COM6 -U flash:w:./firmware.hex:i"
ARGUMENTS = COMMAND.split()[1:]
RESET_AND_DETECTION = (
    "[INFO] Triggered 1200bps reset on COM5",
    "[INFO] Waiting for bootloader COM port...",
    "[INFO] New port detected: COM6",
)


class FlashTest(WineTestCase):

    def setUp(self):
        super().setUp()
        double = required_path("PORTKICK_WINE_DOUBLE")
        self.record = os.path.join(self.workdir, "avrdude-runs")
        self.env = {
            "WINEPATH": windows_path(os.path.dirname(double)),
            "PORTKICK_DOUBLE_LOG": windows_path(self.record),
        }

    def flash(self, *board_options, double_status=None, env=None):
        """Runs `portkick COM5` with the board on COM5; returns the result
        and the board's events."""
        board = Board(self.session, self.workdir, "--name", "COM5", "--boot-name", "COM6",
                      "--enum-delay-ms", "200", *board_options)
        try:
            run_env = dict(self.env if env is None else env)
            if double_status is not None:
                run_env["PORTKICK_DOUBLE_STATUS"] = str(double_status)
            result = self.portkick("COM5", env=run_env)
        finally:
            board.stop()
        return result, board.events()

    def double_runs(self):
        """The calls the double recorded: (command line, directory, arguments)."""
        if not os.path.exists(self.record):
            return []
        runs = []
        with open(self.record, encoding="latin-1") as record:
            for line in record:
                key, _, value = line.rstrip("\n").partition(": ")
                if key == "command line":
                    runs.append((value, None, []))
                elif key == "directory":
                    runs[-1] = (runs[-1][0], value, runs[-1][2])
                elif key == "argument":
                    runs[-1][2].append(value)
        return runs

    def test_success(self):
        result, events = self.flash(double_status=0)
        self.assertRun(result,
                       lines(*RESET_AND_DETECTION, "[INFO] Running: " + COMMAND,
                             "avrdude double: exit status 0", "[INFO] Flash successful!"),
                       b"", 0)
        # Run once, in portkick's own directory (firmware.hex is relative).
        self.assertEqual(self.double_runs(),
                         [(COMMAND, windows_path(self.workdir), ARGUMENTS)])
        # The board went down only once it had been set to 1200 baud and
        # closed, and the bootloader's port is what was found.
        self.assertEqual(events[:3], ["app-appeared COM5", "reset", "boot-appeared COM6"])

    def test_avrdude_failure(self):
        for status in (1, -5):
            with self.subTest(status=status):
                result, _ = self.flash(double_status=status)
                self.assertRun(result,
                               lines(*RESET_AND_DETECTION, "[INFO] Running: " + COMMAND,
                                     "avrdude double: exit status %d" % status),
                               lines("[ERROR] avrdude failed with code %d" % status), 1)
                self.assertEqual(len(self.double_runs()), 1)
                os.remove(self.record)

    def test_avrdude_not_found(self):
        (out, err, status, _), _ = self.flash(env={})
        self.assertEqual(out, lines(*RESET_AND_DETECTION, "[INFO] Running: " + COMMAND))
        # The command processor's complaint, then portkick's own line.
        complaint, error = err.split(b"\r\n", 1)
        self.assertIn(b"avrdude.exe -v -p atmega32u4", complaint)
        self.assertEqual(error, lines("[ERROR] avrdude failed with code 9009"))
        self.assertEqual(status, 1)

    def test_timeout_when_no_bootloader_shows(self):
        result, events = self.flash("--no-bootloader", "--boot-timeout-ms", "30000",
                                    double_status=0)
        self.assertRun(result, lines(*RESET_AND_DETECTION[:2]),
                       lines("[ERROR] Timeout: No new COM port detected."), 1)
        self.assertGreaterEqual(result[3], 5.0, "100 polls 50 ms apart")
        self.assertEqual(self.double_runs(), [], "avrdude ran after the timeout")
        self.assertIn("reset", events)


if __name__ == "__main__":
    main_or_skip()
