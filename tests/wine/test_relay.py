"""portkick.exe under Wine flashes the simulated board for real: the
avrdude.exe double relays its command line to the host's avrdude, which
programs the board's bootloader through the same port."""

import os
import random
import time

from winehost import (Board, Relay, WineTestCase, intel_hex, lines, main_or_skip,
                      required_path, windows_path)

COMMAND = "avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P COM6 -U flash:w:./firmware.hex:i"
FLASH_SIZE = 32 * 1024


class RelayTest(WineTestCase):

    def test_flashes_the_board(self):
        firmware = random.Random(32).randbytes(1000)
        with open(os.path.join(self.workdir, "firmware.hex"), "w") as out:
            out.write(intel_hex(firmware))
        relay_dir = os.path.join(self.workdir, "relay")
        os.mkdir(relay_dir)
        env = {
            "WINEPATH": windows_path(os.path.dirname(required_path("PORTKICK_WINE_DOUBLE"))),
            "PORTKICK_DOUBLE_RELAY": windows_path(relay_dir),
        }
        board = Board(self.session, self.workdir, "--name", "COM5", "--boot-name", "COM6",
                      "--enum-delay-ms", "200")
        self.addCleanup(board.stop)
        relay = Relay(self.session, relay_dir)
        try:
            out, err, status, _ = self.portkick("COM5", env=env)
        finally:
            relay.close()

        self.assertEqual(out, lines("[INFO] Triggered 1200bps reset on COM5",
                                    "[INFO] Waiting for bootloader COM port...",
                                    "[INFO] New port detected: COM6",
                                    "[INFO] Running: " + COMMAND,
                                    "[INFO] Flash successful!"))
        self.assertEqual(relay.runs, [(COMMAND.split()[1:], 0)])
        # avrdude's own report, relayed to the console before portkick's
        # last line.
        self.assertIn(b"1000 bytes of flash verified", err)
        self.assertEqual(status, 0)

        # The board leaves its bootloader and comes back as COM5 with the
        # new firmware in flash.
        deadline = time.monotonic() + 10
        while "app-appeared COM5" not in board.events()[1:] and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(board.events(), ["app-appeared COM5", "reset", "boot-appeared COM6",
                                          "flash-saved", "boot-vanished", "app-appeared COM5"])
        with open(board.flash_path, "rb") as flash:
            self.assertEqual(flash.read(), firmware + b"\xff" * (FLASH_SIZE - len(firmware)))
        self.assertRun(self.portkick("--list"), lines("Available COM ports:", "  - COM5"), b"", 0)


if __name__ == "__main__":
    main_or_skip()
