// POSIX stand-in for the Windows serial port interface.
//
// A device path "\\.\NAME" names the file NAME inside the device directory:
// $PORTKICK_DEVICE_DIR, or /dev when that is unset or empty.
//
// Windows opens a port with share mode 0: nobody else may have it open, and
// nobody else can open it until it is closed. Here that takes two steps.
//
// Every open refuses a port that another program has claimed the way Linux
// serial programs claim one: an exclusive flock (portkick takes one too, so
// that two runs exclude each other at once), the terminal's exclusive mode
// (TIOCEXCL), or a UUCP lock file whose owner is alive. Each costs a system
// call or two, whatever else runs on the machine, so the 101 scans of a run
// stay cheap.
//
// The touch, which switches the port's line, also refuses a port that any
// other process has open at all, claimed or not (a serial monitor that never
// locks): it looks through every process's descriptors in /proc, once per
// run. When that look cannot be made in full, the port counts as held.
//
// From the open to the close the terminal is in exclusive mode, so that
// nobody but root can open it meanwhile.
#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"

namespace os {

namespace {

const char kDevicePrefix[] = "\\\\.\\";

// Pseudo-terminal slaves have these majors, and their numbers start again
// in every devpts instance (every container has one): the same number on
// another instance is another terminal.
bool isPtySlave(const struct statx& file) {
    return file.stx_rdev_major >= 136 && file.stx_rdev_major < 144;
}

// Whether `other` is the port. For a device that is the device itself,
// whatever node it was opened by, and for a pseudo-terminal also its devpts
// instance (unknown when the port was reached through an alias such as
// /dev/tty: then any instance counts). For anything else, the same file.
bool samePort(const struct statx& port, bool aliased, const struct statx& other) {
    if ((port.stx_mode & S_IFMT) != (other.stx_mode & S_IFMT)) {
        return false;
    }
    const bool sameDevice = port.stx_dev_major == other.stx_dev_major &&
                            port.stx_dev_minor == other.stx_dev_minor;
    if (S_ISCHR(port.stx_mode) || S_ISBLK(port.stx_mode)) {
        return port.stx_rdev_major == other.stx_rdev_major &&
               port.stx_rdev_minor == other.stx_rdev_minor &&
               (aliased || !isPtySlave(port) || sameDevice);
    }
    return sameDevice && port.stx_ino == other.stx_ino;
}

// The file that `fd` has open, as samePort compares it. A terminal reached
// through an alias node is the terminal behind it (TIOCGDEV), and `aliased`
// says so.
bool identify(int fd, struct statx& port, bool& aliased) {
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO, &port) != 0) {
        return false;
    }
    aliased = false;
    unsigned int device = 0;
    if (S_ISCHR(port.stx_mode) && ::ioctl(fd, TIOCGDEV, &device) == 0) {
        const unsigned behind = major(device), number = minor(device);
        aliased = behind != port.stx_rdev_major || number != port.stx_rdev_minor;
        port.stx_rdev_major = behind;
        port.stx_rdev_minor = number;
    }
    return true;
}

// Opens `path` below the directory `at` for reading its entries.
DIR* openDirectory(int at, const std::string& path) {
    const int fd = ::openat(at, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
    }
    return dir;
}

// A process that has ended, or that belongs to another user (when not run
// as root), is passed over; any other error means the look is incomplete.
bool passOver(int error) {
    return error == ENOENT || error == ESRCH || error == EACCES || error == EPERM;
}

// The next entry of `dir` but "." and "..", or nullptr at its end. Sets
// `failed` when the directory could not be read to its end.
const char* nextName(DIR* dir, bool& failed) {
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            failed = failed || (errno != 0 && !passOver(errno));
            return nullptr;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            return entry->d_name;
        }
    }
}

// What a look at one table of open files found.
enum class Table { free, holdsPort, outOfSight };

// Looks at every descriptor in one table of open files (a directory
// /proc/PID/task/TID/fd). `ownFd` is the port's own descriptor when the
// table is ours, else -1: seeing it proves that the look sees us.
Table lookAtTable(DIR* fds, const struct statx& port, bool aliased, int ownFd, bool& sawSelf,
                  bool& failed) {
    while (const char* number = nextName(fds, failed)) {
        // Cached attributes only: a stat that went to the filesystem of each
        // file would wait for any filesystem that stopped answering.
        struct statx other {};
        if (::statx(::dirfd(fds), number, AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &other) != 0) {
            if (errno == EACCES || errno == EPERM) {
                return Table::outOfSight;  // and so is every other descriptor here
            }
            failed = failed || errno != ENOENT;  // ENOENT: closed meanwhile
            continue;
        }
        if (samePort(port, aliased, other)) {
            if (std::atoi(number) != ownFd) {
                return Table::holdsPort;
            }
            sawSelf = true;
        }
    }
    return Table::free;
}

// Whether one process holds the port: in any table of open files it has.
// Threads normally share one table; a thread that has its own, or that
// outlives the main thread (whose table then reads empty), has it looked at
// too.
bool processHolds(int proc, const char* pid, const struct statx& port, bool aliased, int ownFd,
                  bool& sawSelf, bool& failed) {
    DIR* tasks = openDirectory(proc, std::string(pid) + "/task");
    if (tasks == nullptr) {
        failed = failed || !passOver(errno);
        return false;
    }
    const int own = std::atol(pid) == ::getpid() ? ownFd : -1;
    std::vector<long> looked;
    Table found = Table::free;
    while (found == Table::free && !failed) {
        const char* task = nextName(tasks, failed);
        if (task == nullptr) {
            break;
        }
        const long id = std::atol(task);
        if (std::any_of(looked.begin(), looked.end(), [&](long other) {
                return ::syscall(SYS_kcmp, id, other, KCMP_FILES, 0, 0) == 0;
            })) {
            continue;  // the same table as a thread already looked at
        }
        looked.push_back(id);
        DIR* fds = openDirectory(::dirfd(tasks), std::string(task) + "/fd");
        if (fds == nullptr) {
            failed = failed || !passOver(errno);
            continue;
        }
        found = lookAtTable(fds, port, aliased, own, sawSelf, failed);
        ::closedir(fds);
    }
    ::closedir(tasks);
    return found == Table::holdsPort;
}

// Whether the port that `fd` has open is free of every other descriptor of
// every process, our own included, as far as /proc shows. False also when
// the look cannot be made in full: /proc is missing or not this PID
// namespace's (the look must find `fd` itself), or a limit is reached.
// Other users' processes are out of sight when not run as root, and so are
// other PID namespaces' always.
bool aloneOnPort(int fd) {
    struct statx port {};
    bool aliased = false;
    if (!identify(fd, port, aliased)) {
        return false;
    }
    DIR* proc = openDirectory(AT_FDCWD, "/proc");
    if (proc == nullptr) {
        return false;
    }
    bool failed = false;
    bool sawSelf = false;
    bool held = false;
    while (!held && !failed) {
        const char* pid = nextName(proc, failed);
        if (pid == nullptr) {
            break;
        }
        if (pid[0] >= '1' && pid[0] <= '9') {
            held = processHolds(::dirfd(proc), pid, port, aliased, fd, sawSelf, failed);
        }
    }
    ::closedir(proc);
    return !held && !failed && sawSelf;
}

// Whether a UUCP lock file in the usual places claims the port, under the
// name it has in the device directory, the name of the device behind it, or
// the device's numbers (LK.<filesystem major>.<major>.<minor>), with an owner
// that is alive. A lock whose owner cannot be read counts: it may be one
// being written now.
bool lockedByUucp(int fd, const std::string& name) {
    std::vector<std::string> locks{"LCK.." + name};
    char target[256];
    const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target,
                                      sizeof target - 1);
    if (length > 0) {
        target[length] = '\0';
        const char* base = std::strrchr(target, '/');
        locks.push_back(std::string("LCK..") + (base != nullptr ? base + 1 : target));
    }
    struct stat device {};
    if (::fstat(fd, &device) == 0 && S_ISCHR(device.st_mode)) {
        char numbered[32];
        std::snprintf(numbered, sizeof numbered, "LK.%03u.%03u.%03u", major(device.st_dev),
                      major(device.st_rdev), minor(device.st_rdev));
        locks.push_back(numbered);
    }
    for (const char* directory : {"/run/lock/", "/var/lock/"}) {
        for (const std::string& lock : locks) {
            const int file = ::open((directory + lock).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (file < 0) {
                continue;
            }
            // The owner's PID: in decimal (ten digits and a newline), or an
            // int in binary in older locks.
            char text[64] = {};
            const ssize_t got = ::read(file, text, sizeof text - 1);
            ::close(file);
            char* end = text;
            long owner = std::strtol(text, &end, 10);
            if (end == text && got == static_cast<ssize_t>(sizeof(int))) {
                int binary = 0;
                std::memcpy(&binary, text, sizeof binary);
                owner = binary;
            }
            if (owner <= 0 || ::kill(static_cast<pid_t>(owner), 0) == 0 || errno == EPERM) {
                return true;
            }
        }
    }
    return false;
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

PortHandle openPort(const std::string& devicePath, OpenFor purpose) {
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

    // Another program's exclusive mode makes this open fail (EBUSY), unless
    // run as root, which must ask.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kNoPort;
    }
    const bool terminal = ::isatty(fd) != 0;
    int exclusive = 0;
    bool usable = ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                  (!terminal || (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0));
    // Exclusive from here on: whoever opens the port after the look below
    // cannot slip in unseen.
    const bool excluding = usable && terminal && ::ioctl(fd, TIOCEXCL) == 0;
    usable = usable && (excluding || !terminal) && !lockedByUucp(fd, name) &&
             (purpose == OpenFor::probe || aloneOnPort(fd));
    if (!usable) {
        if (excluding) {
            ::ioctl(fd, TIOCNXCL);
        }
        ::close(fd);
        return kNoPort;
    }
    return fd;
}

// The exclusive mode is cleared before the close: it would outlast it for
// anyone else who still has the terminal open.
void closePort(PortHandle port) {
    const int fd = static_cast<int>(port);
    if (::isatty(fd) != 0) {
        ::ioctl(fd, TIOCNXCL);
    }
    ::close(fd);
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
