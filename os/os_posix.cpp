// POSIX stand-in for the Windows serial port interface.
//
// A device path "\\.\NAME" names the file NAME inside the device directory:
// $PORTKICK_DEVICE_DIR, or /dev when that is unset. Opening takes an exclusive
// flock on the descriptor, the way Windows opens a port with share mode 0.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "os/os.h"

namespace os {

namespace {

const char kDevicePrefix[] = "\\\\.\\";

speed_t speedFor(unsigned baud) {
    switch (baud) {
        case 1200: return B1200;
        case 9600: return B9600;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}

}  // namespace

PortHandle openPort(const std::string& devicePath) {
    const std::string prefix = kDevicePrefix;
    if (devicePath.compare(0, prefix.size(), prefix) != 0) {
        return kNoPort;
    }
    const std::string name = devicePath.substr(prefix.size());
    if (name.empty() || name.find('/') != std::string::npos) {
        return kNoPort;
    }
    const char* dir = std::getenv("PORTKICK_DEVICE_DIR");
    const std::string path = std::string(dir != nullptr ? dir : "/dev") + "/" + name;

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kNoPort;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return kNoPort;
    }
    return fd;
}

void closePort(PortHandle port) {
    ::close(static_cast<int>(port));
}

LineResult setLineSettings(PortHandle port, unsigned baud) {
    const int fd = static_cast<int>(port);
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return LineResult::readFailed;
    }
    const speed_t speed = speedFor(baud);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8;
    if (speed == B0 || ::cfsetispeed(&settings, speed) != 0 ||
        ::cfsetospeed(&settings, speed) != 0 ||
        ::tcsetattr(fd, TCSANOW, &settings) != 0) {
        return LineResult::applyFailed;
    }
    // tcsetattr succeeds when any part of the change took: read back to be
    // sure all of it did.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetospeed(&applied) != speed ||
        ::cfgetispeed(&applied) != speed ||
        (applied.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8) {
        return LineResult::applyFailed;
    }
    return LineResult::applied;
}

void sleepMs(unsigned milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(deadline - now);
    }
}

int runCommand(const std::string& commandLine) {
    const int status = std::system(commandLine.c_str());
    if (status == -1) {
        return -1;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 128;
}

}  // namespace os
