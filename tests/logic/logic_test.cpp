// The logic over a scripted OS layer that writes each call as a "~ " line
// among the program's own on standard output: the exact calls in their order,
// and how each failure ends the process (each case runs in a forked child).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "os/os.h"
#include "serial/ports.h"

namespace {

using Lines = std::vector<std::string>;

PortSet openable;  // the ports that open
os::PortHandle nextHandle = 100;
os::LineResult lineResult;

}  // namespace

namespace os {

PortHandle openPort(const std::string& path, OpenFor purpose) {
    const PortHandle port = path.rfind("\\\\.\\", 0) == 0 && openable.count(path.substr(4)) ? nextHandle++ : kNoPort;
    std::printf("~ %s %s %lld\n", purpose == OpenFor::touch ? "touch" : "open", path.c_str(),
                static_cast<long long>(port));
    return port;
}

void closePort(PortHandle port) { std::printf("~ close %lld\n", static_cast<long long>(port)); }

LineResult setLineSettings(PortHandle port, unsigned baud) {
    std::printf("~ settings %lld %u\n", static_cast<long long>(port), baud);
    return lineResult;
}

void sleepMs(unsigned milliseconds) { std::printf("~ sleep %u\n", milliseconds); }

}  // namespace os

namespace {

struct Outcome {
    int status;  // 0 when fn returned
    Lines out;
    std::string err;
};

std::string readAll(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
}

template <typename Fn>
Outcome runInChild(Fn fn) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        fn();
        std::exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}, readAll(err)};
    std::istringstream lines(readAll(out));
    for (std::string line; std::getline(lines, line);) run.out.push_back(line);
    return run;
}

std::size_t count(const Lines& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The program's own lines, without the calls.
Lines only(const Lines& lines) {
    Lines kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept), [](const std::string& l) { return l.rfind("~ ", 0) != 0; });
    return kept;
}

class Logic : public ::testing::Test {
protected:
    void SetUp() override {
        openable = {};
        lineResult = os::LineResult::applied;
    }
};

TEST_F(Logic, ResetHoldsThePortAt1200BaudAndClosesItOnEveryWayOut) {
    openable = {"COM5"};
    Outcome run = runInChild([] { resetToBootloader("COM5"); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, (Lines{"~ touch \\\\.\\COM5 100", "~ settings 100 1200", "~ sleep 100", "~ close 100",
                              "[INFO] Triggered 1200bps reset on COM5"}));
    run = runInChild([] { resetToBootloader("COM99"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Failed to open port COM99\n");
    EXPECT_EQ(run.out, Lines{"~ touch \\\\.\\COM99 -1"});
    for (const auto& [result, line] : {std::pair{os::LineResult::readFailed, "Error getting COM state.\n"},
                                       std::pair{os::LineResult::applyFailed, "Error setting COM parameters.\n"}}) {
        lineResult = result;
        run = runInChild([] { resetToBootloader("COM5"); });
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, line);
        EXPECT_EQ(run.out, (Lines{"~ touch \\\\.\\COM5 100", "~ settings 100 1200", "~ close 100"}));
    }
}

TEST_F(Logic, DetectionWaitsFirstThenScansAllPortsExactlyOneHundredTimes) {
    const Outcome run = runInChild([] { waitForBootloaderPort({}); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "[ERROR] Timeout: No new COM port detected.\n");
    EXPECT_EQ(only(run.out), Lines{"[INFO] Waiting for bootloader COM port..."});
    EXPECT_EQ(count(run.out, "~ sleep 50"), 100u);
    EXPECT_EQ(count(run.out, "~ open "), 25600u);
    EXPECT_EQ(run.out.size(), 1u + 100u + 25600u);
    EXPECT_EQ(Lines(run.out.begin() + 1, run.out.begin() + 3), (Lines{"~ sleep 50", "~ open \\\\.\\COM1 -1"}));
    EXPECT_EQ(run.out.back(), "~ open \\\\.\\COM256 -1");
}

}  // namespace
