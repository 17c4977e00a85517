// A scripted OS layer for the logic tests. It writes every call it sees to
// standard output as a line starting with "~ ", in the same stream and order
// as the program's own lines, and never really sleeps.
#pragma once

#include <vector>

#include "os/os.h"
#include "serial/ports.h"

namespace fake {

// scans[k] holds the names that open once k+1 scans have started (a scan
// starts with the probe of COM1; before the first one, scans[0] applies).
// The last entry holds for every later scan.
inline std::vector<PortSet> scans{{}};
inline os::LineResult lineResult = os::LineResult::applied;
inline int commandStatus = 0;

}  // namespace fake
