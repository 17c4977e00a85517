// The logic over a scripted OS layer that writes each call as a "~ " line
// among the program's own on standard output: the exact calls in their order,
// and how each failure ends the process (each case runs in a forked child).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "cli/flash_sequence.h"
#include "os/os.h"
#include "programmer/flash.h"
#include "serial/ports.h"

namespace {

using Lines = std::vector<std::string>;

// scans[k] holds the names that open once k+1 scans have started (a scan
// starts with the probe of COM1); the last one holds for all later scans.
std::vector<PortSet> scans;
int scansStarted = 0;
os::PortHandle nextHandle = 100;
os::LineResult lineResult;
int commandStatus;

}  // namespace

namespace os {

PortHandle openPort(const std::string& path, OpenFor purpose) {
    scansStarted += path == "\\\\.\\COM1";
    const PortSet& now = scans[std::min<std::size_t>(std::max(scansStarted - 1, 0), scans.size() - 1)];
    const PortHandle port = path.rfind("\\\\.\\", 0) == 0 && now.count(path.substr(4)) ? nextHandle++ : kNoPort;
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

// Past the stdio buffer, as the command's own output: a line the program has
// not flushed comes out after it.
int runCommand(const std::string& commandLine) {
    const std::string line = "~ system " + commandLine + "\n";
    return write(1, line.data(), line.size()) < 0 ? -1 : commandStatus;
}

}  // namespace os

namespace {

const std::string kCommand =
    "avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P COM6 -U flash:w:./firmware.hex:i";

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

// The program's lines, and unless keepCalls is false, all calls but misses.
Lines only(const Lines& lines, bool keepCalls) {
    Lines kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept), [&](const std::string& l) {
        return l.rfind("~ ", 0) != 0 || (keepCalls && l.substr(l.size() - 3) != " -1");
    });
    return kept;
}

class Logic : public ::testing::Test {
protected:
    void SetUp() override {
        scans = {{}};
        lineResult = os::LineResult::applied;
        commandStatus = 0;
    }
};

TEST_F(Logic, ResetHoldsThePortAt1200BaudAndClosesItOnEveryWayOut) {
    scans = {{"COM5"}};
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
    EXPECT_EQ(only(run.out, false), Lines{"[INFO] Waiting for bootloader COM port..."});
    EXPECT_EQ(count(run.out, "~ sleep 50"), 100u);
    EXPECT_EQ(count(run.out, "~ open "), 25600u);
    EXPECT_EQ(run.out.size(), 1u + 100u + 25600u);
    EXPECT_EQ(Lines(run.out.begin() + 1, run.out.begin() + 3), (Lines{"~ sleep 50", "~ open \\\\.\\COM1 -1"}));
    EXPECT_EQ(run.out.back(), "~ open \\\\.\\COM256 -1");
}

TEST_F(Logic, ProgrammerRunsAfterItsLineIsOutAndItsStatusDecides) {
    for (const int status : {0, 1, -5, 9009}) {
        commandStatus = status;
        const Outcome run = runInChild([] { flashFirmware("COM6"); });
        Lines out{"[INFO] Running: " + kCommand, "~ system " + kCommand};
        if (status == 0) out.push_back("[INFO] Flash successful!");
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.status, status == 0 ? 0 : 1);
        EXPECT_EQ(run.err, status == 0 ? "" : "[ERROR] avrdude failed with code " + std::to_string(status) + "\n");
    }
}

TEST_F(Logic, FlashSequenceSnapshotsResetsDetectsAndProgramsInThatOrder) {
    // The board's port is gone for two polls; then its bootloader is COM6.
    scans = {{"COM1", "COM5"}, {"COM1"}, {"COM1"}, {"COM1", "COM6"}};
    const Outcome run = runInChild([] { runFlashSequence("COM5"); });
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(only(run.out, true),
              (Lines{"~ open \\\\.\\COM1 100", "~ close 100", "~ open \\\\.\\COM5 101", "~ close 101",
                     "~ touch \\\\.\\COM5 102", "~ settings 102 1200", "~ sleep 100", "~ close 102",
                     "[INFO] Triggered 1200bps reset on COM5", "[INFO] Waiting for bootloader COM port...",
                     "~ sleep 50", "~ open \\\\.\\COM1 103", "~ close 103", "~ sleep 50", "~ open \\\\.\\COM1 104",
                     "~ close 104", "~ sleep 50", "~ open \\\\.\\COM1 105", "~ close 105", "~ open \\\\.\\COM6 106",
                     "~ close 106", "[INFO] New port detected: COM6", "[INFO] Running: " + kCommand,
                     "~ system " + kCommand, "[INFO] Flash successful!"}));
}

}  // namespace
