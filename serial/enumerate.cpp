#include "serial/ports.h"

#include "os/os.h"

std::string devicePath(const std::string& name) {
    return "\\\\.\\" + name;
}

PortSet enumeratePorts() {
    PortSet ports;
    for (int n = 1; n <= 256; ++n) {
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
