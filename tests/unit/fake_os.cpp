#include "tests/unit/fake_os.h"

#include <algorithm>
#include <cstdio>

namespace {

int scansStarted = 0;
os::PortHandle nextHandle = 100;

const PortSet& portsNow() {
    const std::size_t index = std::max(scansStarted - 1, 0);
    return fake::scans[std::min(index, fake::scans.size() - 1)];
}

}  // namespace

namespace os {

PortHandle openPort(const std::string& devicePath) {
    if (devicePath == "\\\\.\\COM1") {
        ++scansStarted;
    }
    const std::string prefix = "\\\\.\\";
    const bool opens = devicePath.rfind(prefix, 0) == 0 &&
                       portsNow().count(devicePath.substr(prefix.size())) != 0;
    const PortHandle handle = opens ? nextHandle++ : kNoPort;
    std::printf("~ open %s %lld\n", devicePath.c_str(), static_cast<long long>(handle));
    return handle;
}

void closePort(PortHandle port) {
    std::printf("~ close %lld\n", static_cast<long long>(port));
}

LineResult setLineSettings(PortHandle port, unsigned baud) {
    std::printf("~ settings %lld %u\n", static_cast<long long>(port), baud);
    return fake::lineResult;
}

void sleepMs(unsigned milliseconds) {
    std::printf("~ sleep %u\n", milliseconds);
}

int runCommand(const std::string& commandLine) {
    // Flushed, as the command's own output would follow it.
    std::printf("~ system %s\n", commandLine.c_str());
    std::fflush(stdout);
    return fake::commandStatus;
}

}  // namespace os
