// The logic over a scripted OS layer that writes each call as a "~ " line among the program's own on
// standard output: the exact calls in their order, and how each failure ends the process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <tuple>

#include "cli/flash_sequence.h"
#include "os/os.h"
#include "programmer/flash.h"
#include "serial/ports.h"

namespace {

using Lines = std::vector<std::string>;

struct Script {
    bool turnBusy = false;      // another run holds the turn
    std::string note;           // what the run before left
    std::uint64_t noteAge = 0;  // how long ago, in milliseconds
    std::vector<PortSet> timeline{{}};  // the ports that open, after each sleep so far
    os::LineResult lineResult = os::LineResult::applied;
    int avrdudeStatus = 0;
} script;
std::size_t sleeps = 0;  // time passes only in sleeps
os::PortHandle nextHandle = 100;

template <typename Result>  // writes the call, returns its result
Result said(const std::string& call, Result result) {
    std::printf("~ %s\n", call.c_str());
    return result;
}

// The exit status (0 when fn returned), standard output's lines and standard error of fn in a forked child.
using Outcome = std::tuple<int, Lines, std::string>;
template <typename Fn>
Outcome runInChild(Fn fn) {
    std::FILE* files[] = {std::tmpfile(), std::tmpfile()};  // for standard output and error
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (const int fd : {1, 2}) dup2(fileno(files[fd - 1]), fd);
        fn();
        std::exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream out("/proc/self/fd/" + std::to_string(fileno(files[0]))),
        err("/proc/self/fd/" + std::to_string(fileno(files[1])));
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}, {std::istreambuf_iterator<char>(err), {}}};
    for (std::string line; std::getline(out, line);) std::get<Lines>(run).push_back(line);
    return run;
}

Lines matching(const Lines& lines, const char* pattern) {
    Lines kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept),
                 [re = std::regex(pattern)](const std::string& line) { return std::regex_match(line, re); });
    return kept;
}

}  // namespace

namespace os {

PortHandle openPort(const std::string& path, OpenFor purpose) {
    const PortSet& openable = script.timeline[std::min(sleeps, script.timeline.size() - 1)];
    const PortHandle port = path.rfind("\\\\.\\", 0) == 0 && openable.count(path.substr(4)) ? nextHandle++ : kNoPort;
    return said((purpose == OpenFor::touch ? "touch " : "open ") + path + " " + std::to_string(port), port);
}
void closePort(PortHandle port) { said("close " + std::to_string(port), 0); }
LineResult setLineSettings(PortHandle port) { return said("settings " + std::to_string(port), script.lineResult); }
void sleepMs(unsigned milliseconds) { said("sleep " + std::to_string(milliseconds), ++sleeps); }
int runCommand(const std::string& commandLine) { return said("run " + commandLine, script.avrdudeStatus); }
bool takeTurn(bool wait) { return said(wait ? "turn wait" : "turn try", wait || !script.turnBusy); }
std::string turnNote(std::uint64_t& age) {
    age = script.noteAge;
    return script.note;
}
void leaveTurnNote(const std::string& note) { said("note '" + note + "'", 0); }

}  // namespace os

TEST(Logic, ResetHoldsThePortAt1200BaudAndClosesItOnEveryWayOut) {
    script = {false, "", 0, {{"COM5"}}};
    EXPECT_EQ(runInChild([] { resetToBootloader("COM5"); }),
              Outcome(0, {"~ touch \\\\.\\COM5 100", "~ settings 100", "~ sleep 100", "~ close 100",
                          "[INFO] Triggered 1200bps reset on COM5"}, ""));
    EXPECT_EQ(runInChild([] { resetToBootloader("COM99"); }),
              Outcome(1, {"~ touch \\\\.\\COM99 -1"}, "Failed to open port COM99\n"));
    for (const auto& [result, line] : {std::pair{os::LineResult::readFailed, "Error getting COM state.\n"},
                                       std::pair{os::LineResult::applyFailed, "Error setting COM parameters.\n"}}) {
        script.lineResult = result;
        EXPECT_EQ(runInChild([] { resetToBootloader("COM5"); }),
                  Outcome(1, {"~ touch \\\\.\\COM5 100", "~ settings 100", "~ close 100"}, line));
    }
}

// Each poll waits first, then probes every port; the new port is the first, in byte order, that the
// snapshot does not hold, and ports that vanished are not looked at.
TEST(Logic, DetectionPollsAHundredTimesForTheFirstPortThatTheSnapshotDoesNotHold) {
    script = {};
    Lines calls = {"[INFO] Waiting for bootloader COM port..."};
    for (int poll = 0; poll < 100; ++poll) {
        calls.push_back("~ sleep 50");
        for (int n = 1; n <= 256; ++n) calls.push_back("~ open \\\\.\\COM" + std::to_string(n) + " -1");
    }
    EXPECT_EQ(runInChild([] { waitForBootloaderPort({}); }),
              Outcome(1, calls, "[ERROR] Timeout: No new COM port detected.\n"));
    script.timeline = {{}, {"COM1"}, {"COM1", "COM6", "COM10"}};
    const auto [status, out, err] = runInChild([] { waitForBootloaderPort({"COM1", "COM5"}); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(matching(out, R"(\[.*)"), (Lines{calls[0], "[INFO] New port detected: COM10"}));
    EXPECT_EQ(matching(out, "~ sleep 50").size(), 2u);
}

// A run takes its turn first, and says so only when it must wait for it. The port the run before touched is
// its board's own, back soon after its flash: when that run ended less than 3 s ago, or was waited for, this
// run waits for that port before the snapshot, until 3 s after that run's end at most, so that it is never
// taken for a bootloader. A run leaves the port it touched for the next, after the touch and at its end.
TEST(Logic, FlashSequenceTakesItsTurnAndWaitsForThePortOfTheRunBeforeForThreeSecondsAtMost) {
    // Turn busy; the run before's note, its age in ms; 50 ms waits before the snapshot; its port back after them
    const std::tuple<bool, const char*, std::uint64_t, std::size_t, bool> cases[] = {
        {false, "", 0, 0, false},
        {false, "COM5", 200, 3, true},
        {false, "COM5", 2900, 2, false},   // not back: 3 s after that run's end
        {true, "COM5", 20000, 60, false},  // a run that was waited for has just ended
        {false, "COM5", 3000, 0, false},   // ended 3 s ago: nothing to wait for
        {false, "com5", 200, 3, true},     // typed so: the port the scan calls COM5
        {false, "watchdog", 200, 0, false},  // written by anybody: no port, never opened
    };
    for (const auto& [busy, note, age, waits, back] : cases) {
        script = {busy, note, age, {}};  // this run flashes COM7, whose bootloader comes as COM8
        for (std::size_t k = 0; k <= waits + 2; ++k) {
            script.timeline.push_back(k <= waits ? PortSet{"COM7"} : k == waits + 1 ? PortSet{} : PortSet{"COM8"});
            if (back && k >= waits) script.timeline.back().insert("COM5");
        }
        Lines story = busy ? Lines{"~ turn try", "[INFO] Waiting for another portkick run to finish...", "~ turn wait"}
                           : Lines{"~ turn try"};
        story.insert(story.end(), {"~ note ''", "[INFO] Triggered 1200bps reset on COM7", "~ note 'COM7'",
                "[INFO] Waiting for bootloader COM port...", "[INFO] New port detected: COM8",
                "[INFO] Running: " + avrdudeCommandLine("COM8"), "[INFO] Flash successful!", "~ note 'COM7'"});
        const auto [status, out, err] = runInChild([] { runFlashSequence("COM7"); });
        EXPECT_EQ(matching(out, R"(\[.*|~ (turn|note) .*)"), story) << age;
        const auto snapshot = std::find(out.begin(), out.end(), "~ open \\\\.\\COM1 -1");
        EXPECT_EQ(matching(Lines(out.begin(), snapshot), "~ sleep 50").size(), waits) << age;
    }
    script = {false, "", 0, {{"COM7"}, {}, {"COM8"}}};  // a failed flash too leaves its port for the next run
    script.avrdudeStatus = 3;
    const auto [status, out, err] = runInChild([] { runFlashSequence("COM7"); });
    EXPECT_EQ(std::make_tuple(status, matching(out, "~ (run|note) .*").back(), err),
              std::make_tuple(1, std::string("~ note 'COM7'"), std::string("[ERROR] avrdude failed with code 3\n")));
}
