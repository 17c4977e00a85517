// Writing firmware.hex into the board through its bootloader with avrdude.
#pragma once

#include <string>

// The avrdude command line that writes ./firmware.hex through `port`.
std::string avrdudeCommandLine(const std::string& port);

// Runs avrdude on the bootloader's port. On a non-zero status writes it to
// standard error and ends the process with status 1.
void flashFirmware(const std::string& port);
