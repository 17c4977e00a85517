// Writing firmware.hex into the board through its bootloader with avrdude.
#pragma once

#include <string>

// The avrdude command line that writes ./firmware.hex through `port`.
std::string avrdudeCommandLine(const std::string& port);

// Runs avrdude on the bootloader's port. Writes the success line and returns
// true, or writes avrdude's non-zero status to standard error and returns
// false: then the caller ends the process with status 1.
bool flashFirmware(const std::string& port);
