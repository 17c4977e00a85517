// Inside the POSIX layer: the device directory, and the two tiers of the
// check that openPort makes before it lets a port be had.
//
// Windows opens a port with share mode 0: nobody else may have it open, and
// nobody else can open it until it is closed. Here that takes two tiers:
//
// - The claim (claim_posix.cpp), on every open: a port that another program
//   has claimed the way Linux serial programs claim one is refused, and
//   portkick claims the port itself. It costs a system call or two, whatever
//   else runs on the machine, so the 101 scans of a run stay cheap.
// - The look (look_posix.cpp), once a run, for the touch, which switches the
//   port's line: it also refuses a port that any other process has open at
//   all, claimed or not (a serial monitor that never locks), by a look
//   through every process's descriptors in /proc. When the look cannot be
//   made in full, the port counts as held.
//
// docs/portkick.1 tells users what each tier sees and what neither can.
#pragma once

#include <string>

namespace os::posix {

// Where the ports are: $PORTKICK_DEVICE_DIR, or /dev when that is unset or
// empty. A device path "\\.\NAME" names the file NAME in it.
std::string deviceDirectory();

// Claims the port that `fd` has open, named `name` in the device directory,
// unless another program has claimed it first: with an exclusive flock, the
// terminal's exclusive mode, or a UUCP lock file of a live process. Claimed,
// the port has our flock and, if it is a terminal, its exclusive mode, so
// that nobody but root can open it until unclaimPort. False, with nothing
// of ours left on the port, when it is another's.
bool claimPort(int fd, const std::string& name);

// Clears the exclusive mode that claimPort set, before the port is closed:
// it would outlast the close for anyone else who still has the terminal open.
void unclaimPort(int fd);

// Whether the port that `fd` has open is open nowhere else, in any process
// this one can see (every process when run as root), as far as /proc shows.
// False also when the look cannot be made in full.
bool aloneOnPort(int fd);

}  // namespace os::posix
