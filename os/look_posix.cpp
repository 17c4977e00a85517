// The look: whether any other process has the port open, claimed or not, by
// a walk through every table of open files in /proc. Made once a run, for
// the touch.
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
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
    bool mayTraceAll = false;  // CAP_SYS_PTRACE: only a sandbox hides from it
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

// Whether the descriptor `number` of the task `task` (in the task directory
// `tasks`) only names the port's node (O_PATH) rather than having it open.
bool onlyNames(int tasks, const std::string& task, const char* number) {
    const int info = ::openat(tasks, (task + "/fdinfo/" + number).c_str(), O_RDONLY | O_CLOEXEC);
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

// Looks at one table of open files, that of the task `task` (in `tasks`).
// `own`: the table is this process's, where the port's own descriptor is no
// other holder. The table is hidden when its descriptors cannot be read; a
// file that will not be looked at (on another user's FUSE mount, it answers
// EACCES even to root) says nothing of the others.
Table lookAtTable(Look& look, int tasks, const std::string& task, bool own) {
    DIR* fds = openDirectory(tasks, task + "/fd");
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
            const bool refused = errno == EACCES || errno == EPERM;
            char target;
            if (refused && ::readlinkat(::dirfd(fds), number, &target, 1) < 0 && (errno == EACCES || errno == EPERM)) {
                found = Table::hidden;  // the table's descriptors, not this file alone
            }
            look.failed = look.failed || !(refused || errno == ENOENT);  // ENOENT: closed meanwhile
            continue;
        }
        if (!samePort(look, other)) {
            continue;
        }
        if (own && std::atoi(number) == look.ownFd) {
            look.sawSelf = true;
        } else if (!onlyNames(tasks, task, number)) {
            found = Table::holdsPort;
        }
    }
    ::closedir(fds);
    return found;
}

// The value of a field ("Uid", "State", "CapEff") of a status file of
// /proc, which is there even where the descriptors are hidden; "" when there
// is none.
std::string statusField(int at, const std::string& path, const char* field) {
    const int file = ::openat(at, path.c_str(), O_RDONLY | O_CLOEXEC);
    char text[4096] = {};
    const ssize_t got = file < 0 ? -1 : ::read(file, text, sizeof text - 1);
    if (file >= 0) {
        ::close(file);
    }
    const std::string key = "\n" + std::string(field) + ":";
    const char* found = got > 0 ? std::strstr(text, key.c_str()) : nullptr;
    if (found == nullptr) {
        return "";
    }
    found += key.size() + std::strspn(found + key.size(), " \t");
    return std::string(found, std::strcspn(found, "\n"));
}

// What a table that the look cannot read means. Out of sight: another
// user's (the look is not root's), or one that a look that may trace any
// process cannot see (a sandbox keeps it to itself). Empty: a task that has
// ended but not been reaped, whose table reads as root's. Failed: a table
// of our own user's that was hidden from us (the process made itself
// non-dumpable, or changed its credentials); our own are never out of sight.
enum class Hidden { outOfSight, empty, failed };

Hidden whyHidden(const Look& look, int tasks, const std::string& task) {
    const std::string state = statusField(tasks, task + "/status", "State");
    const std::string uid = statusField(tasks, task + "/status", "Uid");
    if (state[0] == 'Z' || state[0] == 'X') {
        return Hidden::empty;
    }
    return !look.mayTraceAll && !uid.empty() && std::strtoul(uid.c_str(), nullptr, 10) == ::getuid()
               ? Hidden::failed
               : Hidden::outOfSight;
}

// Whether one process holds the port, in any table of open files it has.
// Threads normally share one table; a thread that has its own, or that
// outlives the main thread (whose table then reads empty), has it looked at
// too. Where kcmp cannot compare tables, every thread's is looked at.
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
        found = lookAtTable(look, ::dirfd(tasks), task, own);
        const Hidden hidden = found == Table::hidden ? whyHidden(look, ::dirfd(tasks), task) : Hidden::outOfSight;
        if (found == Table::hidden && hidden == Hidden::empty) {
            found = Table::free;  // the other threads' tables may be seen
        }
        look.failed = look.failed || (found == Table::hidden && hidden == Hidden::failed);
    }
    ::closedir(tasks);
    return found == Table::holdsPort;
}

// The file that `fd` has open, as samePort compares it. A terminal reached
// through an alias node is the terminal behind it (TIOCGDEV).
bool identify(Look& look, int fd) {
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO, &look.port) != 0) {
        return false;
    }
    look.ownFd = fd;
    const std::string capabilities = statusField(AT_FDCWD, "/proc/self/status", "CapEff");
    look.mayTraceAll = (std::strtoull(capabilities.c_str(), nullptr, 16) >> CAP_SYS_PTRACE & 1) != 0;
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
