// The POSIX stand-in for the serial port interface, on real files and
// pseudo-terminals in a temporary device directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
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
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    void makeFile(const std::string& name) {
        close(open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
    }
    // A pty's slave, closed, linked as name; returns the master (it reads the slave's settings).
    int linkPty(const std::string& name, const termios* settings = nullptr) {
        int master = -1, slave = -1;
        char path[64];
        EXPECT_EQ(openpty(&master, &slave, path, settings, nullptr), 0);
        close(slave);
        EXPECT_EQ(symlink(path, (dir + "/" + name).c_str()), 0);
        return master;
    }
    std::string dir;
};

TEST_F(PosixOs, DevicePathsOpenNamesInsideTheDeviceDirectoryForReadingAndWriting) {
    makeFile("COM5");
    const os::PortHandle port = os::openPort("\\\\.\\COM5");
    ASSERT_NE(port, os::kNoPort);
    EXPECT_EQ(fcntl(static_cast<int>(port), F_GETFL) & O_ACCMODE, O_RDWR);
    os::closePort(port);
    for (const char* path : {"COM5", "\\\\.\\", "\\\\.\\..", "\\\\.\\../COM5", "\\\\.\\COM7"}) {
        EXPECT_EQ(os::openPort(path), os::kNoPort) << path;
    }
    // An empty device directory is /dev.
    if (geteuid() == 0) {
        const std::string name = "portkick-test-" + std::to_string(getpid());
        close(open(("/dev/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
        setenv("PORTKICK_DEVICE_DIR", "", 1);
        const os::PortHandle inDev = os::openPort("\\\\.\\" + name);
        unlink(("/dev/" + name).c_str());
        EXPECT_NE(inDev, os::kNoPort);
        os::closePort(inDev);
    }
}

TEST_F(PosixOs, PortHeldOpenByAnyoneElseDoesNotOpenLockedOrNot) {
    // A pseudo-terminal, and a regular file that stands for a port.
    const int master = linkPty("COM5");
    makeFile("COM6");
    for (const std::string name : {"COM5", "COM6"}) {
        const std::string path = "\\\\.\\" + name;
        const int monitor = open((dir + "/" + name).c_str(), O_RDWR | O_NOCTTY);  // no lock
        EXPECT_EQ(os::openPort(path), os::kNoPort) << name;
        close(monitor);
        const os::PortHandle first = os::openPort(path);  // another portkick run, locked
        ASSERT_NE(first, os::kNoPort) << name;
        EXPECT_EQ(os::openPort(path), os::kNoPort) << name;
        os::closePort(first);
    }
    close(master);
}

TEST_F(PosixOs, LineSettingsBecome1200Baud8N1AndKeepEverythingElse) {
    termios before{};
    before.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | CREAD;
    before.c_iflag = IXON;
    before.c_lflag = ECHO;
    cfsetspeed(&before, B9600);
    const int master = linkPty("COM5", &before);
    const os::PortHandle port = os::openPort("\\\\.\\COM5");
    ASSERT_NE(port, os::kNoPort);
    EXPECT_EQ(os::setLineSettings(port, 1200), os::LineResult::applied);
    os::closePort(port);

    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), B1200);
    EXPECT_EQ(cfgetispeed(&after), B1200);
    EXPECT_EQ(after.c_cflag & ~CBAUD, tcflag_t{CS8 | CRTSCTS | CREAD});
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    close(master);
}

TEST_F(PosixOs, CommandStatusIsTheExitCodeOr128PlusTheSignal) {
    EXPECT_EQ(os::runCommand("exit 0"), 0);
    EXPECT_EQ(os::runCommand("exit 3"), 3);
    EXPECT_EQ(os::runCommand("kill -TERM $$"), 128 + SIGTERM);
}

TEST_F(PosixOs, SleepLastsAtLeastTheTimeAskedFor) {
    const auto start = std::chrono::steady_clock::now();
    os::sleepMs(100);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

}  // namespace
