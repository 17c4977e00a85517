#include <cstdio>
#include <cstdlib>

#include "os/os.h"
#include "serial/ports.h"

namespace {
constexpr unsigned kPollIntervalMs = 50;
constexpr int kPollCount = 100;
}  // namespace

PortName waitForBootloaderPort(const PortSet& previous) {
    std::fputs("[INFO] Waiting for bootloader COM port...\n", stdout);
    std::fflush(stdout);
    for (int poll = 0; poll < kPollCount; ++poll) {
        os::sleepMs(kPollIntervalMs);
        for (const PortName& name : enumeratePorts()) {
            if (previous.count(name) == 0) {
                std::printf("[INFO] New port detected: %s\n", name.c_str());
                std::fflush(stdout);
                return name;
            }
        }
    }
    std::fputs("[ERROR] Timeout: No new COM port detected.\n", stderr);
    std::fflush(stderr);
    std::exit(1);
}

void waitForPort(const PortName& name, std::uint64_t withinMs) {
    for (std::uint64_t waited = 0; waited < withinMs; waited += kPollIntervalMs) {
        const os::PortHandle port = os::openPort(devicePath(name), os::OpenFor::probe);
        if (port != os::kNoPort) {
            os::closePort(port);
            return;
        }
        os::sleepMs(kPollIntervalMs);
    }
}
