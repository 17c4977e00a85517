// portkick-com-name: names USB serial ports COMn, the way Windows does, for
// the udev rule beside this file, which links /dev/COMn to the port.
//
// udev runs it for a tty device with the device's properties in the
// environment, and the port's number on an adapter (udev's private .ID_PORT,
// which it keeps out of the environment) as --port=N. The device's identity
// is its vendor ID, product ID, interface number (with "-portN" for a port
// other than an adapter's first on one interface) and serial number; a device
// without a serial number is told by the USB socket it is plugged into
// (ID_PATH) instead. Two devices can still share an identity (twin boards with
// one serial number): a device whose identity another device plugged in now
// already holds is told by its socket too. Every identity gets a number of its
// own for good: a new one the lowest free number from 3 to 256 (1 and 2 stand
// for Windows' legacy ports). The name goes to standard output; a port that is
// not on USB gets none.
//
// The numbers live in one text file, /var/lib/portkick/com-names, or the
// file that PORTKICK_COM_DB names, one identity a line, with comments. udev
// handles several devices at once: every run holds an flock on the file's
// ".lock" beside it, waiting for it 10 s at most, and a new identity goes in
// by writing the whole file anew (the old bytes unchanged, one line added) and
// renaming it over the old one, so that nobody ever reads half a file. Which
// device (its DEVPATH) holds which identity now is kept the same way in
// /run/portkick/plugged (beside the database when PORTKICK_COM_DB names it), a
// list that starts empty at every boot; a device whose /sys directory is gone
// has been unplugged. A file that cannot be read or understood is never
// written. Whatever goes wrong, the run says why in one line on standard error
// (and, with --syslog, in the system log) and ends with status 1. What it
// makes, it makes readable to all, whatever umask it was started with.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kDefaultDatabase[] = "/var/lib/portkick/com-names";
const char kDefaultPlugged[] = "/run/portkick/plugged";
constexpr int kFirstNumber = 3;  // a new identity's lowest number
constexpr int kLastNumber = 256;
constexpr unsigned kLockWaitSeconds = 10;

// What a new database starts with.
const char kHeader[] =
    "# COM numbers of USB serial ports: udev links /dev/COMn to the port.\n"
    "# One port a line: COMn, its vendor ID, product ID and interface number\n"
    "# (\"00-port1\" for port 1 of an adapter's interface 00), then \"serial\" and\n"
    "# its serial number or, for a device without one or the twin of a device\n"
    "# plugged in with the same serial number, \"socket\" and the USB socket it is\n"
    "# plugged into, as udev gives them (udevadm info /dev/ttyACM0: ID_VENDOR_ID,\n"
    "# ID_MODEL_ID, ID_USB_INTERFACE_NUM, ID_SERIAL_SHORT, ID_PATH).\n"
    "# New ports get the lowest free number from COM3 up, for good. A number can\n"
    "# be changed by hand (COM1 to COM256, each once), and a line taken out frees\n"
    "# its number. Edit as root while holding the lock, so that no port is named\n"
    "# meanwhile; a port gets its new name when it is next plugged in, or at once\n"
    "# after the trigger:\n"
    "#   flock /var/lib/portkick/com-names.lock editor /var/lib/portkick/com-names\n"
    "#   udevadm trigger --subsystem-match=tty --action=change\n"
    "# Why a port got no name: journalctl -t portkick-com-name\n";

// An identity, written as in the database: "7e57 0a01 00 serial PK0042".
using Identity = std::string;
using Numbers = std::map<Identity, int>;
// The devices plugged in now: each one's DEVPATH and the identity it was given.
using Plugged = std::vector<std::pair<std::string, Identity>>;

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

[[noreturn]] void failOnSystem(const std::string& what, const std::string& path) {
    fail(what + " " + path + ": " + std::strerror(errno));
}

// Whether text can stand as one word of a database line: not empty, no
// blanks or control characters.
bool isWord(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (const unsigned char c : text) {
        if (c <= ' ' || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string::size_type at = 0;
    for (;;) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string::npos) {
            return words;
        }
        const std::string::size_type end = line.find_first_of(" \t\r", at);
        words.push_back(line.substr(at, end - at));
        at = end;
    }
}

// The lines of text, the last one whether a newline ends it or not.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::string::size_type at = 0; at < text.size();) {
        std::string::size_type end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// What tells a USB device apart: its identity, and the one by its socket
// that stands in when another device plugged in now holds the first ("" when
// the first is by socket already, or udev gave no socket).
struct Device {
    Identity identity;
    Identity bySocket;
    std::string devpath;
};

// The device in the properties udev gives it and the port number from the
// rule (digits, or "" when it has none), or an empty identity when the
// device is not on USB. Fails when a USB device lacks part of it.
Device deviceOf(const std::map<std::string, std::string>& properties, const std::string& port) {
    const auto property = [&properties](const std::string& name) {
        const auto found = properties.find(name);
        return found == properties.end() ? std::string() : found->second;
    };
    const auto word = [&property](const std::string& name) {
        const std::string value = property(name);
        if (!isWord(value)) {
            fail(name + (value.empty() ? " is missing" : " holds a blank or a control character") +
                 ": the USB device cannot be told apart from others");
        }
        return value;
    };
    if (property("ID_BUS") != "usb") {
        return {};
    }
    if (port.find_first_not_of("0123456789") != std::string::npos) {
        fail("the port number \"" + port + "\" is no number");
    }
    // An adapter's first port (0) has the identity that a single port has.
    const std::string interface =
        word("ID_USB_INTERFACE_NUM") + (port.empty() || port == "0" ? "" : "-port" + port);
    const Identity common = word("ID_VENDOR_ID") + " " + word("ID_MODEL_ID") + " " + interface + " ";
    const std::string devpath = word("DEVPATH");
    if (property("ID_SERIAL_SHORT").empty()) {
        return {common + "socket " + word("ID_PATH"), "", devpath};
    }
    const std::string socket = property("ID_PATH");
    return {common + "serial " + word("ID_SERIAL_SHORT"), isWord(socket) ? common + "socket " + socket : "",
            devpath};
}

// The number in "COM17", or 0 when name is no such name for 1 to 256.
int numberOf(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0 || name[3] == '0') {
        return 0;
    }
    int number = 0;
    for (std::string::size_type i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        number = number * 10 + (name[i] - '0');
    }
    return number <= kLastNumber ? number : 0;
}

// The identities and numbers that the database text holds. Fails at the
// first line that is neither a comment nor a valid entry, or that gives a
// number or an identity a second time.
Numbers parseDatabase(const std::string& text, const std::string& path) {
    Numbers numbers;
    std::map<int, int> lineOfNumber;
    int lineNumber = 0;
    for (const std::string& line : splitLines(text)) {
        ++lineNumber;
        const std::vector<std::string> words = splitWords(line);
        if (words.empty() || words[0][0] == '#') {
            continue;
        }
        const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
        const int number = numberOf(words[0]);
        bool allWords = true;
        for (const std::string& word : words) {
            allWords = allWords && isWord(word);
        }
        if (words.size() != 6 || number == 0 || (words[4] != "serial" && words[4] != "socket") ||
            !allWords) {
            fail(where + "not \"COMn VENDOR PRODUCT INTERFACE serial|socket VALUE\", n from 1 to 256");
        }
        if (lineOfNumber.count(number) != 0) {
            fail(where + words[0] + " is on line " + std::to_string(lineOfNumber[number]) + " too");
        }
        lineOfNumber[number] = lineNumber;
        const Identity identity =
            words[1] + " " + words[2] + " " + words[3] + " " + words[4] + " " + words[5];
        if (!numbers.emplace(identity, number).second) {
            fail(where + "this port has COM" + std::to_string(numbers[identity]) + " on an earlier line");
        }
    }
    return numbers;
}

// The lowest number from 3 up that no identity holds, or 0 when all are.
int lowestFreeNumber(const Numbers& numbers) {
    std::vector<bool> taken(kLastNumber + 1, false);
    for (const auto& entry : numbers) {
        taken[entry.second] = true;
    }
    for (int number = kFirstNumber; number <= kLastNumber; ++number) {
        if (!taken[number]) {
            return number;
        }
    }
    return 0;
}

std::string directoryOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the directory of path when it is missing (the first run after
// installing, or after every boot for /run).
void makeDirectoryOf(const std::string& path) {
    if (::mkdir(directoryOf(path).c_str(), 0755) != 0 && errno != EEXIST) {
        failOnSystem("cannot make the directory of", path);
    }
}

// Holds the database's lock until the process ends; fails when another
// program has held it for 10 s (udev would hold every USB serial port's event
// meanwhile).
void lockDatabase(const std::string& path) {
    makeDirectoryOf(path);
    const std::string lockPath = path + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) {
        failOnSystem("cannot open", lockPath);
    }
    // The alarm's signal, caught by a handler that does nothing, ends the
    // wait with EINTR; no other signal is caught.
    struct sigaction wake = {};
    wake.sa_handler = [](int) {};
    ::sigaction(SIGALRM, &wake, nullptr);
    sigset_t alarmOnly;  // a caller may have started us with it blocked
    ::sigemptyset(&alarmOnly);
    ::sigaddset(&alarmOnly, SIGALRM);
    ::sigprocmask(SIG_UNBLOCK, &alarmOnly, nullptr);
    ::alarm(kLockWaitSeconds);
    const int locked = ::flock(lock, LOCK_EX);
    const int error = errno;
    ::alarm(0);
    if (locked != 0 && error == EINTR) {
        fail("cannot lock " + lockPath + ": another program has held it for " +
             std::to_string(kLockWaitSeconds) + " s");
    }
    errno = error;
    if (locked != 0) {
        failOnSystem("cannot lock", lockPath);
    }
}

// The file's bytes; "" when there is no such file.
std::string readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return "";
        }
        failOnSystem("cannot read", path);
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            failOnSystem("cannot read", path);
        }
        text.append(buffer, got > 0 ? got : 0);
    }
    ::close(fd);
    return text;
}

// Puts text in place of the file in one step: written to a file beside it,
// on the disk, then renamed over it.
void replaceFile(const std::string& path, const std::string& text) {
    const std::string newPath = path + ".new";
    const int fd = ::open(newPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        failOnSystem("cannot write", newPath);
    }
    for (std::string::size_type at = 0; at < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + at, text.size() - at);
        if (wrote < 0 && errno != EINTR) {
            failOnSystem("cannot write", newPath);
        }
        at += wrote > 0 ? wrote : 0;
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0 || ::close(fd) != 0) {
        failOnSystem("cannot write", newPath);
    }
    if (::rename(newPath.c_str(), path.c_str()) != 0) {
        failOnSystem("cannot replace", path);
    }
    const std::string directory = directoryOf(path);
    const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) {
        failOnSystem("cannot write", directory);
    }
    ::close(dir);
}

// The devices in the list text that are still plugged in, "DEVPATH
// IDENTITY" a line; a line that is not one is dropped.
Plugged parsePlugged(const std::string& text) {
    Plugged plugged;
    for (const std::string& line : splitLines(text)) {
        const std::vector<std::string> words = splitWords(line);
        if (words.size() == 6 && ::access(("/sys" + words[0]).c_str(), F_OK) == 0) {
            plugged.emplace_back(words[0], words[1] + " " + words[2] + " " + words[3] + " " + words[4] +
                                               " " + words[5]);
        }
    }
    return plugged;
}

// The identity that device goes by: the one it was given when it was plugged
// in (a device keeps its name while it stays), else its own unless another
// device plugged in now holds that, else the one by its socket; when udev
// gives it no socket, none: two devices plugged in never share a name.
Identity chooseIdentity(const Device& device, const Plugged& plugged) {
    bool held = false;
    for (const auto& entry : plugged) {
        const bool mine = entry.first == device.devpath;
        if (mine && (entry.second == device.identity || entry.second == device.bySocket)) {
            return entry.second;
        }
        held = held || (!mine && entry.second == device.identity);
    }
    if (!held) {
        return device.identity;
    }
    if (device.bySocket.empty()) {
        fail("another port plugged in now has this identity, and udev gives no socket (ID_PATH) to tell "
             "them apart");
    }
    return device.bySocket;
}

// The number of the device: the one its identity has, or a new one, written
// down before it is returned; and the device noted as plugged in.
int numberFor(const Device& device, const std::string& path, const std::string& pluggedPath) {
    lockDatabase(path);
    const std::string text = readFile(path);
    const Numbers numbers = parseDatabase(text, path);
    const std::string pluggedText = readFile(pluggedPath);
    const Plugged plugged = parsePlugged(pluggedText);
    const Identity identity = chooseIdentity(device, plugged);
    const auto found = numbers.find(identity);
    const int number = found != numbers.end() ? found->second : lowestFreeNumber(numbers);
    if (number == 0) {
        fail("every number from COM" + std::to_string(kFirstNumber) + " to COM" +
             std::to_string(kLastNumber) + " is taken in " + path +
             ": take out the lines of ports that are gone");
    }
    if (found == numbers.end()) {
        const std::string start = text.empty() ? kHeader : text.back() == '\n' ? text : text + "\n";
        replaceFile(path, start + "COM" + std::to_string(number) + " " + identity + "\n");
    }
    // The list as it was, less the devices gone, with this one's line in
    // place or added: rewritten only when that changes it.
    const std::string line = device.devpath + " " + identity + "\n";
    std::string list;
    bool listed = false;
    for (const auto& entry : plugged) {
        if (entry.first != device.devpath) {
            list += entry.first + " " + entry.second + "\n";
        } else if (!listed) {
            list += line;
            listed = true;
        }
    }
    list += listed ? "" : line;
    if (list != pluggedText) {
        makeDirectoryOf(pluggedPath);
        replaceFile(pluggedPath, list);
    }
    return number;
}

}  // namespace

int main(int argc, char** argv) {
    ::umask(022);
    bool toSyslog = false;
    std::string port;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--syslog") {
            toSyslog = true;
        } else if (argument.compare(0, 7, "--port=") == 0) {
            port = argument.substr(7);
        } else {
            std::fprintf(stderr, "usage: %s [--syslog] [--port=N] (udev runs it with the port's properties"
                                 " in the environment)\n", argv[0]);
            return 2;
        }
    }
    std::map<std::string, std::string> properties;
    for (const char* name : {"ID_BUS", "ID_VENDOR_ID", "ID_MODEL_ID", "ID_USB_INTERFACE_NUM",
                             "ID_SERIAL_SHORT", "ID_PATH", "DEVPATH", "DEVNAME"}) {
        if (const char* value = std::getenv(name)) {
            properties[name] = value;
        }
    }
    try {
        const Device device = deviceOf(properties, port);
        if (device.identity.empty()) {
            return 0;
        }
        const char* chosen = std::getenv("PORTKICK_COM_DB");
        const bool own = chosen != nullptr && *chosen != '\0';
        const std::string path = own ? chosen : kDefaultDatabase;
        const int number = numberFor(device, path, own ? path + ".plugged" : kDefaultPlugged);
        std::printf("COM%d\n", number);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    } catch (const std::runtime_error& failure) {
        std::fprintf(stderr, "portkick-com-name: %s\n", failure.what());
        if (toSyslog) {
            const std::string& device = properties.count("DEVNAME") != 0 ? properties["DEVNAME"]
                                                                          : properties["DEVPATH"];
            ::openlog("portkick-com-name", LOG_PID, LOG_DAEMON);
            ::syslog(LOG_ERR, "%s: %s", device.c_str(), failure.what());
        }
        return 1;
    }
}
