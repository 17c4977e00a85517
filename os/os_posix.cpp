// POSIX stand-in for the Windows serial port interface.
//
// A device path "\\.\NAME" names the file NAME inside the device directory:
// $PORTKICK_DEVICE_DIR, or /dev when that is unset or empty. A port opens
// only when nobody else has it open, the way Windows opens a port with share
// mode 0: the opener takes an exclusive flock, so that two portkick runs
// exclude each other at once, and a port that any other open file
// description refers to (a serial monitor that never locks) counts as held.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
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

bool sameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode)) {
        // One device can have several nodes; what counts is the device.
        return (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_rdev == b.st_rdev;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Calls visit(name) for every entry of the open directory `dir` but "." and
// "..", until it returns true; says whether one did. Reads the entries
// straight into a buffer on the stack: this runs for every process on the
// machine, every time a port opens.
template <typename Visit>
bool anyEntry(int dir, Visit visit) {
    alignas(8) char buffer[8192];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        for (long at = 0; at < got;) {
            struct Entry {
                ino64_t ino;
                off64_t off;
                unsigned short reclen;
                unsigned char type;
                char name[1];
            };
            const auto* entry = reinterpret_cast<const Entry*>(buffer + at);
            at += entry->reclen;
            if (entry->name[0] != '.' && visit(entry->name)) {
                return true;
            }
        }
    }
}

// Whether any open descriptor other than our own `fd` refers to the file that
// `fd` has open: every process's descriptors in /proc are looked at. A process
// whose descriptors cannot be read (another user's, when not run as root) is
// taken to hold nothing.
bool heldElsewhere(int fd) {
    struct stat port {};
    if (::fstat(fd, &port) != 0) {
        return true;
    }
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        return false;
    }
    const std::string self = std::to_string(::getpid());
    const std::string ownFd = std::to_string(fd);
    const bool held = anyEntry(proc, [&](const char* pid) {
        if (pid[0] < '1' || pid[0] > '9') {
            return false;
        }
        const int fds = ::openat(proc, (std::string(pid) + "/fd").c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fds < 0) {
            return false;
        }
        const bool isSelf = self == pid;
        const bool found = anyEntry(fds, [&](const char* number) {
            struct stat other {};
            return !(isSelf && ownFd == number) && ::fstatat(fds, number, &other, 0) == 0 &&
                   sameFile(port, other);
        });
        ::close(fds);
        return found;
    });
    ::close(proc);
    return held;
}

}  // namespace

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
    const std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/dev") + "/" + name;

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kNoPort;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || heldElsewhere(fd)) {
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
