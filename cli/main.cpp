#include <cstdio>
#include <string>

#include "cli/flash_sequence.h"
#include "os/os.h"
#include "serial/ports.h"

namespace {

// The listing is the whole result of this mode: when it cannot be written
// (a full disk, a closed pipe), the run has failed.
int listPorts() {
    const PortSet ports = enumeratePorts();
    if (ports.empty()) {
        std::fputs("No COM ports found.\n", stdout);
        std::fflush(stdout);
    } else {
        std::fputs("Available COM ports:\n", stdout);
        std::fflush(stdout);
        for (const PortName& name : ports) {
            std::printf("  - %s\n", name.c_str());
            std::fflush(stdout);
        }
    }
    return std::ferror(stdout) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    os::prepareProcess();
    if (argc != 2) {
        // No flush: the text goes out when the process exits.
        std::fputs("Usage:\n"
                   "  portkick COMx     - reset and flash using COMx (e.g., COM3)\n"
                   "  portkick --list   - list available COM ports\n",
                   stdout);
        return 1;
    }
    const std::string argument = argv[1];
    if (argument == "--list") {
        return listPorts();
    }
    runFlashSequence(argument);
    return 0;
}
