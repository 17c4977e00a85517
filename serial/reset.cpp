#include <cstdio>
#include <cstdlib>

#include "os/os.h"
#include "serial/ports.h"

void resetToBootloader(const std::string& portArgument) {
    const os::PortHandle port = os::openPort(devicePath(portArgument), os::OpenFor::touch);
    if (port == os::kNoPort) {
        std::fprintf(stderr, "Failed to open port %s\n", portArgument.c_str());
        std::fflush(stderr);
        std::exit(1);
    }

    switch (os::setLineSettings(port)) {
        case os::LineResult::readFailed:
            std::fputs("Error getting COM state.\n", stderr);
            std::fflush(stderr);
            os::closePort(port);
            std::exit(1);
        case os::LineResult::applyFailed:
            std::fputs("Error setting COM parameters.\n", stderr);
            std::fflush(stderr);
            os::closePort(port);
            std::exit(1);
        case os::LineResult::applied:
            break;
    }

    // The board resets when the port is closed after being held at 1200 baud.
    os::sleepMs(100);
    os::closePort(port);
    std::printf("[INFO] Triggered 1200bps reset on %s\n", portArgument.c_str());
    std::fflush(stdout);
}
