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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

LineResult setLineSettings(PortHandle port) {
    const int fd = static_cast<int>(port);
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return LineResult::readFailed;
    }
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8;
    if (::cfsetispeed(&settings, B1200) != 0 || ::cfsetospeed(&settings, B1200) != 0 ||
        ::tcsetattr(fd, TCSANOW, &settings) != 0) {
        return LineResult::applyFailed;
    }
    // tcsetattr succeeds when any part of the change took: read back to be
    // sure all of it did.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetospeed(&applied) != B1200 ||
        ::cfgetispeed(&applied) != B1200 ||
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

// The wrapper avrdude.exe learns the device directory from the command's
// environment.
int runCommand(const std::string& commandLine) {
    putOwnToolsFirstOnPath();
    ::setenv("PORTKICK_DEVICE_DIR", posix::deviceDirectory().c_str(), 1);
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

namespace {

// The turn is an flock on a lock file of the device directory's own, named
// by the directory's device and inode numbers, in the first of /run/lock,
// /var/lock and /tmp where every user may make files (sticky and writable by
// all, as the lock directories are on Debian; on some systems they are
// root's alone), so that the runs of root and of every user meet on one
// file. Any user can take it: the file is made with mode 0666, whatever the
// umask, and opened without O_CREAT where it exists (a sticky directory may
// refuse O_CREAT on another user's file), in a way that nothing put in its
// place can block. -1 where there is none.
int openTurnLock() {
    struct stat directory {};
    if (::stat(posix::deviceDirectory().c_str(), &directory) != 0) {
        return -1;
    }
    for (const char* locks : {"/run/lock", "/var/lock", "/tmp"}) {
        struct stat found {};
        const mode_t everyone = S_ISVTX | S_IWOTH;
        if (::stat(locks, &found) != 0 || !S_ISDIR(found.st_mode) || (found.st_mode & everyone) != everyone) {
            continue;
        }
        const std::string path = std::string(locks) + "/portkick-" + std::to_string(directory.st_dev) +
                                 "-" + std::to_string(directory.st_ino);
        const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        int fd = ::open(path.c_str(), flags);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
            if (fd >= 0) {
                ::fchmod(fd, 0666);
            } else if (errno == EEXIST) {
                fd = ::open(path.c_str(), flags);
            }
        }
        return fd;
    }
    return -1;
}

std::uint64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

// The lock's descriptor stays open, and the turn held, until the process
// ends; avrdude does not inherit it.
bool takeTurn(bool wait) {
    const int lock = openTurnLock();
    if (lock < 0) {
        return true;
    }
    int taken;
    while ((taken = ::flock(lock, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (taken != 0 && errno == EWOULDBLOCK) {
        ::close(lock);
        return false;
    }
    return true;
}

// The note is the lock file's text: the monotonic time in nanoseconds at
// which it was left, a newline, the note.
std::string turnNote(std::uint64_t& age) {
    const int lock = openTurnLock();
    char text[512] = {};
    const ssize_t got = lock < 0 ? -1 : ::pread(lock, text, sizeof text - 1, 0);
    if (lock >= 0) {
        ::close(lock);
    }
    char* note = got > 0 ? std::strchr(text, '\n') : nullptr;
    if (note == nullptr) {
        return "";
    }
    const std::uint64_t left = std::strtoull(text, nullptr, 10), now = monotonicNs();
    age = left <= now ? (now - left) / 1000000 : UINT64_MAX;
    return note + 1;
}

void leaveTurnNote(const std::string& note) {
    const int lock = openTurnLock();
    if (lock < 0) {
        return;
    }
    const std::string text = note.empty() ? "" : std::to_string(monotonicNs()) + "\n" + note;
    if (::ftruncate(lock, 0) == 0 && !text.empty()) {
        (void)!::pwrite(lock, text.data(), text.size(), 0);
    }
    ::close(lock);
}

}  // namespace os
