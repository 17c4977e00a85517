// Serial port names, sets of them, and the three operations on the ports.
#pragma once

#include <cstdint>
#include <set>
#include <string>

// "COM" followed by the port number in decimal, e.g. COM3.
using PortName = std::string;

// Unique names in byte-wise order: COM1, COM10, COM2.
using PortSet = std::set<PortName>;

// "\\.\" followed by name: the path under which the port is opened.
std::string devicePath(const std::string& name);

// The ports COM1 to COM256 that this process can open right now. Writes
// nothing and never fails.
PortSet enumeratePorts();

// The port among COM1 to COM256 that `text` names, in any case ("com5" is
// COM5, as Windows reads it), under the name enumeratePorts gives it; ""
// when it names none.
PortName portNamed(const std::string& text);

// Gives portArgument the 1200-baud touch (1200 8N1 held 100 ms) that restarts
// the board into its bootloader. On failure writes the reason to standard
// error and ends the process with status 1.
void resetToBootloader(const std::string& portArgument);

// Polls the ports every 50 ms, at most 100 times, for one that `previous` does
// not hold, and returns the first such name in byte-wise order. When none
// shows up, writes the timeout line and ends the process with status 1.
PortName waitForBootloaderPort(const PortSet& previous);

// Polls the port `name` as often as the ports above, until it can be opened
// or `withinMs` milliseconds have passed. Writes nothing.
void waitForPort(const PortName& name, std::uint64_t withinMs);
