// The look: whether any other process has the port open, claimed or not, by
// a walk through every table of open files in /proc. Made once a run, for
// the touch.
#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/posix.h"

namespace os::posix {

namespace {

// One look, from its start to its verdict.
struct Look {
    struct statx port {};   // the port, as samePort compares files with it
    bool aliased = false;   // opened through an alias node such as /dev/tty
    int ownFd = -1;         // the port's descriptor in this process
    bool kcmpWorks = true;  // else every thread's table is looked at
    bool sawSelf = false;   // the walk found ownFd: it sees this process
    bool failed = false;    // the walk could not be made in full
};

// Pseudo-terminal slaves have these majors, and their numbers start again
// in every devpts instance (every container has one): the same number on
// another instance is another terminal.
bool isPtySlave(const struct statx& file) {
    return file.stx_rdev_major >= 136 && file.stx_rdev_major < 144;
}

// Whether `other` is the port. For a device that is the device itself,
// whatever node it was opened by, and for a pseudo-terminal also its devpts
// instance (unknown when the port was reached through an alias: then any
// instance counts). For anything else, the same file.
bool samePort(const Look& look, const struct statx& other) {
    const struct statx& port = look.port;
    if ((port.stx_mode & S_IFMT) != (other.stx_mode & S_IFMT)) {
        return false;
    }
    const bool sameDevice = port.stx_dev_major == other.stx_dev_major &&
                            port.stx_dev_minor == other.stx_dev_minor;
    if (S_ISCHR(port.stx_mode) || S_ISBLK(port.stx_mode)) {
        return port.stx_rdev_major == other.stx_rdev_major &&
               port.stx_rdev_minor == other.stx_rdev_minor &&
               (look.aliased || !isPtySlave(port) || sameDevice);
    }
    return sameDevice && port.stx_ino == other.stx_ino;
}

// A process that has ended is passed over.
bool ended(int error) {
    return error == ENOENT || error == ESRCH;
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

// The next entry of `dir` but "." and "..", or nullptr at its end. A
// directory that cannot be read to its end makes the look fail.
const char* nextName(Look& look, DIR* dir) {
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            look.failed = look.failed || (errno != 0 && !ended(errno));
            return nullptr;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            return entry->d_name;
        }
    }
}

// Whether the descriptor `number` in the task directory `task` only names
// the port's node (O_PATH) rather than having the port open.
bool onlyNames(int task, const char* number) {
    const int info = ::openat(task, (std::string("fdinfo/") + number).c_str(), O_RDONLY | O_CLOEXEC);
    char text[256] = {};
    const ssize_t got = info < 0 ? -1 : ::read(info, text, sizeof text - 1);
    if (info >= 0) {
        ::close(info);
    }
    const char* flags = got > 0 ? std::strstr(text, "\nflags:") : nullptr;
    return flags != nullptr && (std::strtoul(flags + 7, nullptr, 8) & O_PATH) != 0;
}

// What one table of open files says of the port.
enum class Table { free, holdsPort, hidden };

// Looks at one table of open files, that of the task directory `task`.
// `own`: the table is this process's, where the port's own descriptor is no
// other holder. A descriptor that cannot be looked at (a file on another
// user's FUSE mount answers EACCES even to root) says nothing of the others.
Table lookAtTable(Look& look, int task, bool own) {
    DIR* fds = openDirectory(task, "fd");
    if (fds == nullptr) {
        if (errno == EACCES || errno == EPERM) {
            return Table::hidden;
        }
        look.failed = look.failed || !ended(errno);
        return Table::free;
    }
    Table found = Table::free;
    while (const char* number = found == Table::free ? nextName(look, fds) : nullptr) {
        // Cached attributes only: a stat that went to the filesystem of each
        // file would wait for any filesystem that stopped answering.
        struct statx other {};
        if (::statx(::dirfd(fds), number, AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &other) != 0) {
            look.failed = look.failed || !(errno == ENOENT || errno == EACCES || errno == EPERM);
            continue;  // ENOENT: closed meanwhile
        }
        if (!samePort(look, other)) {
            continue;
        }
        if (own && std::atoi(number) == look.ownFd) {
            look.sawSelf = true;
        } else if (!onlyNames(task, number)) {
            found = Table::holdsPort;
        }
    }
    ::closedir(fds);
    return found;
}

// Whether the process `pid` is run by this process's user (its real user
// ID), as /proc/PID/status tells even when its descriptors are hidden.
bool runByUs(int proc, const char* pid) {
    const int file = ::openat(proc, (std::string(pid) + "/status").c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return !ended(errno);
    }
    char text[4096] = {};
    const ssize_t got = ::read(file, text, sizeof text - 1);
    ::close(file);
    const char* uid = got > 0 ? std::strstr(text, "\nUid:") : nullptr;
    return uid == nullptr || std::strtoul(uid + 5, nullptr, 10) == ::getuid();
}

// Whether one process holds the port, in any table of open files it has.
// Threads normally share one table; a thread that has its own, or that
// outlives the main thread (whose table then reads empty), has it looked at
// too. Where kcmp cannot compare tables, every thread's is looked at. When
// not run as root, another user's process is out of sight and passed over;
// one of our own never is: hidden (it made itself non-dumpable, or changed
// its credentials), it makes the look fail.
bool processHolds(Look& look, int proc, const char* pid) {
    DIR* tasks = openDirectory(proc, std::string(pid) + "/task");
    if (tasks == nullptr) {
        look.failed = look.failed || !ended(errno);
        return false;
    }
    const bool own = std::atol(pid) == ::getpid();
    std::vector<long> looked;
    Table found = Table::free;
    while (const char* task = found == Table::free && !look.failed ? nextName(look, tasks) : nullptr) {
        const long id = std::atol(task);
        if (look.kcmpWorks && std::any_of(looked.begin(), looked.end(), [&](long other) {
                const long order = look.kcmpWorks ? ::syscall(SYS_kcmp, id, other, KCMP_FILES, 0, 0) : 1;
                look.kcmpWorks = order >= 0 || ended(errno);  // refused once, it is not asked again
                return order == 0;
            })) {
            continue;  // the same table as a thread already looked at
        }
        looked.push_back(id);
        const int taskDir = ::openat(::dirfd(tasks), task, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (taskDir < 0) {
            look.failed = look.failed || !ended(errno);
            continue;
        }
        found = lookAtTable(look, taskDir, own);
        ::close(taskDir);
    }
    ::closedir(tasks);
    if (found == Table::hidden) {
        look.failed = runByUs(proc, pid);
    }
    return found == Table::holdsPort;
}

// The file that `fd` has open, as samePort compares it. A terminal reached
// through an alias node is the terminal behind it (TIOCGDEV).
bool identify(Look& look, int fd) {
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO, &look.port) != 0) {
        return false;
    }
    look.ownFd = fd;
    unsigned int device = 0;
    if (S_ISCHR(look.port.stx_mode) && ::ioctl(fd, TIOCGDEV, &device) == 0) {
        const unsigned behind = major(device), number = minor(device);
        look.aliased = behind != look.port.stx_rdev_major || number != look.port.stx_rdev_minor;
        look.port.stx_rdev_major = behind;
        look.port.stx_rdev_minor = number;
    }
    return true;
}

}  // namespace

// The look must find `fd` itself: a /proc that is missing, or that belongs
// to another PID namespace, does not show this process.
bool aloneOnPort(int fd) {
    Look look;
    DIR* proc = identify(look, fd) ? openDirectory(AT_FDCWD, "/proc") : nullptr;
    if (proc == nullptr) {
        return false;
    }
    bool held = false;
    while (const char* pid = held || look.failed ? nullptr : nextName(look, proc)) {
        if (pid[0] >= '1' && pid[0] <= '9') {
            held = processHolds(look, ::dirfd(proc), pid);
        }
    }
    ::closedir(proc);
    return !held && !look.failed && look.sawSelf;
}

}  // namespace os::posix
