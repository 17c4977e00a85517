// The claim: how Linux serial programs claim a port, respected on every open
// and made by portkick itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/posix.h"

namespace os::posix {

namespace {

// The PID that a lock file's `size` bytes hold: in decimal text (as a rule
// ten digits and a newline), or an int in binary, four bytes that are no such
// text, in older locks. 0 when it is neither.
long ownerIn(const char* text, ssize_t size) {
    char* end = nullptr;
    const long owner = std::strtol(text, &end, 10);
    const bool wholeText = end != text && std::strspn(end, " \n") == static_cast<std::size_t>(text + size - end);
    int binary = 0;
    if (!wholeText && size == static_cast<ssize_t>(sizeof binary)) {
        std::memcpy(&binary, text, sizeof binary);
        return binary;
    }
    return end != text ? owner : 0;
}

// Whether the file at `path` is a UUCP lock that holds the port. Only a
// regular file can be one, and it is opened so that nothing put in its place
// (a FIFO, say: anybody may write to the lock directories) can block the
// open. A lock that exists but cannot be read counts as held, and so does one
// without an owner that can be made out: it may be one being written now.
bool lockHeld(const std::string& path) {
    const int file = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0) {
        return errno != ENOENT && errno != ENOTDIR && errno != ELOOP;
    }
    struct stat status {};
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(file);
        return false;
    }
    char text[64] = {};
    const ssize_t got = ::read(file, text, sizeof text - 1);
    ::close(file);
    const long owner = got > 0 ? ownerIn(text, got) : 0;
    return owner <= 0 || ::kill(static_cast<pid_t>(owner), 0) == 0 || errno == EPERM;
}

// Whether a UUCP lock in the usual places holds the port: under the name it
// has in the device directory, the name of the device behind it, or the
// device's numbers (LK.<filesystem major>.<major>.<minor>).
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
        char numbered[48];
        std::snprintf(numbered, sizeof numbered, "LK.%03u.%03u.%03u", major(device.st_dev),
                      major(device.st_rdev), minor(device.st_rdev));
        locks.push_back(numbered);
    }
    for (const char* directory : {"/run/lock/", "/var/lock/"}) {
        for (const std::string& lock : locks) {
            if (lockHeld(directory + lock)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool claimPort(int fd, const std::string& name) {
    // Another's flock makes ours fail; ours goes with the close.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    if (::isatty(fd) == 0) {
        return !lockedByUucp(fd, name);
    }
    // Another program's exclusive mode makes a non-root open fail (EBUSY);
    // root opens all the same, and must ask.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        return false;
    }
    // Exclusive from here on: whoever opens the port after the checks and
    // the look cannot slip in unseen.
    if (lockedByUucp(fd, name)) {
        unclaimPort(fd);
        return false;
    }
    return true;
}

void unclaimPort(int fd) {
    if (::isatty(fd) != 0) {
        ::ioctl(fd, TIOCNXCL);
    }
}

}  // namespace os::posix
