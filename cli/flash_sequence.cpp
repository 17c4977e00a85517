#include "cli/flash_sequence.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "os/os.h"
#include "programmer/flash.h"
#include "serial/ports.h"

namespace {

// How long after the run before has ended its board's own port may still
// come back: a board is back on its own port a second or two after a flash.
constexpr std::uint64_t kPortBackMs = 3000;

// Runs take turns, so that no run takes another's bootloader for its own.
// The port that the run before touched is its board's own, which comes back
// after its flash: when that run has just ended, it is waited for (a few
// seconds at most), so that the snapshot holds it and it is never taken for
// this run's bootloader. A run alone waits for nothing.
void waitForTurn() {
    const bool waited = !os::takeTurn(false);
    if (waited) {
        std::fputs("[INFO] Waiting for another portkick run to finish...\n", stdout);
        std::fflush(stdout);
        os::takeTurn(true);
    }
    // Any user's run may have left the note, or anybody written it: only a
    // port that the scan opens is waited for, never whatever it names.
    std::uint64_t age = 0;
    const PortName touched = portNamed(os::turnNote(age));
    os::leaveTurnNote("");
    const std::uint64_t since = waited ? 0 : age;
    if (!touched.empty() && since < kPortBackMs) {
        waitForPort(touched, kPortBackMs - since);
    }
}

}  // namespace

void runFlashSequence(const std::string& portArgument) {
    waitForTurn();
    const PortSet snapshot = enumeratePorts();
    resetToBootloader(portArgument);
    os::leaveTurnNote(portArgument);
    const PortName bootloaderPort = waitForBootloaderPort(snapshot);
    const bool flashed = flashFirmware(bootloaderPort);
    // Stamped anew, flashed or not: the board's own port comes back from now
    // on, and the next run must not take it for its bootloader.
    os::leaveTurnNote(portArgument);
    if (!flashed) {
        std::exit(1);
    }
}
