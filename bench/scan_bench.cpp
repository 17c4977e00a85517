// portkick-scan-bench: times enumeratePorts(), the probe of COM1 to COM256
// that portkick makes for its snapshot and for every poll, in the device
// directory it is run with ($PORTKICK_DEVICE_DIR).
//
//   portkick-scan-bench SCANS
//
// After 20 unmeasured scans, prints the ports found (comma-separated, "-" for
// none) on the first line, then each scan's time in nanoseconds, one a line.
// Fails if the ports change during the run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/ports.h"

int main(int argc, char** argv) {
    const int scans = argc == 2 ? std::atoi(argv[1]) : 0;
    if (scans < 1) {
        std::fputs("usage: portkick-scan-bench SCANS\n", stderr);
        return 2;
    }
    const PortSet first = enumeratePorts();
    std::vector<long long> times;
    for (int i = -20; i < scans; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const PortSet ports = enumeratePorts();
        const auto stop = std::chrono::steady_clock::now();
        if (ports != first) {
            std::fputs("portkick-scan-bench: the ports changed during the run\n", stderr);
            return 1;
        }
        if (i >= 0) times.push_back(std::chrono::nanoseconds(stop - start).count());
    }
    std::string names;
    for (const PortName& name : first) names += (names.empty() ? "" : ",") + name;
    std::printf("%s\n", names.empty() ? "-" : names.c_str());
    for (long long t : times) std::printf("%lld\n", t);
    return 0;
}
