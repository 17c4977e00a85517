// avrdude-stamp, the benchmark's avrdude.exe: appends the CLOCK_MONOTONIC
// time at which it started (nanoseconds, one line) to $PORTKICK_BENCH_STAMPS,
// then becomes tools/avrdude.exe (WRAPPER, set by the build) with the same
// arguments. Put its directory first on PATH. It uses the C library only, so
// that it starts fast.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int, char** argv) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%lld\n",
                                     static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    const char* stamps = std::getenv("PORTKICK_BENCH_STAMPS");
    const int fd = stamps ? open(stamps, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    if (fd < 0 || write(fd, line, length) != length) {
        std::fputs("avrdude.exe (bench): cannot write to $PORTKICK_BENCH_STAMPS\n", stderr);
        return 2;
    }
    close(fd);
    argv[0] = const_cast<char*>(WRAPPER);
    execv(WRAPPER, argv);
    std::perror(WRAPPER);
    return 127;
}
