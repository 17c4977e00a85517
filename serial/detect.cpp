#include <cstdlib>
#include <iostream>

#include "os/os.h"
#include "serial/ports.h"

namespace {
constexpr unsigned kPollIntervalMs = 50;
constexpr int kPollCount = 100;
}  // namespace

PortName waitForBootloaderPort(const PortSet& previous) {
    std::cout << "[INFO] Waiting for bootloader COM port..." << std::endl;
    for (int poll = 0; poll < kPollCount; ++poll) {
        os::sleepMs(kPollIntervalMs);
        for (const PortName& name : enumeratePorts()) {
            if (previous.count(name) == 0) {
                std::cout << "[INFO] New port detected: " << name << std::endl;
                return name;
            }
        }
    }
    std::cerr << "[ERROR] Timeout: No new COM port detected." << std::endl;
    std::exit(1);
}
