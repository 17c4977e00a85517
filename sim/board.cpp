// portkick-board: a simulated ATmega32U4 board on USB serial, for the
// end-to-end tests and the demo. POSIX only.
//
// Each serial port the board shows is a pty whose slave is linked into the
// device directory under the port's name. The board watches its ports from
// the master side only: tcgetattr on the master gives the slave's line
// settings, and poll on the master reports POLLHUP while nobody holds the
// slave open. So "set to 1200 baud, then closed" is seen without ever
// touching the slave, and the quick opens of a port scan do nothing.
//
// Life cycle: application port up -> 1200-baud touch -> application port
// gone -> (enumeration delay) -> bootloader port up, speaking AVR109 ->
// 'E' or a stretch without commands -> bootloader port gone ->
// (enumeration delay) -> application port up again, ready for the next
// flash. The flash image lives as long as the process.
//
// Names are shared with whatever else uses the device directory: the board
// refuses to start on a name in use, links a port only under a free name and
// removes a link only while it still points at its own pty. A bootloader
// whose name is in use at the reset does not show.
//
// A port that vanishes loses its link at once, but its pty stays until the
// program holding it lets go: closing the master under a reader hangs the
// slave up, and avrdude then spins on reads that return nothing instead of
// failing. Kept open, it simply gets no more answers and times out.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "avr109.h"

namespace {

constexpr long long kMs = 1000000;  // nanoseconds
constexpr long long kTickNs = 10 * kMs;

struct Options {
    std::string dir = "/dev";
    std::string name = "COM5";
    std::string bootName = "COM6";
    std::string extraName;
    long long enumDelayNs = 300 * kMs;
    long long bootTimeoutNs = 8000 * kMs;
    long long vanishAfterBytes = -1;
    bool lowercase = false;
    bool noBootloader = false;
    std::string flashOut;
    std::string events;
};

// One serial port of the board: a pty master and the link naming its slave.
struct Port {
    int master = -1;
    std::string slave;
    std::string link;  // empty until published
};

enum class Mode { application, resetting, bootloader, starting };

struct Board {
    Options options;
    int events = -1;
    bool failed = false;  // a port could not be made: the board stops
    Mode mode = Mode::application;
    long long deadline = 0;
    Port app, boot, extra;
    std::vector<Port> lingering;  // vanished, but still held open by someone
    avr109::Memory memory;
    avr109::Session session;
    std::vector<std::uint8_t> input;
    long long bytesReceived = 0;
    long long lastCommand = 0;
    bool appNameTaken = false;  // logged as taken; not yet back
};

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

long long monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void sleepNs(long long ns) {
    const timespec pause{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    nanosleep(&pause, nullptr);
}

void logEvent(const Board& board, const std::string& what) {
    if (board.events < 0) {
        return;
    }
    const std::string line = std::to_string(monotonicNs()) + " " + what + "\n";
    if (write(board.events, line.data(), line.size()) < 0) {
        std::perror("portkick-board: events");
    }
}

std::string linkName(const Options& options, std::string name) {
    if (options.lowercase) {
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

// The number in "COM12", or 0.
long portNumber(const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    return digits < name.size() ? std::atol(name.c_str() + digits) : 0;
}

bool openPty(Port& port) {
    int master = -1;
    int slave = -1;
    char slaveName[128];
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("portkick-board: openpty");
        return false;
    }
    // Nobody holds the slave until a program opens it by its link.
    close(slave);
    if (ptsname_r(master, slaveName, sizeof slaveName) != 0) {
        std::perror("portkick-board: ptsname");
        close(master);
        return false;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    port = Port{master, slaveName, ""};
    return true;
}

// What became of an attempt to link a port under its name.
enum class Link { made, taken, failed };

// Makes the port appear under `name`. symlink() creates the link in one
// step, already pointing at the slave, and fails when the name exists: the
// board never replaces an entry it did not make.
Link publish(Port& port, const Options& options, const std::string& name) {
    const std::string link = options.dir + "/" + linkName(options, name);
    if (symlink(port.slave.c_str(), link.c_str()) == 0) {
        port.link = link;
        return Link::made;
    }
    if (errno == EEXIST) return Link::taken;
    std::perror(("portkick-board: link " + link).c_str());
    return Link::failed;
}

// Removes the port's link, if it still points at the port's own pty:
// whatever has since taken its place belongs to someone else.
void unpublish(Port& port) {
    if (port.link.empty()) return;
    std::string target(port.slave.size() + 1, '\0');
    const ssize_t length = readlink(port.link.c_str(), &target[0], target.size());
    target.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    if (target == port.slave) unlink(port.link.c_str());
    port.link.clear();
}

void removePort(Port& port) {
    unpublish(port);
    if (port.master >= 0) close(port.master);
    port = Port{};
}

bool hungUp(const Port& port) {
    pollfd watch{port.master, POLLIN, 0};
    return poll(&watch, 1, 0) > 0 && (watch.revents & POLLHUP) != 0;
}

// The port vanishes from the device directory; its pty is closed as soon as
// nobody holds it.
void retirePort(Board& board, Port& port) {
    if (port.master < 0) return;
    unpublish(port);
    if (hungUp(port)) {
        removePort(port);
    } else {
        board.lingering.push_back(port);
        port = Port{};
    }
}

speed_t lineSpeed(const Port& port) {
    termios settings{};
    return tcgetattr(port.master, &settings) == 0 ? cfgetospeed(&settings) : B0;
}

// Reads what has arrived on the port; appends it to `into` when given.
void readInput(const Port& port, std::vector<std::uint8_t>* into) {
    std::uint8_t buffer[512];
    for (;;) {
        const ssize_t got = read(port.master, buffer, sizeof buffer);
        if (got <= 0) return;  // EAGAIN: nothing more; EIO: nobody holds the slave
        if (into != nullptr) into->insert(into->end(), buffer, buffer + got);
    }
}

void send(const Port& port, const std::string& answer) {
    std::size_t done = 0;
    while (done < answer.size()) {
        const ssize_t put = write(port.master, answer.data() + done, answer.size() - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
        } else if (errno == EAGAIN) {
            pollfd watch{port.master, POLLOUT, 0};
            poll(&watch, 1, 10);
        } else {
            return;
        }
    }
}

// The whole image goes to a new file that replaces the old one, so that a
// reader never sees half of it.
void saveFlash(const Board& board) {
    const std::string& path = board.options.flashOut;
    if (path.empty()) return;
    const std::string aside = path + ".new";
    FILE* file = std::fopen(aside.c_str(), "wb");
    const bool written = file != nullptr &&
                         std::fwrite(board.memory.flash.data(), 1, board.memory.flash.size(), file) ==
                             board.memory.flash.size();
    if (file == nullptr || std::fclose(file) != 0 || !written || rename(aside.c_str(), path.c_str()) != 0) {
        std::perror(("portkick-board: " + path).c_str());
    }
}

// Brings the board's own port up, unless its name is in use.
Link startApplication(Board& board) {
    if (!openPty(board.app)) {
        board.failed = true;
        return Link::failed;
    }
    const Link link = publish(board.app, board.options, board.options.name);
    if (link == Link::made) {
        board.appNameTaken = false;
        logEvent(board, "app-appeared " + board.options.name);
        board.mode = Mode::application;
        return link;
    }
    removePort(board.app);
    if (link == Link::failed) board.failed = true;
    return link;
}

// The board comes back on its own after the bootloader's timeout.
void skipBootloader(Board& board) {
    board.mode = Mode::starting;
    board.deadline = monotonicNs() + board.options.bootTimeoutNs;
}

// Links the extra port, unless its name is in use.
void publishExtra(Board& board) {
    const Link link = publish(board.extra, board.options, board.options.extraName);
    if (link == Link::failed) board.failed = true;
    if (link == Link::taken) {
        logEvent(board, "extra-name-taken " + board.options.extraName);
        removePort(board.extra);
    }
}

void startBootloader(Board& board) {
    const Options& options = board.options;
    if (options.noBootloader) {
        skipBootloader(board);
        return;
    }
    const bool withExtra = !options.extraName.empty();
    if (!openPty(board.boot) || (withExtra && !openPty(board.extra))) {
        board.failed = true;
        return;
    }
    // A port scan probes names in increasing number. Linking the higher
    // number first means a scan that sees the lower one sees both, as if
    // both had appeared in the same instant.
    const bool extraFirst = withExtra && portNumber(options.extraName) > portNumber(options.bootName);
    if (extraFirst) publishExtra(board);
    const Link boot = publish(board.boot, options, options.bootName);
    if (boot != Link::made) {
        // Another board or device has the name: no bootloader shows.
        if (boot == Link::failed) board.failed = true;
        if (boot == Link::taken) logEvent(board, "boot-name-taken " + options.bootName);
        removePort(board.boot);
        retirePort(board, board.extra);
        skipBootloader(board);
        return;
    }
    logEvent(board, "boot-appeared " + options.bootName);
    if (withExtra && !extraFirst) publishExtra(board);
    if (board.extra.master >= 0) logEvent(board, "extra-appeared " + options.extraName);

    board.session = avr109::Session{};
    board.input.clear();
    board.bytesReceived = 0;
    board.lastCommand = monotonicNs();
    board.mode = Mode::bootloader;
}

void endBootloader(Board& board) {
    if (board.session.flashChanged) {
        saveFlash(board);
        logEvent(board, "flash-saved");
    }
    retirePort(board, board.boot);
    retirePort(board, board.extra);
    logEvent(board, "boot-vanished");
    board.mode = Mode::starting;
    board.deadline = monotonicNs() + board.options.enumDelayNs;
}

// Answers every complete command that has arrived.
void serveBootloader(Board& board) {
    const std::size_t before = board.input.size();
    readInput(board.boot, &board.input);
    board.bytesReceived += static_cast<long long>(board.input.size() - before);

    bool ended = false;
    const long long limit = board.options.vanishAfterBytes;
    if (limit >= 0 && board.bytesReceived >= limit) {
        // Only the bytes up to the limit reach the bootloader.
        const long long excess = board.bytesReceived - limit;
        board.input.resize(board.input.size() - static_cast<std::size_t>(excess));
        ended = true;
    }
    while (!board.input.empty()) {
        const std::size_t length = avr109::commandLength(board.input);
        if (length == 0) break;
        send(board.boot, avr109::execute(board.input.data(), board.memory, board.session));
        board.input.erase(board.input.begin(), board.input.begin() + static_cast<std::ptrdiff_t>(length));
        board.lastCommand = monotonicNs();
        if (board.session.exitRequested) {
            ended = true;
            break;
        }
    }
    if (ended) endBootloader(board);
}

// Waits for bootloader input, or one tick. A port that nobody holds reports
// POLLHUP at once, so then it is a plain sleep.
void waitForWork(const Board& board) {
    if (board.mode == Mode::bootloader) {
        pollfd watch{board.boot.master, POLLIN, 0};
        if (poll(&watch, 1, static_cast<int>(kTickNs / kMs)) > 0 && (watch.revents & POLLHUP) == 0) {
            return;
        }
    }
    sleepNs(kTickNs);
}

void step(Board& board) {
    const long long now = monotonicNs();
    switch (board.mode) {
        case Mode::application:
            readInput(board.app, nullptr);
            if (lineSpeed(board.app) == B1200 && hungUp(board.app)) {
                removePort(board.app);
                logEvent(board, "reset");
                board.mode = Mode::resetting;
                board.deadline = now + board.options.enumDelayNs;
            }
            break;
        case Mode::resetting:
            if (now >= board.deadline) startBootloader(board);
            break;
        case Mode::bootloader:
            serveBootloader(board);
            if (board.mode == Mode::bootloader && now - board.lastCommand >= board.options.bootTimeoutNs) {
                endBootloader(board);
            }
            break;
        case Mode::starting:
            // Should another board or device have taken the name meanwhile,
            // the board says so once and tries again on every tick.
            if (now >= board.deadline && startApplication(board) == Link::taken && !board.appNameTaken) {
                board.appNameTaken = true;
                logEvent(board, "app-name-taken " + board.options.name);
            }
            break;
    }
    if (board.extra.master >= 0) readInput(board.extra, nullptr);
    for (auto port = board.lingering.begin(); port != board.lingering.end();) {
        readInput(*port, nullptr);
        if (hungUp(*port)) {
            removePort(*port);
            port = board.lingering.erase(port);
        } else {
            ++port;
        }
    }
}

// The largest value of each numeric switch: a delay of a day at most, and
// more bytes than any flash takes.
constexpr long long kMaxDelayMs = 24LL * 60 * 60 * 1000;
constexpr long long kMaxBytes = 1000000000;

const char kUsage[] =
    "usage: portkick-board [--dir DIR] [--name COM5] [--boot-name COM6]\n"
    "         [--enum-delay-ms N] [--boot-timeout-ms N] [--lowercase]\n"
    "         [--flash-out FILE] [--events FILE] [--no-bootloader]\n"
    "         [--extra-port NAME] [--vanish-after-bytes N]\n"
    "       N is a whole number: 0 to 86400000 (24 h) for the delays,\n"
    "       0 to 1000000000 for --vanish-after-bytes\n";

// A whole number from 0 to `most`, in decimal digits only.
bool parseNumber(const char* text, long long most, long long& value) {
    if (*text == '\0') return false;
    value = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
        value = value * 10 + (*digit - '0');
        if (value > most) return false;
    }
    return true;
}

// Reads the options; on a bad one, says why on standard error.
bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--lowercase") {
            options.lowercase = true;
            continue;
        }
        if (option == "--no-bootloader") {
            options.noBootloader = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        long long* number = nullptr;
        long long most = kMaxDelayMs;
        long long scale = kMs;
        if (option == "--dir") options.dir = value;
        else if (option == "--name") options.name = value;
        else if (option == "--boot-name") options.bootName = value;
        else if (option == "--extra-port") options.extraName = value;
        else if (option == "--flash-out") options.flashOut = value;
        else if (option == "--events") options.events = value;
        else if (option == "--enum-delay-ms") number = &options.enumDelayNs;
        else if (option == "--boot-timeout-ms") number = &options.bootTimeoutNs;
        else if (option == "--vanish-after-bytes") {
            number = &options.vanishAfterBytes;
            most = kMaxBytes;
            scale = 1;
        } else return false;
        if (number != nullptr && !parseNumber(value, most, *number)) {
            std::fprintf(stderr, "portkick-board: %s: '%s' is not a whole number from 0 to %lld\n",
                         option.c_str(), value, most);
            return false;
        }
        if (number != nullptr) *number *= scale;
    }
    return !options.name.empty() && !options.bootName.empty();
}

}  // namespace

int main(int argc, char** argv) {
    const pid_t parent = getppid();
    Board board;
    if (!parseOptions(argc, argv, board.options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    struct sigaction stop {};
    stop.sa_handler = requestStop;
    sigemptyset(&stop.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A test runner that dies takes the board with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0;

    if (!board.options.events.empty()) {
        board.events = open(board.options.events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (board.events < 0) {
            std::perror(("portkick-board: " + board.options.events).c_str());
            return 1;
        }
    }
    if (startApplication(board) == Link::taken) {
        std::fprintf(stderr, "portkick-board: %s/%s exists: another board or device has that name\n",
                     board.options.dir.c_str(), linkName(board.options, board.options.name).c_str());
        return 1;
    }
    if (board.failed) return 1;
    saveFlash(board);
    std::puts("ready");
    std::fflush(stdout);

    while (!stopRequested && !board.failed) {
        waitForWork(board);
        step(board);
    }
    removePort(board.app);
    removePort(board.boot);
    removePort(board.extra);
    for (Port& port : board.lingering) removePort(port);
    return board.failed ? 1 : 0;
}
