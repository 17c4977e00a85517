#include <cstdlib>
#include <iostream>

#include "os/os.h"
#include "serial/ports.h"

void resetToBootloader(const std::string& portArgument) {
    const os::PortHandle port = os::openPort(devicePath(portArgument));
    if (port == os::kNoPort) {
        std::cerr << "Failed to open port " << portArgument << std::endl;
        std::exit(1);
    }

    switch (os::setLineSettings(port, 1200)) {
        case os::LineResult::readFailed:
            std::cerr << "Error getting COM state." << std::endl;
            os::closePort(port);
            std::exit(1);
        case os::LineResult::applyFailed:
            std::cerr << "Error setting COM parameters." << std::endl;
            os::closePort(port);
            std::exit(1);
        case os::LineResult::applied:
            break;
    }

    // The board resets when the port is closed after being held at 1200 baud.
    os::sleepMs(100);
    os::closePort(port);
    std::cout << "[INFO] Triggered 1200bps reset on " << portArgument << std::endl;
}
