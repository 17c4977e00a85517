#include "programmer/flash.h"

#include <cstdio>

#include "os/os.h"

std::string avrdudeCommandLine(const std::string& port) {
    return "avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P " + port +
           " -U flash:w:./firmware.hex:i";
}

bool flashFirmware(const std::string& port) {
    const std::string command = avrdudeCommandLine(port);
    // Flushed before the command runs, so that the line stands above
    // avrdude's own output.
    std::printf("[INFO] Running: %s\n", command.c_str());
    std::fflush(stdout);
    const int status = os::runCommand(command);
    if (status != 0) {
        std::fprintf(stderr, "[ERROR] avrdude failed with code %d\n", status);
        std::fflush(stderr);
        return false;
    }
    std::fputs("[INFO] Flash successful!\n", stdout);
    std::fflush(stdout);
    return true;
}
