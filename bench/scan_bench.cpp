// portkick-scan-bench: times enumeratePorts(), the full probe of COM1 to
// COM256 that portkick makes for its snapshot and for every poll, in the
// environment it is run in (on POSIX: the device directory
// $PORTKICK_DEVICE_DIR).
//
//   portkick-scan-bench [SCANS]
//
// Prints the ports found, then one line of figures in microseconds:
//   scans=N found=K min_us=.. median_us=.. p95_us=.. max_us=.. mean_us=..
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/ports.h"

namespace {

constexpr int kWarmUp = 20;

double percentile(const std::vector<double>& sorted, double fraction) {
    // Nearest rank.
    std::size_t rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

}  // namespace

int main(int argc, char** argv) {
    const int scans = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (scans < 1) {
        std::fputs("usage: portkick-scan-bench [SCANS]\n", stderr);
        return 2;
    }

    const PortSet first = enumeratePorts();
    for (int i = 0; i < kWarmUp; ++i) {
        if (enumeratePorts() != first) {
            std::fputs("portkick-scan-bench: the ports changed during the run\n", stderr);
            return 1;
        }
    }

    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(scans));
    bool changed = false;
    for (int i = 0; i < scans; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const PortSet ports = enumeratePorts();
        const auto stop = std::chrono::steady_clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
        changed = changed || ports != first;
    }
    if (changed) {
        std::fputs("portkick-scan-bench: the ports changed during the run\n", stderr);
        return 1;
    }

    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros) sum += m;
    std::string names;
    for (const PortName& name : first) names += (names.empty() ? "" : ",") + name;
    std::printf("ports=%s\n", names.empty() ? "-" : names.c_str());
    std::printf("scans=%d found=%zu min_us=%.1f median_us=%.1f p95_us=%.1f max_us=%.1f mean_us=%.1f\n",
                scans, first.size(), micros.front(), percentile(micros, 0.5),
                percentile(micros, 0.95), micros.back(), sum / scans);
    return 0;
}
