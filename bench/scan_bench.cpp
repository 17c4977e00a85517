// portkick-scan-bench: times enumeratePorts(), the probe of COM1 to COM256
// that portkick makes for its snapshot and for every poll, and the touch's
// open of one port (with its look for other holders through /proc), in the
// device directory it is run with ($PORTKICK_DEVICE_DIR).
//
//   portkick-scan-bench SCANS TOUCHES PORT
//
// After 20 unmeasured scans, prints the ports found (comma-separated, "-" for
// none) on the first line, then each scan's time in nanoseconds as
// "scan NS", then each touch's open and close of PORT as "touch NS". Fails if
// the ports change during the run or PORT does not open.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/os.h"
#include "serial/ports.h"

namespace {

long long nanosecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::nanoseconds(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int scans = argc == 4 ? std::atoi(argv[1]) : 0;
    const int touches = argc == 4 ? std::atoi(argv[2]) : -1;
    if (scans < 1 || touches < 0) {
        std::fputs("usage: portkick-scan-bench SCANS TOUCHES PORT\n", stderr);
        return 2;
    }
    const PortSet first = enumeratePorts();
    std::vector<long long> scanTimes, touchTimes;
    for (int i = -20; i < scans; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const PortSet ports = enumeratePorts();
        const long long took = nanosecondsSince(start);
        if (ports != first) {
            std::fputs("portkick-scan-bench: the ports changed during the run\n", stderr);
            return 1;
        }
        if (i >= 0) scanTimes.push_back(took);
    }
    for (int i = 0; i < touches; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const os::PortHandle port = os::openPort(devicePath(argv[3]), os::OpenFor::touch);
        if (port == os::kNoPort) {
            std::fprintf(stderr, "portkick-scan-bench: %s does not open for a touch\n", argv[3]);
            return 1;
        }
        os::closePort(port);
        touchTimes.push_back(nanosecondsSince(start));
    }
    std::string names;
    for (const PortName& name : first) names += (names.empty() ? "" : ",") + name;
    std::printf("%s\n", names.empty() ? "-" : names.c_str());
    for (long long t : scanTimes) std::printf("scan %lld\n", t);
    for (long long t : touchTimes) std::printf("touch %lld\n", t);
    return 0;
}
