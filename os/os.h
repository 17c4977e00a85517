// The operating system as portkick sees it: exclusive opening of a serial
// port by its device path, the 1200-baud touch of its line settings, a sleep
// that lasts at least as long as asked, the command processor, and the turn
// that runs take one after another.
//
// os_windows.cpp is the product; os_posix.cpp lets the same program run on a
// POSIX system, where a device path names a file in a device directory.
#pragma once

#include <cstdint>
#include <string>

namespace os {

// Puts right what the parent may have left the process with, before anything
// is opened or written: closed standard streams, a broken pipe that would end
// the process, children reaped before their status is read. Called first
// thing in main.
void prepareProcess();

// An open port. kNoPort is the value of a failed open (on Windows it is the
// numeric value of INVALID_HANDLE_VALUE).
using PortHandle = std::intptr_t;
constexpr PortHandle kNoPort = -1;

// What a port is opened for. A probe asks only whether the port could be
// had now (the listing, the snapshot, every poll), and is closed at once. A
// touch goes on to switch the port's line, which must never happen to a port
// that somebody else is using.
enum class OpenFor { probe, touch };

// Opens the port at devicePath ("\\.\COM5") for exclusive reading and
// writing: until it is closed, nobody else can open it. Returns kNoPort when
// the port is missing, held by another program, or cannot be opened for any
// other reason. A touch makes sure of that even where a probe cannot afford
// to look at every other holder, and counts a port it cannot make sure of as
// held.
PortHandle openPort(const std::string& devicePath, OpenFor purpose);

void closePort(PortHandle port);

enum class LineResult { applied, readFailed, applyFailed };

// Reads the port's line settings, changes them to the touch's 1200 baud, 8
// data bits, no parity and one stop bit, and applies them. Every other
// setting keeps the value that was read.
LineResult setLineSettings(PortHandle port);

// Blocks the calling thread for at least `milliseconds` of monotonic time.
void sleepMs(unsigned milliseconds);

// Runs commandLine through the command processor and waits for it. Returns
// the command's exit status, or -1 when the command processor could not run.
// The PATH that the command processor searches has the program's own tools
// first: on Windows the program's folder, on POSIX ../lib/portkick from the
// program, where the package puts its avrdude.exe wrapper, which the POSIX
// build also hands the device directory (PORTKICK_DEVICE_DIR).
int runCommand(const std::string& commandLine);

// The turn: one flash run at a time holds it, over the ports this process
// sees (on Windows the machine's, on POSIX those of its device directory),
// from the call that takes it to the end of the process, however that ends.
// With `wait` false, takes it when it is free and returns false when another
// run holds it; with `wait` true, waits for it. Where no turn can be had at
// all, a run goes without one: true.
bool takeTurn(bool wait);

// A line the run before left in the turn, and how many milliseconds ago it
// was left (`age`); "" when there is none. Only for a run that holds the turn.
std::string turnNote(std::uint64_t& age);

// Leaves `note` for the next run, stamped now; "" takes the note away.
void leaveTurnNote(const std::string& note);

}  // namespace os
