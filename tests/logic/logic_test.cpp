// The reset, the detection, the programmer run and the flash sequence over a
// scripted OS layer: the exact calls in their order, the faults that real
// ports cannot be made to show, and how each failure ends the process.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli/flash_sequence.h"
#include "programmer/flash.h"
#include "tests/logic/child.h"
#include "tests/logic/fake_os.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kCommand =
    "avrdude.exe -v -p atmega32u4 -c avr109 -b 57600 -D -P COM6 -U flash:w:./firmware.hex:i";

std::size_t count(const Lines& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The lines for which keep holds.
template <typename Keep>
Lines only(const Lines& lines, Keep keep) {
    Lines kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept), keep);
    return kept;
}

Lines programLines(const Lines& lines) {
    return only(lines, [](const std::string& l) { return l.rfind("~ ", 0) != 0; });
}

class Logic : public ::testing::Test {
protected:
    void SetUp() override {
        fake::scans = {{}};
        fake::lineResult = os::LineResult::applied;
        fake::commandStatus = 0;
    }
};

TEST_F(Logic, ResetHoldsThePortAt1200BaudAndClosesItOnEveryWayOut) {
    fake::scans = {{"COM5"}};
    ChildOutcome run = runInChild([] { resetToBootloader("COM5"); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, (Lines{"~ open \\\\.\\COM5 100", "~ settings 100 1200", "~ sleep 100",
                              "~ close 100", "[INFO] Triggered 1200bps reset on COM5"}));

    run = runInChild([] { resetToBootloader("COM99"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Failed to open port COM99\n");
    EXPECT_EQ(run.out, Lines{"~ open \\\\.\\COM99 -1"});

    for (const auto& [result, line] : {std::pair{os::LineResult::readFailed, "Error getting COM state.\n"},
                                       std::pair{os::LineResult::applyFailed, "Error setting COM parameters.\n"}}) {
        fake::lineResult = result;
        run = runInChild([] { resetToBootloader("COM5"); });
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, line);
        EXPECT_EQ(run.out, (Lines{"~ open \\\\.\\COM5 100", "~ settings 100 1200", "~ close 100"}));
    }
}

TEST_F(Logic, DetectionWaitsFirstThenScansAllPortsExactlyOneHundredTimes) {
    const ChildOutcome run = runInChild([] { waitForBootloaderPort({}); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "[ERROR] Timeout: No new COM port detected.\n");
    EXPECT_EQ(programLines(run.out), Lines{"[INFO] Waiting for bootloader COM port..."});
    EXPECT_EQ(count(run.out, "~ sleep 50"), 100u);
    EXPECT_EQ(count(run.out, "~ open "), 25600u);
    EXPECT_EQ(run.out.size(), 1u + 100u + 25600u);
    EXPECT_EQ(Lines(run.out.begin() + 1, run.out.begin() + 3),
              (Lines{"~ sleep 50", "~ open \\\\.\\COM1 -1"}));
    EXPECT_EQ(run.out.back(), "~ open \\\\.\\COM256 -1");
}

TEST_F(Logic, DetectionTakesTheFirstNewNameInByteOrder) {
    // Poll 1: the board's port has gone. Poll 2: COM9 and COM10 together.
    fake::scans = {{"COM1"}, {"COM1", "COM9", "COM10"}};
    const ChildOutcome run = runInChild([] {
        std::printf("~ returned %s\n", waitForBootloaderPort({"COM1", "COM5"}).c_str());
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(programLines(run.out), (Lines{"[INFO] Waiting for bootloader COM port...",
                                            "[INFO] New port detected: COM10"}));
    EXPECT_EQ(count(run.out, "~ sleep 50"), 2u);
    EXPECT_EQ(count(run.out, "~ open "), 512u);
    EXPECT_EQ(run.out.back(), "~ returned COM10");
}

TEST_F(Logic, ProgrammerRunsAfterItsLineIsOutAndItsStatusDecides) {
    for (const int status : {0, 1, -5, 9009}) {
        fake::commandStatus = status;
        const ChildOutcome run = runInChild([] { flashFirmware("COM6"); });
        Lines out{"[INFO] Running: " + kCommand, "~ system " + kCommand};
        if (status == 0) out.push_back("[INFO] Flash successful!");
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.status, status == 0 ? 0 : 1);
        EXPECT_EQ(run.err, status == 0 ? "" : "[ERROR] avrdude failed with code " +
                                                  std::to_string(status) + "\n");
    }
}

TEST_F(Logic, FlashSequenceSnapshotsResetsDetectsAndProgramsInThatOrder) {
    // The board's port is gone for two polls; then its bootloader is COM6.
    fake::scans = {{"COM1", "COM5"}, {"COM1"}, {"COM1"}, {"COM1", "COM6"}};
    const ChildOutcome run = runInChild([] { runFlashSequence("COM5"); });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    const auto found = [](const std::string& l) { return l.substr(l.size() - 3) != " -1"; };
    EXPECT_EQ(only(run.out, found),
              (Lines{"~ open \\\\.\\COM1 100", "~ close 100", "~ open \\\\.\\COM5 101", "~ close 101",
                     "~ open \\\\.\\COM5 102", "~ settings 102 1200", "~ sleep 100", "~ close 102",
                     "[INFO] Triggered 1200bps reset on COM5",
                     "[INFO] Waiting for bootloader COM port...",
                     "~ sleep 50", "~ open \\\\.\\COM1 103", "~ close 103",
                     "~ sleep 50", "~ open \\\\.\\COM1 104", "~ close 104",
                     "~ sleep 50", "~ open \\\\.\\COM1 105", "~ close 105",
                     "~ open \\\\.\\COM6 106", "~ close 106", "[INFO] New port detected: COM6",
                     "[INFO] Running: " + kCommand, "~ system " + kCommand,
                     "[INFO] Flash successful!"}));
}

TEST_F(Logic, FlashSequenceStopsAtTheFirstFailingStep) {
    // A wrong name: one silent scan, then the open failure.
    fake::scans = {{"COM5"}};
    ChildOutcome run = runInChild([] { runFlashSequence("COM7"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Failed to open port COM7\n");
    EXPECT_EQ(programLines(run.out), Lines{});
    EXPECT_EQ(count(run.out, "~ open "), 257u);

    // The bootloader comes back under the board's own name: the programmer
    // never runs.
    run = runInChild([] { runFlashSequence("COM5"); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "[ERROR] Timeout: No new COM port detected.\n");
    EXPECT_EQ(programLines(run.out).size(), 2u);
    EXPECT_EQ(count(run.out, "~ system"), 0u);
}

}  // namespace
