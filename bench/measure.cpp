// portkick-measure: what the benchmark (bench.py) cannot measure from Python; static, so that it starts at once.
//   scan SCANS TOUCHES PORT: in $PORTKICK_DEVICE_DIR, after 20 unmeasured scans, prints "scan NS" for each
//     of portkick's scans and "touch NS" for each open and close of PORT for a touch.
//   cost COMMAND...: runs COMMAND, then prints "status=S cpu_us=N maxrss_kib=N" on standard error: its wait
//     status, CPU time and peak memory, from wait4. A child's peak counts its parent's memory up to its
//     exec: forked from Python, portkick would show 14 MB, not its own 3.
//   as avrdude.exe: prints "avrdude-start NS", the CLOCK_MONOTONIC time at which it started, on standard
//     error, then becomes $PORTKICK_BENCH_AVRDUDE.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os.h"
#include "serial/ports.h"

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

long long nanoseconds(Clock::duration d) { return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count(); }

int cost(char** command) {
    const pid_t child = fork();
    if (child == 0) {
        execvp(command[0], command);
        std::perror(command[0]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
        std::perror("portkick-measure");
        return 2;
    }
    const auto us = [](const timeval& t) { return t.tv_sec * 1000000LL + t.tv_usec; };
    std::fprintf(stderr, "status=%d cpu_us=%lld maxrss_kib=%ld\n", status, us(usage.ru_utime) + us(usage.ru_stime),
                 usage.ru_maxrss);
    return 0;
}

int scan(int scans, int touches, const char* port) {
    for (int i = -20; i < scans; ++i) {
        const auto start = Clock::now();
        enumeratePorts();
        const long long took = nanoseconds(Clock::now() - start);
        if (i >= 0) std::printf("scan %lld\n", took);
    }
    for (int i = 0; i < touches; ++i) {
        const auto start = Clock::now();
        const os::PortHandle handle = os::openPort(devicePath(port), os::OpenFor::touch);
        if (handle == os::kNoPort) {
            std::fprintf(stderr, "portkick-measure: %s does not open for a touch\n", port);
            return 1;
        }
        os::closePort(handle);
        std::printf("touch %lld\n", nanoseconds(Clock::now() - start));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = std::strrchr(argv[0], '/');
    if (std::strcmp(name ? name + 1 : argv[0], "avrdude.exe") == 0) {
        std::fprintf(stderr, "avrdude-start %lld\n", nanoseconds(Clock::now().time_since_epoch()));
        execv(std::getenv("PORTKICK_BENCH_AVRDUDE"), argv);
        std::perror("avrdude.exe (bench): $PORTKICK_BENCH_AVRDUDE");
        return 127;
    }
    if (argc > 2 && std::strcmp(argv[1], "cost") == 0) return cost(argv + 2);
    if (argc == 5 && std::strcmp(argv[1], "scan") == 0) return scan(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    std::fputs("usage: portkick-measure scan SCANS TOUCHES PORT | cost COMMAND [ARGUMENT...]\n", stderr);
    return 2;
}
