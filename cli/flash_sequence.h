#pragma once

#include <string>

// Resets the board on portArgument into its bootloader, finds the
// bootloader's port and writes the firmware through it. Returns only when
// every step succeeded; a failing step ends the process with status 1.
void runFlashSequence(const std::string& portArgument);
