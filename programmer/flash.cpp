#include "programmer/flash.h"

#include <cstdio>
#include <cstdlib>

#include "os/os.h"

std::string avrdudeCommandLine(const std::string& port) {
    return "avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P " + port +
           " -U flash:w:./firmware.hex:i";
}

void flashFirmware(const std::string& port) {
    const std::string command = avrdudeCommandLine(port);
    // Flushed before the command runs, so that the line stands above
    // avrdude's own output.
    std::printf("[INFO] Running: %s\n", command.c_str());
    std::fflush(stdout);
    const int status = os::runCommand(command);
    if (status != 0) {
        std::fprintf(stderr, "[ERROR] avrdude failed with code %d\n", status);
        std::fflush(stderr);
        std::exit(1);
    }
    std::fputs("[INFO] Flash successful!\n", stdout);
    std::fflush(stdout);
}
