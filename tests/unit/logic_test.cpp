// The reset, the detection, the programmer run and the flash sequence over a
// scripted OS layer: faults that real ports cannot be made to show, the exact
// calls in their order, and how each failure ends the process.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "cli/flash_sequence.h"
#include "programmer/flash.h"
#include "tests/unit/child.h"
#include "tests/unit/fake_os.h"

namespace {

// The lines of `out` for which keep(line) holds.
template <typename Keep>
std::vector<std::string> linesWhere(const std::string& out, Keep keep) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (keep(line)) {
            lines.push_back(line);
        }
    }
    return lines;
}

bool startsWith(const std::string& line, const std::string& prefix) {
    return line.rfind(prefix, 0) == 0;
}

std::vector<std::string> splitLines(const std::string& out) {
    return linesWhere(out, [](const std::string&) { return true; });
}

// What the program wrote, without the fake's trace.
std::vector<std::string> programLines(const std::string& out) {
    return linesWhere(out, [](const std::string& l) { return !startsWith(l, "~ "); });
}

// Everything but the probes that found no port.
std::vector<std::string> callsBesidesMisses(const std::string& out) {
    return linesWhere(out, [](const std::string& l) {
        return !(startsWith(l, "~ open ") && l.substr(l.size() - 3) == " -1");
    });
}

std::size_t countPrefix(const std::string& out, const std::string& prefix) {
    return linesWhere(out, [&](const std::string& l) { return startsWith(l, prefix); }).size();
}

class Logic : public ::testing::Test {
protected:
    void SetUp() override {
        fake::scans = {{}};
        fake::lineResult = os::LineResult::applied;
        fake::commandStatus = 0;
    }
};

TEST_F(Logic, ResetHoldsThePortAt1200BaudThenClosesItBeforeReporting) {
    fake::scans = {{"COM5"}};
    const ChildOutcome run = runInChild([] { resetToBootloader("COM5"); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "~ open \\\\.\\COM5 100\n"
              "~ settings 100 1200\n"
              "~ sleep 100\n"
              "~ close 100\n"
              "[INFO] Triggered 1200bps reset on COM5\n");
}

TEST_F(Logic, ResetFailuresEndTheProcessWithTheirLineAndNoHandleLeftOpen) {
    fake::scans = {{"COM5"}};
    ChildOutcome run = runInChild([] { resetToBootloader("COM99"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Failed to open port COM99\n");
    EXPECT_EQ(run.out, "~ open \\\\.\\COM99 -1\n");

    fake::lineResult = os::LineResult::readFailed;
    run = runInChild([] { resetToBootloader("COM5"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error getting COM state.\n");
    EXPECT_EQ(run.out, "~ open \\\\.\\COM5 100\n~ settings 100 1200\n~ close 100\n");

    fake::lineResult = os::LineResult::applyFailed;
    run = runInChild([] { resetToBootloader("COM5"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error setting COM parameters.\n");
    EXPECT_EQ(run.out, "~ open \\\\.\\COM5 100\n~ settings 100 1200\n~ close 100\n");
}

TEST_F(Logic, DetectionGivesUpAfterExactlyOneHundredPollsOfAllPorts) {
    fake::scans = {{"COM5"}};
    const ChildOutcome run = runInChild([] { waitForBootloaderPort({"COM5"}); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "[ERROR] Timeout: No new COM port detected.\n");
    EXPECT_EQ(programLines(run.out),
              std::vector<std::string>{"[INFO] Waiting for bootloader COM port..."});

    // Each poll: the 50 ms wait first, then COM1..COM256 in order.
    std::vector<std::string> expected{"[INFO] Waiting for bootloader COM port..."};
    for (int poll = 0; poll < 100; ++poll) {
        expected.push_back("~ sleep 50");
        for (int n = 1; n <= 256; ++n) {
            if (n == 5) {
                expected.push_back("~ open \\\\.\\COM5 " + std::to_string(100 + poll));
                expected.push_back("~ close " + std::to_string(100 + poll));
            } else {
                expected.push_back("~ open \\\\.\\COM" + std::to_string(n) + " -1");
            }
        }
    }
    EXPECT_EQ(splitLines(run.out), expected);
}

TEST_F(Logic, DetectionTakesTheFirstNewNameInByteOrderAndStopsThere) {
    // Poll 1: the board's port has gone. Poll 2: COM9 and COM10 together.
    fake::scans = {{"COM1"}, {"COM1", "COM9", "COM10"}};
    const ChildOutcome run = runInChild([] {
        const PortName found = waitForBootloaderPort({"COM1", "COM5"});
        std::printf("~ returned %s\n", found.c_str());
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(programLines(run.out),
              (std::vector<std::string>{"[INFO] Waiting for bootloader COM port...",
                                        "[INFO] New port detected: COM10"}));
    EXPECT_EQ(countPrefix(run.out, "~ sleep 50"), 2u);
    EXPECT_EQ(countPrefix(run.out, "~ open "), 512u);
    EXPECT_EQ(splitLines(run.out).back(), "~ returned COM10");
}

TEST_F(Logic, ProgrammerStatusDecidesBetweenSuccessAndFailure) {
    const std::string command =
        "avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P COM6 -U flash:w:./firmware.hex:i";
    ChildOutcome run = runInChild([] { flashFirmware("COM6"); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "[INFO] Running: " + command + "\n~ system " + command +
                           "\n[INFO] Flash successful!\n");
    EXPECT_EQ(run.err, "");

    for (const int status : {1, -5, 9009}) {
        fake::commandStatus = status;
        run = runInChild([] { flashFirmware("COM6"); });
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "[INFO] Running: " + command + "\n~ system " + command + "\n");
        EXPECT_EQ(run.err, "[ERROR] avrdude failed with code " + std::to_string(status) + "\n");
    }
}

TEST_F(Logic, FlashSequenceSnapshotsResetsDetectsAndProgramsInThatOrder) {
    // Snapshot and reset see COM1 and COM5; the board is gone for two polls,
    // then its bootloader shows up as COM6.
    fake::scans = {{"COM1", "COM5"}, {"COM1"}, {"COM1"}, {"COM1", "COM6"}};
    const ChildOutcome run = runInChild([] { runFlashSequence("COM5"); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(callsBesidesMisses(run.out),
              (std::vector<std::string>{
                  "~ open \\\\.\\COM1 100", "~ close 100",
                  "~ open \\\\.\\COM5 101", "~ close 101",
                  "~ open \\\\.\\COM5 102", "~ settings 102 1200", "~ sleep 100", "~ close 102",
                  "[INFO] Triggered 1200bps reset on COM5",
                  "[INFO] Waiting for bootloader COM port...",
                  "~ sleep 50", "~ open \\\\.\\COM1 103", "~ close 103",
                  "~ sleep 50", "~ open \\\\.\\COM1 104", "~ close 104",
                  "~ sleep 50", "~ open \\\\.\\COM1 105", "~ close 105",
                  "~ open \\\\.\\COM6 106", "~ close 106",
                  "[INFO] New port detected: COM6",
                  "[INFO] Running: avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P COM6 "
                  "-U flash:w:./firmware.hex:i",
                  "~ system avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P COM6 "
                  "-U flash:w:./firmware.hex:i",
                  "[INFO] Flash successful!"}));
}

TEST_F(Logic, FlashSequenceStopsAtTheFirstFailingStep) {
    // A wrong name: one silent scan, then the open failure; nothing after it.
    fake::scans = {{"COM5"}};
    ChildOutcome run = runInChild([] { runFlashSequence("COM7"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Failed to open port COM7\n");
    EXPECT_EQ(programLines(run.out), std::vector<std::string>{});
    EXPECT_EQ(countPrefix(run.out, "~ open "), 257u);

    // The bootloader comes back under the board's own name: timeout, and the
    // programmer never runs.
    run = runInChild([] { runFlashSequence("COM5"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "[ERROR] Timeout: No new COM port detected.\n");
    EXPECT_EQ(programLines(run.out),
              (std::vector<std::string>{"[INFO] Triggered 1200bps reset on COM5",
                                        "[INFO] Waiting for bootloader COM port..."}));
    EXPECT_EQ(countPrefix(run.out, "~ system"), 0u);

    // The programmer fails: its status, after all four information lines.
    fake::scans = {{"COM5"}, {"COM6"}};
    fake::commandStatus = 2;
    run = runInChild([] { runFlashSequence("COM5"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "[ERROR] avrdude failed with code 2\n");
    EXPECT_EQ(programLines(run.out).size(), 4u);
    EXPECT_EQ(programLines(run.out).back().rfind("[INFO] Running: ", 0), 0u);
}

}  // namespace
