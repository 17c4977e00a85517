// avrdude.exe for the benchmark: appends the CLOCK_MONOTONIC time at which it
// started (nanoseconds, one line) to $PORTKICK_BENCH_STAMPS, then becomes
// $PORTKICK_BENCH_AVRDUDE (the avrdude.exe that really flashes) with the same
// arguments. Put its directory first on PATH.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int, char** argv) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;

    const char* stamps = std::getenv("PORTKICK_BENCH_STAMPS");
    const char* next = std::getenv("PORTKICK_BENCH_AVRDUDE");
    if (stamps == nullptr || next == nullptr) {
        std::fputs("avrdude.exe (bench): set PORTKICK_BENCH_STAMPS and PORTKICK_BENCH_AVRDUDE\n", stderr);
        return 2;
    }
    const int fd = open(stamps, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::string line = std::to_string(ns) + "\n";
    if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        std::perror(stamps);
        return 2;
    }
    close(fd);

    argv[0] = const_cast<char*>(next);
    execv(next, argv);
    std::perror(next);
    return 127;
}
