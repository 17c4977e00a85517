// The POSIX stand-in for the serial port interface, on real files and
// pseudo-terminals in a temporary device directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "os/os.h"

namespace {

class PosixOs : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/portkick-dev-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("PORTKICK_DEVICE_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("PORTKICK_DEVICE_DIR");
        std::system(("rm -rf " + dir).c_str());
    }
    void makeFile(const std::string& name) {
        close(open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
    }
    std::string dir;
};

TEST_F(PosixOs, DevicePathsResolveOnlyToNamesInsideTheDeviceDirectory) {
    makeFile("COM5");
    mkdir((dir + "/sub").c_str(), 0700);
    makeFile("sub/COM6");

    const os::PortHandle port = os::openPort("\\\\.\\COM5");
    ASSERT_NE(port, os::kNoPort);
    EXPECT_EQ(fcntl(static_cast<int>(port), F_GETFL) & O_ACCMODE, O_RDWR);
    os::closePort(port);

    EXPECT_EQ(os::openPort("COM5"), os::kNoPort);  // no device prefix
    EXPECT_EQ(os::openPort("\\\\.\\"), os::kNoPort);
    EXPECT_EQ(os::openPort("\\\\.\\sub/COM6"), os::kNoPort);
    EXPECT_EQ(os::openPort("\\\\.\\.."), os::kNoPort);
    EXPECT_EQ(os::openPort("\\\\.\\COM7"), os::kNoPort);
}

TEST_F(PosixOs, PortHeldOpenByAnyoneElseDoesNotOpenLockedOrNot) {
    // A serial monitor holds the port without a lock: a pseudo-terminal, and a
    // regular file that stands for one.
    int master = -1;
    int slave = -1;
    char slavePath[64];
    ASSERT_EQ(openpty(&master, &slave, slavePath, nullptr, nullptr), 0);
    close(slave);
    ASSERT_EQ(symlink(slavePath, (dir + "/COM5").c_str()), 0);
    makeFile("COM6");
    for (const std::string name : {"COM5", "COM6"}) {
        SCOPED_TRACE(name);
        const std::string path = "\\\\.\\" + name;
        const int holder = open((dir + "/" + name).c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(holder, 0);
        EXPECT_EQ(os::openPort(path), os::kNoPort);
        close(holder);

        // A second portkick run holds it, locked.
        const os::PortHandle first = os::openPort(path);
        ASSERT_NE(first, os::kNoPort);
        EXPECT_EQ(os::openPort(path), os::kNoPort);
        os::closePort(first);

        const os::PortHandle again = os::openPort(path);
        EXPECT_NE(again, os::kNoPort);
        os::closePort(again);
    }
    close(master);
}

TEST_F(PosixOs, EmptyDeviceDirectoryMeansDev) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a file in /dev";
    }
    const std::string name = "portkick-test-" + std::to_string(getpid());
    close(open(("/dev/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
    setenv("PORTKICK_DEVICE_DIR", "", 1);
    const os::PortHandle port = os::openPort("\\\\.\\" + name);
    unlink(("/dev/" + name).c_str());
    EXPECT_NE(port, os::kNoPort);
    os::closePort(port);
}

TEST_F(PosixOs, LineSettingsBecome1200Baud8N1AndKeepEverythingElse) {
    int master = -1;
    int slave = -1;
    char slavePath[64];
    ASSERT_EQ(openpty(&master, &slave, slavePath, nullptr, nullptr), 0);
    termios before{};
    tcgetattr(slave, &before);
    before.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7;
    before.c_iflag |= IXON;
    cfsetspeed(&before, B9600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    close(slave);
    ASSERT_EQ(symlink(slavePath, (dir + "/COM5").c_str()), 0);

    const os::PortHandle port = os::openPort("\\\\.\\COM5");
    ASSERT_NE(port, os::kNoPort);
    EXPECT_EQ(os::setLineSettings(port, 1200), os::LineResult::applied);
    os::closePort(port);

    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);  // the master reads the slave's settings
    EXPECT_EQ(cfgetospeed(&after), B1200);
    EXPECT_EQ(cfgetispeed(&after), B1200);
    EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t{CS8});
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(after.c_iflag & IXON, 0u);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    close(master);
}

TEST_F(PosixOs, CommandStatusIsTheExitCodeOr128PlusTheSignal) {
    EXPECT_EQ(os::runCommand("exit 0"), 0);
    EXPECT_EQ(os::runCommand("exit 3"), 3);
    EXPECT_EQ(os::runCommand("kill -TERM $$"), 128 + SIGTERM);
    EXPECT_EQ(os::runCommand("no-such-command-here 2>/dev/null"), 127);
}

TEST_F(PosixOs, SleepLastsAtLeastTheTimeAskedFor) {
    const auto start = std::chrono::steady_clock::now();
    os::sleepMs(100);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

}  // namespace
