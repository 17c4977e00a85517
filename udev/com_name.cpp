// portkick-com-name: names USB serial ports COMn, the way Windows does, for
// the udev rule beside this file, which links /dev/COMn to the port.
//
// udev runs it for a tty device with the device's properties in the
// environment. The device's identity is its vendor ID, product ID, serial
// number and interface number; a device without a serial number is told by
// the USB socket it is plugged into (ID_PATH) instead of its serial number.
// Every identity gets a number of its own for good: a new one the lowest
// free number from 3 to 256 (1 and 2 stand for Windows' legacy ports). The
// name goes to standard output; a port that is not on USB gets none.
//
// The numbers live in one text file, /var/lib/portkick/com-names, or the
// file that PORTKICK_COM_DB names, one identity a line, with comments. udev
// handles several devices at once: every run holds an flock on the file's
// ".lock" beside it, and a new identity goes in by writing the whole file
// anew (the old bytes unchanged, one line added) and renaming it over the
// old one, so that nobody ever reads half a file. A file that cannot be read
// or understood is never written: the run says why in one line on standard
// error and ends with status 1.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char kDefaultDatabase[] = "/var/lib/portkick/com-names";
constexpr int kFirstNumber = 3;  // a new identity's lowest number
constexpr int kLastNumber = 256;

// What a new database starts with.
const char kHeader[] =
    "# COM numbers of USB serial ports: udev links /dev/COMn to the port.\n"
    "# One port a line: COMn, its vendor ID, product ID and interface number,\n"
    "# then \"serial\" and its serial number or, for a device that has none,\n"
    "# \"socket\" and the USB socket it is plugged into, as udev gives them\n"
    "# (udevadm info /dev/ttyACM0: ID_VENDOR_ID, ID_MODEL_ID,\n"
    "# ID_USB_INTERFACE_NUM, ID_SERIAL_SHORT, ID_PATH).\n"
    "# A number can be changed by hand (COM1 to COM256, each once), and a line\n"
    "# taken out frees its number; a port gets its new name when it is next\n"
    "# plugged in. New ports get the lowest free number from COM3 up.\n";

// An identity, written as in the database: "7e57 0a01 00 serial PK0042".
using Identity = std::string;
using Numbers = std::map<Identity, int>;

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "portkick-com-name: %s\n", message.c_str());
    std::exit(1);
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

// The identity in the properties udev gives the device, or "" when the
// device is not on USB. Ends the process when a USB device lacks part of it.
Identity identityOf(const std::map<std::string, std::string>& device) {
    const auto property = [&device](const std::string& name) {
        const auto found = device.find(name);
        return found == device.end() ? std::string() : found->second;
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
        return "";
    }
    Identity identity = word("ID_VENDOR_ID") + " ";
    identity += word("ID_MODEL_ID") + " ";
    identity += word("ID_USB_INTERFACE_NUM") + " ";
    if (property("ID_SERIAL_SHORT").empty()) {
        return identity + "socket " + word("ID_PATH");
    }
    return identity + "serial " + word("ID_SERIAL_SHORT");
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

// The identities and numbers that the database text holds. Ends the process
// at the first line that is neither a comment nor a valid entry, or that
// gives a number or an identity a second time.
Numbers parseDatabase(const std::string& text, const std::string& path) {
    Numbers numbers;
    std::map<int, int> lineOfNumber;
    int lineNumber = 0;
    for (std::string::size_type at = 0; at < text.size();) {
        std::string::size_type end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
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

// Holds the database's lock until the process ends. The directory is made
// when it is missing (the first run after installing).
void lockDatabase(const std::string& path) {
    if (::mkdir(directoryOf(path).c_str(), 0755) != 0 && errno != EEXIST) {
        failOnSystem("cannot make the directory of", path);
    }
    const std::string lockPath = path + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) {
        failOnSystem("cannot open", lockPath);
    }
    while (::flock(lock, LOCK_EX) != 0) {
        if (errno != EINTR) {
            failOnSystem("cannot lock", lockPath);
        }
    }
}

// The database's bytes; "" when there is no database yet.
std::string readDatabase(const std::string& path) {
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

// Puts text in place of the database in one step: written to a file beside
// it, on the disk, then renamed over it.
void replaceDatabase(const std::string& path, const std::string& text) {
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

// The number of identity: the one it has, or a new one, written down before
// it is returned.
int numberFor(const Identity& identity, const std::string& path) {
    lockDatabase(path);
    const std::string text = readDatabase(path);
    const Numbers numbers = parseDatabase(text, path);
    const auto found = numbers.find(identity);
    if (found != numbers.end()) {
        return found->second;
    }
    const int number = lowestFreeNumber(numbers);
    if (number == 0) {
        fail("every number from COM" + std::to_string(kFirstNumber) + " to COM" +
             std::to_string(kLastNumber) + " is taken in " + path +
             ": take out the lines of ports that are gone");
    }
    const std::string start = text.empty() ? kHeader : text.back() == '\n' ? text : text + "\n";
    replaceDatabase(path, start + "COM" + std::to_string(number) + " " + identity + "\n");
    return number;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s (no arguments: udev runs it with the port's properties"
                             " in the environment)\n", argv[0]);
        return 2;
    }
    std::map<std::string, std::string> device;
    for (const char* name : {"ID_BUS", "ID_VENDOR_ID", "ID_MODEL_ID", "ID_USB_INTERFACE_NUM",
                             "ID_SERIAL_SHORT", "ID_PATH"}) {
        if (const char* value = std::getenv(name)) {
            device[name] = value;
        }
    }
    const Identity identity = identityOf(device);
    if (identity.empty()) {
        return 0;
    }
    const char* chosen = std::getenv("PORTKICK_COM_DB");
    const std::string path = chosen != nullptr && *chosen != '\0' ? chosen : kDefaultDatabase;
    const int number = numberFor(identity, path);
    std::printf("COM%d\n", number);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
