// portkick-rusage: runs a command and reports what it cost, from wait4.
//
//   portkick-rusage COMMAND [ARGUMENT...]
//
// Prints one line on standard error once the command has ended:
//   status=S user_us=.. system_us=.. maxrss_kib=..
// The command inherits standard input, output and error.
//
// A child's peak resident size counts the memory of the process it was forked
// from, up to its exec: measured from a Python harness it would hold the
// interpreter's. Forked from this small program, it is the command's own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: portkick-rusage COMMAND [ARGUMENT...]\n", stderr);
        return 2;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("wait4");
        return 2;
    }
    const auto us = [](const timeval& t) { return t.tv_sec * 1000000LL + t.tv_usec; };
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::fprintf(stderr, "status=%d user_us=%lld system_us=%lld maxrss_kib=%ld\n", code,
                 us(usage.ru_utime), us(usage.ru_stime), usage.ru_maxrss);
    return 0;
}
