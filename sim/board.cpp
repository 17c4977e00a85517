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
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "avr109.h"

namespace {

// CLOCK_MONOTONIC: the event log's stamps compare with other programs' clocks.
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kTick{10};

struct Options {
    std::string dir = "/dev", name = "COM5", bootName = "COM6", extraName;
    milliseconds enumDelay{300}, bootTimeout{8000};
    bool noBootloader = false;
    std::string flashOut, events;  // file names; empty: none
};

// One serial port of the board: a pty master and the link naming its slave.
struct Port {
    int master = -1;
    std::string slave, link;  // link: empty until published
};

enum class Mode { application, resetting, bootloader, starting };

struct Board {
    Options options;
    int events = -1;
    bool failed = false;  // a port could not be made: the board stops
    Mode mode = Mode::application;
    Clock::time_point deadline, lastCommand;
    Port app, boot, extra;
    std::vector<Port> lingering;  // vanished, but still held open by someone
    avr109::Memory memory;
    avr109::Session session;
    std::vector<std::uint8_t> input;
};

// One line of the event log: nanoseconds of the monotonic clock, then what.
void logEvent(const Board& board, const std::string& what) {
    if (board.events < 0) return;
    const auto stamp = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
    const std::string line = std::to_string(stamp.count()) + " " + what + "\n";
    if (write(board.events, line.data(), line.size()) < 0) std::perror("portkick-board: events");
}

// The number in "COM12", or 0.
long portNumber(const std::string& name) {
    const std::size_t digits = name.find_first_of("0123456789");
    return digits == std::string::npos ? 0 : std::atol(name.c_str() + digits);
}

// A new pty for the port; when none can be had, the board stops.
bool openPty(Board& board, Port& port) {
    int master = -1;
    int slave = -1;
    char slaveName[PATH_MAX];
    if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        std::perror("portkick-board: openpty");
        board.failed = true;
        return false;
    }
    // Nobody holds the slave until a program opens it by its link.
    close(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    port = Port{master, slaveName, ""};
    return true;
}

// Makes the port appear under `name`; false when the name is in use, or
// when the link cannot be made at all, which stops the board. symlink()
// creates the link in one step, already pointing at the slave, and fails
// when the name exists: the board never replaces an entry it did not make.
bool publish(Board& board, Port& port, const std::string& name) {
    const std::string link = board.options.dir + "/" + name;
    if (symlink(port.slave.c_str(), link.c_str()) == 0) {
        port.link = link;
        return true;
    }
    if (errno != EEXIST) {
        std::perror(("portkick-board: link " + link).c_str());
        board.failed = true;
    }
    return false;
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

// The port vanishes from the device directory at once, but its pty stays
// until the program holding it lets go: closing the master under a reader
// hangs the slave up, and avrdude then spins on reads that return nothing
// instead of failing. Kept open, it simply gets no more answers and times out.
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

// The 1200-baud touch: the line was set to 1200 baud, and nobody holds it.
bool touched(const Port& port) {
    termios settings{};
    return tcgetattr(port.master, &settings) == 0 && cfgetospeed(&settings) == B1200 && hungUp(port);
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
    const auto& flash = board.memory.flash;
    const bool written = file != nullptr && std::fwrite(flash.data(), 1, flash.size(), file) == flash.size();
    if (file == nullptr || std::fclose(file) != 0 || !written || rename(aside.c_str(), path.c_str()) != 0) {
        std::perror(("portkick-board: " + path).c_str());
    }
}

// Brings the board's own port up, unless its name is in use.
bool startApplication(Board& board) {
    if (openPty(board, board.app) && publish(board, board.app, board.options.name)) {
        logEvent(board, "app-appeared " + board.options.name);
        board.mode = Mode::application;
        return true;
    }
    removePort(board.app);
    return false;
}

// The board comes back after `delay`.
void restartIn(Board& board, milliseconds delay) {
    board.mode = Mode::starting;
    board.deadline = Clock::now() + delay;
}

// Links the extra port, unless its name is in use.
void publishExtra(Board& board) {
    if (!publish(board, board.extra, board.options.extraName)) removePort(board.extra);
}

void startBootloader(Board& board) {
    const Options& options = board.options;
    if (options.noBootloader) return restartIn(board, options.bootTimeout);
    const bool withExtra = !options.extraName.empty();
    if (!openPty(board, board.boot) || (withExtra && !openPty(board, board.extra))) return;
    // A port scan probes names in increasing number. Linking the higher
    // number first means a scan that sees the lower one sees both, as if
    // both had appeared in the same instant.
    const bool extraFirst = withExtra && portNumber(options.extraName) > portNumber(options.bootName);
    if (extraFirst) publishExtra(board);
    if (!publish(board, board.boot, options.bootName)) {
        // Another board or device has the name: no bootloader shows.
        if (!board.failed) logEvent(board, "boot-name-taken " + options.bootName);
        removePort(board.boot);
        retirePort(board, board.extra);
        return restartIn(board, options.bootTimeout);
    }
    logEvent(board, "boot-appeared " + options.bootName);
    if (withExtra && !extraFirst) publishExtra(board);

    board.session = avr109::Session{};
    board.input.clear();
    board.lastCommand = Clock::now();
    board.mode = Mode::bootloader;
}

// The flash file is up to date before the bootloader's port goes.
void endBootloader(Board& board) {
    if (board.session.flashChanged) saveFlash(board);
    retirePort(board, board.boot);
    retirePort(board, board.extra);
    logEvent(board, "boot-vanished");
    restartIn(board, board.options.enumDelay);
}

// Answers every complete command that has arrived.
void serveBootloader(Board& board) {
    readInput(board.boot, &board.input);
    while (!board.input.empty()) {
        const std::size_t length = avr109::commandLength(board.input);
        if (length == 0) break;
        send(board.boot, avr109::execute(board.input.data(), board.memory, board.session));
        board.input.erase(board.input.begin(), board.input.begin() + static_cast<std::ptrdiff_t>(length));
        board.lastCommand = Clock::now();
        if (board.session.exitRequested) return endBootloader(board);
    }
}

// Waits for bootloader input, or one tick. A port that nobody holds reports
// POLLHUP at once, so then it is a plain sleep.
void waitForWork(const Board& board) {
    if (board.mode == Mode::bootloader) {
        pollfd watch{board.boot.master, POLLIN, 0};
        if (poll(&watch, 1, static_cast<int>(kTick.count())) >= 0 && (watch.revents & POLLHUP) == 0) return;
    }
    std::this_thread::sleep_for(kTick);
}

void step(Board& board) {
    const Clock::time_point now = Clock::now();
    if (board.mode == Mode::application) {
        readInput(board.app, nullptr);
        if (touched(board.app)) {
            removePort(board.app);
            logEvent(board, "reset");
            board.mode = Mode::resetting;
            board.deadline = now + board.options.enumDelay;
        }
    } else if (board.mode == Mode::bootloader) {
        serveBootloader(board);
        if (board.mode == Mode::bootloader && now - board.lastCommand >= board.options.bootTimeout) {
            endBootloader(board);
        }
    } else if (now >= board.deadline && board.mode == Mode::resetting) {
        startBootloader(board);
    } else if (now >= board.deadline) {
        // Should another board or device have taken the name meanwhile, the
        // board tries again on every tick.
        startApplication(board);
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

const char kUsage[] =
    "usage: portkick-board [--dir DIR] [--name COM5] [--boot-name COM6] [--extra-port NAME]\n"
    "         [--enum-delay-ms N] [--boot-timeout-ms N] [--no-bootloader] [--flash-out FILE]\n"
    "         [--events FILE]    (N: whole milliseconds from 0 to 86400000, a day)\n";

// A delay of a day at most, in decimal digits only; on anything else, says
// so in one line.
bool parseDelay(const char* option, const char* text, milliseconds& delay) {
    constexpr unsigned long long kMostMs = 24ULL * 60 * 60 * 1000;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);  // too large: ULLONG_MAX
    if (std::isdigit(static_cast<unsigned char>(text[0])) && *end == '\0' && value <= kMostMs) {
        delay = milliseconds(value);
        return true;
    }
    std::fprintf(stderr, "portkick-board: --%s: '%s' is not a whole number from 0 to %llu\n", option, text,
                 kMostMs);
    return false;
}

// Reads the options; on a bad one, says why on standard error.
bool parseOptions(int argc, char** argv, Options& options) {
    const option switches[] = {
        {"dir", required_argument, nullptr, 'd'},           {"name", required_argument, nullptr, 'n'},
        {"boot-name", required_argument, nullptr, 'b'},     {"extra-port", required_argument, nullptr, 'x'},
        {"flash-out", required_argument, nullptr, 'f'},     {"events", required_argument, nullptr, 'e'},
        {"enum-delay-ms", required_argument, nullptr, 'D'}, {"boot-timeout-ms", required_argument, nullptr, 'T'},
        {"no-bootloader", no_argument, nullptr, 'N'},       {nullptr, 0, nullptr, 0},
    };
    int index = 0;
    for (int c; (c = getopt_long(argc, argv, "", switches, &index)) != -1;) {
        const char* name = switches[index].name;
        switch (c) {
            case 'd': options.dir = optarg; break;
            case 'n': options.name = optarg; break;
            case 'b': options.bootName = optarg; break;
            case 'x': options.extraName = optarg; break;
            case 'f': options.flashOut = optarg; break;
            case 'e': options.events = optarg; break;
            case 'N': options.noBootloader = true; break;
            case 'D':
                if (!parseDelay(name, optarg, options.enumDelay)) return false;
                break;
            case 'T':
                if (!parseDelay(name, optarg, options.bootTimeout)) return false;
                break;
            default: std::fputs(kUsage, stderr); return false;  // getopt_long has said why
        }
    }
    if (optind == argc && !options.name.empty() && !options.bootName.empty()) return true;
    std::fputs(kUsage, stderr);
    return false;
}

// Whether SIGTERM, SIGINT or SIGHUP has come; they are blocked, so they wait.
bool stopRequested(const sigset_t& stops) {
    const timespec none{0, 0};
    return sigtimedwait(&stops, nullptr, &none) > 0;
}

}  // namespace

int main(int argc, char** argv) {
    const pid_t parent = getppid();
    Board board;
    if (!parseOptions(argc, argv, board.options)) return 2;

    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, signal);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A test runner that dies takes the board with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0;

    const Options& options = board.options;
    if (!options.events.empty()) {
        board.events = open(options.events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (board.events < 0) {
            std::perror(("portkick-board: " + options.events).c_str());
            return 1;
        }
    }
    if (!startApplication(board)) {
        if (!board.failed) {
            std::fprintf(stderr, "portkick-board: %s/%s exists: another board or device has that name\n",
                         options.dir.c_str(), options.name.c_str());
        }
        return 1;
    }
    saveFlash(board);
    std::puts("ready");
    std::fflush(stdout);

    while (!board.failed && !stopRequested(stops)) {
        waitForWork(board);
        step(board);
    }
    board.lingering.insert(board.lingering.end(), {board.app, board.boot, board.extra});
    for (Port& port : board.lingering) removePort(port);
    return board.failed ? 1 : 0;
}
