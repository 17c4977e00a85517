// POSIX stand-in for the Windows serial port interface. A device path
// "\\.\NAME" names the file NAME in the device directory; posix.h says how
// a port is opened as exclusively as Windows opens one.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "os/os.h"
#include "os/posix.h"

namespace os {

std::string posix::deviceDirectory() {
    const char* dir = std::getenv("PORTKICK_DEVICE_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/dev";
}

void prepareProcess() {
    // A closed standard stream would hand its number to the next descriptor
    // opened, a port say, and every later write to that stream would go into
    // the port (the command processor's children inherit it too).
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
            ::open("/dev/null", O_RDWR) == -1) {
            std::_Exit(1);
        }
    }
    // A reader that went away makes a write fail, not end the run: the board
    // is flashed all the same. avrdude inherits this, as it should.
    ::signal(SIGPIPE, SIG_IGN);
    // With SIGCHLD ignored, children are reaped before system() can read
    // their status.
    ::signal(SIGCHLD, SIG_DFL);
}

PortHandle openPort(const std::string& devicePath, OpenFor purpose) {
    const std::string prefix = "\\\\.\\";
    const std::string name = devicePath.substr(std::min(prefix.size(), devicePath.size()));
    if (devicePath.compare(0, prefix.size(), prefix) != 0 || name.empty() ||
        name.find('/') != std::string::npos) {
        return kNoPort;
    }
    const std::string path = posix::deviceDirectory() + "/" + name;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kNoPort;
    }
    if (!posix::claimPort(fd, name)) {
        ::close(fd);
        return kNoPort;
    }
    if (purpose == OpenFor::touch && !posix::aloneOnPort(fd)) {
        closePort(fd);
        return kNoPort;
    }
    return fd;
}

void closePort(PortHandle port) {
    posix::unclaimPort(static_cast<int>(port));
    ::close(static_cast<int>(port));
}

LineResult setLineSettings(PortHandle port, unsigned baud) {
    const int fd = static_cast<int>(port);
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return LineResult::readFailed;
    }
    const speed_t speed = baud == 1200 ? B1200 : B0;  // the touch's is the only speed asked for
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

// sleep_for sleeps with nanosleep, which measures by the monotonic clock and
// never returns early, and sleeps again for what is left when a signal
// wakes it.
void sleepMs(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {

// An installed portkick keeps its avrdude.exe wrapper in lib/portkick beside
// its bin/ directory: that directory goes first on the PATH that the command
// processor searches, so that the wrapper runs wherever the package was
// unpacked, with no set-up. The program is found through /proc/self/exe,
// which names the file itself, not a link to it. A build tree has no such
// directory, and there the caller's PATH decides alone.
void putOwnToolsFirstOnPath() {
    char program[4096];
    const ssize_t length = ::readlink("/proc/self/exe", program, sizeof program);
    if (length <= 0 || length == static_cast<ssize_t>(sizeof program)) {
        return;
    }
    const std::string path(program, static_cast<std::size_t>(length));
    const std::string tools = path.substr(0, path.rfind('/')) + "/../lib/portkick";
    struct stat found {};
    if (::stat(tools.c_str(), &found) != 0 || !S_ISDIR(found.st_mode)) {
        return;
    }
    // An unset PATH means the shell's default search, which must stay.
    const char* old = std::getenv("PATH");
    const std::string rest = old != nullptr && *old != '\0' ? old : "/usr/bin:/bin";
    ::setenv("PATH", (tools + ":" + rest).c_str(), 1);
}

}  // namespace

int runCommand(const std::string& commandLine) {
    putOwnToolsFirstOnPath();
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
