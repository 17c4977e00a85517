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

// The ports that open, after each sleep so far: time passes only in sleeps.
std::vector<PortSet> timeline;
std::size_t sleeps = 0;
os::PortHandle nextHandle = 100;
os::LineResult lineResult;
bool turnBusy;             // another run holds the turn
std::string note;          // what the run before left
std::uint64_t noteAge;     // how long ago, in milliseconds
int commandStatus;

}  // namespace

namespace os {

PortHandle openPort(const std::string& path, OpenFor purpose) {
    const PortSet& openable = timeline[std::min(sleeps, timeline.size() - 1)];
    const PortHandle port = path.rfind("\\\\.\\", 0) == 0 && openable.count(path.substr(4)) ? nextHandle++ : kNoPort;
    std::printf("~ %s %s %lld\n", purpose == OpenFor::touch ? "touch" : "open", path.c_str(),
                static_cast<long long>(port));
    return port;
}

void closePort(PortHandle port) { std::printf("~ close %lld\n", static_cast<long long>(port)); }

LineResult setLineSettings(PortHandle port) {
    std::printf("~ settings %lld\n", static_cast<long long>(port));
    return lineResult;
}

void sleepMs(unsigned milliseconds) {
    ++sleeps;
    std::printf("~ sleep %u\n", milliseconds);
}

int runCommand(const std::string& commandLine) {
    std::printf("~ run %s\n", commandLine.c_str());
    return commandStatus;
}

bool takeTurn(bool wait) {
    std::printf("~ turn %s\n", wait ? "wait" : "try");
    return wait || !turnBusy;
}

std::string turnNote(std::uint64_t& age) {
    age = noteAge;
    return note;
}

void leaveTurnNote(const std::string& text) { std::printf("~ note '%s'\n", text.c_str()); }

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
        timeline = {{}};
        sleeps = 0;
        lineResult = os::LineResult::applied;
        turnBusy = false;
        note = "";
        commandStatus = 0;
    }
};

TEST_F(Logic, ResetHoldsThePortAt1200BaudAndClosesItOnEveryWayOut) {
    timeline = {{"COM5"}};
    Outcome run = runInChild([] { resetToBootloader("COM5"); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, (Lines{"~ touch \\\\.\\COM5 100", "~ settings 100", "~ sleep 100", "~ close 100",
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
        EXPECT_EQ(run.out, (Lines{"~ touch \\\\.\\COM5 100", "~ settings 100", "~ close 100"}));
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

// Ports that vanished, or that were there before, are not looked at: the
// new port is the first, in byte order, that the snapshot does not hold.
TEST_F(Logic, DetectionTakesTheFirstPortThatTheSnapshotDoesNotHold) {
    struct Case {
        PortSet previous;
        std::vector<PortSet> timeline;  // from the call on, a set for each poll
        std::string found;
        std::size_t polls;
    };
    const Case cases[] = {
        {{"COM1", "COM5"}, {{}, {"COM1"}, {"COM1", "COM6"}}, "COM6", 2},
        {{"COM5"}, {{}, {"COM5", "COM9", "COM10"}}, "COM10", 1},
        {{"COM2"}, {{}, {"COM2", "COM3", "COM20"}}, "COM20", 1},
    };
    for (const Case& c : cases) {
        timeline = c.timeline;
        const Outcome run = runInChild([&] { waitForBootloaderPort(c.previous); });
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(only(run.out), (Lines{"[INFO] Waiting for bootloader COM port...", "[INFO] New port detected: " + c.found}));
        EXPECT_EQ(count(run.out, "~ sleep 50"), c.polls);
    }
}

// A run takes its turn before anything else, and says so only when it must
// wait for it; it leaves the port it touched for the next run.
TEST_F(Logic, FlashSequenceTakesItsTurnFirstAndLeavesTheTouchedPort) {
    timeline = {{"COM5"}, {}, {"COM6"}};
    const std::string waiting = "[INFO] Waiting for another portkick run to finish...";
    for (const bool busy : {false, true}) {
        turnBusy = busy;
        const Outcome run = runInChild([] { runFlashSequence("COM5"); });
        EXPECT_EQ(run.status, 0);
        Lines lines = {"[INFO] Triggered 1200bps reset on COM5", "[INFO] Waiting for bootloader COM port...",
                       "[INFO] New port detected: COM6", "[INFO] Running: " + avrdudeCommandLine("COM6"),
                       "[INFO] Flash successful!"};
        Lines start = {"~ turn try", "~ note ''", "~ open \\\\.\\COM1 -1"};
        if (busy) {
            lines.insert(lines.begin(), waiting);
            start.insert(start.begin() + 1, {waiting, "~ turn wait"});
        }
        EXPECT_EQ(only(run.out), lines);
        EXPECT_EQ(Lines(run.out.begin(), run.out.begin() + start.size()), start);
        const auto touched = std::find(run.out.begin(), run.out.end(), "[INFO] Triggered 1200bps reset on COM5");
        EXPECT_EQ(*(touched + 1), "~ note 'COM5'");
        EXPECT_EQ(run.out.back(), "~ note 'COM5'");
    }
}

// The port the run before touched is its board's own, on its way back after
// the flash: when that run ended less than 3 s ago, or this run waited for
// it, the port is waited for before the snapshot, for 3 s after that run's
// end at most, so that it is never taken for this run's bootloader.
TEST_F(Logic, TheRunBeforesPortIsWaitedForUntilItIsBackForThreeSecondsAtMost) {
    struct Case {
        bool busy;
        std::uint64_t age;      // of the note, in milliseconds
        std::size_t backAfter;  // sleeps
        std::size_t waitedMs;   // before the snapshot
    };
    const Case cases[] = {
        {false, 200, 3, 150},    // back after three looks
        {false, 2900, 99, 100},  // not back: 3 s after that run's end
        {true, 20000, 99, 3000}, // a run that was waited for has just ended
        {false, 3000, 99, 0},    // ended 3 s ago: nothing to wait for
    };
    note = "COM5";  // this run flashes COM7, whose bootloader comes as COM8
    for (const Case& c : cases) {
        turnBusy = c.busy;
        noteAge = c.age;
        const std::size_t waits = c.waitedMs / 50;
        timeline.clear();
        for (std::size_t k = 0; k <= waits + 2; ++k) {
            timeline.push_back(k <= waits ? PortSet{"COM7"} : k == waits + 1 ? PortSet{} : PortSet{"COM8"});
            if (k >= c.backAfter) timeline.back().insert("COM5");
        }
        const Outcome run = runInChild([] { runFlashSequence("COM7"); });
        const auto snapshot = std::find(run.out.begin(), run.out.end(), "~ open \\\\.\\COM1 -1");
        EXPECT_EQ(count(Lines(run.out.begin(), snapshot), "~ sleep 50") * 50, c.waitedMs) << c.age;
        EXPECT_EQ(only(run.out)[c.busy + 2], "[INFO] New port detected: COM8") << c.age;
    }
}

}  // namespace
