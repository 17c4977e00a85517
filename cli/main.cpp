#include <iostream>
#include <string>

#include "cli/flash_sequence.h"
#include "os/os.h"
#include "serial/ports.h"

namespace {

int listPorts() {
    const PortSet ports = enumeratePorts();
    if (ports.empty()) {
        std::cout << "No COM ports found." << std::endl;
        return 0;
    }
    std::cout << "Available COM ports:" << std::endl;
    for (const PortName& name : ports) {
        std::cout << "  - " << name << std::endl;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    os::prepareProcess();
    if (argc != 2) {
        std::cout << "Usage:\n"
                     "  portkick COMx     - reset and flash using COMx (e.g., COM3)\n"
                     "  portkick --list   - list available COM ports\n";
        return 1;
    }
    const std::string argument = argv[1];
    if (argument == "--list") {
        return listPorts();
    }
    runFlashSequence(argument);
    return 0;
}
