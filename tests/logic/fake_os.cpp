#include "tests/logic/fake_os.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

int scansStarted = 0;
os::PortHandle nextHandle = 100;

}  // namespace

namespace os {

PortHandle openPort(const std::string& devicePath) {
    scansStarted += devicePath == "\\\\.\\COM1";
    const PortSet& now = fake::scans[std::min<std::size_t>(std::max(scansStarted - 1, 0),
                                                           fake::scans.size() - 1)];
    const PortHandle handle = devicePath.rfind("\\\\.\\", 0) == 0 && now.count(devicePath.substr(4))
                                  ? nextHandle++
                                  : kNoPort;
    std::printf("~ open %s %lld\n", devicePath.c_str(), static_cast<long long>(handle));
    return handle;
}

void closePort(PortHandle port) { std::printf("~ close %lld\n", static_cast<long long>(port)); }

LineResult setLineSettings(PortHandle port, unsigned baud) {
    std::printf("~ settings %lld %u\n", static_cast<long long>(port), baud);
    return fake::lineResult;
}

void sleepMs(unsigned milliseconds) { std::printf("~ sleep %u\n", milliseconds); }

// Written past the stdio buffer, as the command's own output would be: a line
// the program left unflushed comes out after it.
int runCommand(const std::string& commandLine) {
    const std::string line = "~ system " + commandLine + "\n";
    if (write(1, line.data(), line.size()) < 0) std::abort();
    return fake::commandStatus;
}

}  // namespace os
