#include "programmer/flash.h"

#include <cstdlib>
#include <iostream>

#include "os/os.h"

std::string avrdudeCommandLine(const std::string& port) {
    return "avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P " + port +
           " -U flash:w:./firmware.hex:i";
}

void flashFirmware(const std::string& port) {
    const std::string command = avrdudeCommandLine(port);
    std::cout << "[INFO] Running: " << command << std::endl;
    const int status = os::runCommand(command);
    if (status != 0) {
        std::cerr << "[ERROR] avrdude failed with code " << status << std::endl;
        std::exit(1);
    }
    std::cout << "[INFO] Flash successful!" << std::endl;
}
