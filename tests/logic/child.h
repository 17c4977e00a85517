// Runs a piece of the program in a forked child, the way the process would
// run it: the lines it wrote to standard output, its standard error, and its
// exit status (0 when fn returned).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

struct ChildOutcome {
    int status;
    std::vector<std::string> out;
    std::string err;
};

inline std::string readAll(std::FILE* file) {
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(&text[0], 1, text.size(), file));
    std::fclose(file);
    return text;
}

inline ChildOutcome runInChild(const std::function<void()>& fn) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::fflush(nullptr);  // nothing buffered before the fork is written twice
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        fn();
        std::exit(0);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    std::fseek(out, 0, SEEK_END);
    std::fseek(err, 0, SEEK_END);
    ChildOutcome outcome{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, {}, readAll(err)};
    std::istringstream lines(readAll(out));
    for (std::string line; std::getline(lines, line);) outcome.out.push_back(line);
    return outcome;
}
