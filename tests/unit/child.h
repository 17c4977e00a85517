// Runs a piece of the program in a forked child, the way the process would
// run it: what it wrote to standard output and error, and how it ended.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

struct ChildOutcome {
    int status;       // exit status; 0 when fn returned
    std::string out;  // standard output, including the fake's "~ " lines
    std::string err;
};

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline ChildOutcome runInChild(const std::function<void()>& fn) {
    char outPath[] = "/tmp/portkick-out-XXXXXX";
    char errPath[] = "/tmp/portkick-err-XXXXXX";
    const int outFd = mkstemp(outPath);
    const int errFd = mkstemp(errPath);
    // Nothing buffered before the fork may be written twice.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        fn();
        std::exit(0);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ChildOutcome outcome{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1,
                         readWholeFile(outPath), readWholeFile(errPath)};
    close(outFd);
    close(errFd);
    unlink(outPath);
    unlink(errPath);
    return outcome;
}
