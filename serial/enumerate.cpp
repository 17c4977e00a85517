#include "serial/ports.h"

#include <algorithm>
#include <cctype>

#include "os/os.h"

namespace {
constexpr int kLastPort = 256;
}  // namespace

std::string devicePath(const std::string& name) {
    return "\\\\.\\" + name;
}

PortSet enumeratePorts() {
    PortSet ports;
    for (int n = 1; n <= kLastPort; ++n) {
        const PortName name = "COM" + std::to_string(n);
        const os::PortHandle port = os::openPort(devicePath(name), os::OpenFor::probe);
        if (port == os::kNoPort) {
            continue;
        }
        ports.insert(name);
        os::closePort(port);
    }
    return ports;
}

PortName portNamed(const std::string& text) {
    const auto sameLetter = [](char ours, char theirs) {
        return ours == std::toupper(static_cast<unsigned char>(theirs));
    };
    for (int n = 1; n <= kLastPort; ++n) {
        const PortName name = "COM" + std::to_string(n);
        if (std::equal(name.begin(), name.end(), text.begin(), text.end(), sameLetter)) {
            return name;
        }
    }
    return "";
}
