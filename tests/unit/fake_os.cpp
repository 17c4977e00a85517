#include "tests/unit/fake_os.h"

#include <algorithm>
#include <iostream>

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
    std::cout << "~ open " << devicePath << ' ' << handle << '\n';
    return handle;
}

void closePort(PortHandle port) {
    std::cout << "~ close " << port << '\n';
}

LineResult setLineSettings(PortHandle port, unsigned baud) {
    std::cout << "~ settings " << port << ' ' << baud << '\n';
    return fake::lineResult;
}

void sleepMs(unsigned milliseconds) {
    std::cout << "~ sleep " << milliseconds << '\n';
}

int runCommand(const std::string& commandLine) {
    std::cout << "~ system " << commandLine << std::endl;
    return fake::commandStatus;
}

}  // namespace os
