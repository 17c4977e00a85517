// The POSIX stand-in for the serial port interface, on real files and
// pseudo-terminals in a temporary device directory.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "os/os.h"

namespace {

// Runs `body` in a child that says it is ready when body returns (a body
// that ends its main thread writes to `ready` itself), then waits to be
// killed or to die with the test.
pid_t spawn(const std::function<void(int ready)>& body) {
    int ready[2];
    char byte = 0;
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        body(ready[1]);
        (void)!write(ready[1], "", 1);
        for (;;) pause();
    }
    close(ready[1]);
    EXPECT_EQ(read(ready[0], &byte, 1), 1) << "a holder did not get ready";
    close(ready[0]);
    return pid;
}

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void writeFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), file);
    std::fclose(file);
}

// A mount namespace of this process's own; not as root, inside a user
// namespace of its own whose root it is.
bool privateMounts() {
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (unshare(CLONE_NEWNS | (uid == "0" ? 0 : CLONE_NEWUSER)) != 0) return false;
    if (uid != "0") {
        writeFile("/proc/self/setgroups", "deny");
        writeFile("/proc/self/uid_map", "0 " + uid + " 1");
        writeFile("/proc/self/gid_map", "0 " + gid + " 1");
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A process holding a file on a file system whose server (bindfs, in their
// own mount namespace) is stopped, so that any request to it waits. Sets
// `server`, which must be let go on (SIGCONT) before anything is killed.
pid_t stallAFileSystem(pid_t& server) {
    FILE* shell = popen(geteuid() == 0 ? "exec unshare -m sh -c \"$STALL\"" : "exec unshare -rm sh -c \"$STALL\"", "r");
    pid_t holder = 0;
    EXPECT_EQ(std::fscanf(shell, "%d %d", &server, &holder), 2);
    return holder;
}

class PosixOs : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("STALL", "set -e; d=$PORTKICK_DEVICE_DIR/stall; mkdir -p $d/s $d/m; : >$d/s/f; bindfs -f -o attr_timeout=0 $d/s $d/m &"
               "until [ -e $d/m/f ]; do sleep 0.01; done; exec 3<$d/m/f; kill -STOP $!; echo $! $$; exec sleep 1000", 1);
        char tmpl[] = "/tmp/portkick-dev-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("PORTKICK_DEVICE_DIR", dir.c_str(), 1);
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string makeFile(const std::string& name) {
        writeFile(dir + "/" + name, "");
        return dir + "/" + name;
    }
    // A pty's slave, closed, linked as name; returns the master (it reads the
    // slave's settings) and sets the slave's path.
    int linkPty(const std::string& name, std::string& slavePath, const termios* settings = nullptr) {
        int master = -1, slave = -1;
        char path[64];
        EXPECT_EQ(openpty(&master, &slave, path, settings, nullptr), 0);
        close(slave);
        EXPECT_EQ(symlink(path, (dir + "/" + name).c_str()), 0);
        slavePath = path;
        return master;
    }
    std::string dir;
};

TEST_F(PosixOs, DevicePathsOpenNamesInsideTheDeviceDirectoryForReadingAndWriting) {
    makeFile("COM5");
    const os::PortHandle port = os::openPort("\\\\.\\COM5", os::OpenFor::touch);
    ASSERT_NE(port, os::kNoPort);
    EXPECT_EQ(fcntl(static_cast<int>(port), F_GETFL) & O_ACCMODE, O_RDWR);
    os::closePort(port);
    for (const char* path : {"COM5", "\\\\.\\", "\\\\.\\..", "\\\\.\\../COM5", "\\\\.\\COM7"}) {
        EXPECT_EQ(os::openPort(path, os::OpenFor::probe), os::kNoPort) << path;
    }
    if (geteuid() == 0) {  // an empty device directory is /dev
        const std::string name = "portkick-test-" + std::to_string(getpid());
        writeFile("/dev/" + name, "");
        setenv("PORTKICK_DEVICE_DIR", "", 1);
        const os::PortHandle inDev = os::openPort("\\\\.\\" + name, os::OpenFor::touch);
        unlink(("/dev/" + name).c_str());
        EXPECT_NE(inDev, os::kNoPort);
        os::closePort(inDev);
    }
}

// Who else has the port, and whether a probe (a scan) and a touch open it
// then. A scan sees the claims that serial programs make; the touch also
// sees every other open descriptor, and refuses when it cannot look.
TEST_F(PosixOs, PortsHeldByOthers) {
    std::string pty, otherPty;
    const int masters[] = {linkPty("COM5", pty), linkPty("COM8", otherPty)};
    const std::string file = makeFile("COM6"), unique = "pk" + std::to_string(getpid());
    ASSERT_EQ(symlink(makeFile(unique + "-device").c_str(), (dir + "/" + unique).c_str()), 0);
    ASSERT_EQ(symlink("/dev/tty", (dir + "/COM7").c_str()), 0);
    const std::string number = pty.substr(std::strlen("/dev/pts/"));
    pid_t stalled = 0;

    const auto holding = [](const std::string& path, int claim = 0) {
        return [=] {
            return spawn([&](int) {
                const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
                if (claim == LOCK_EX) flock(fd, LOCK_EX);
                if (claim == TIOCEXCL) ioctl(fd, TIOCEXCL);
            });
        };
    };
    const auto locking = [](const std::string& name) {
        return [=] { return spawn([&](int) { writeFile("/run/lock/LCK.." + name, std::to_string(getpid()) + "\n"); }); };
    };
    const auto nobody = [] { return pid_t{0}; };
    const auto nothing = [] {};
    struct Case {
        const char* holder;
        const char* port;
        std::function<pid_t()> hold;       // starts the holder, if any
        std::function<void()> inChecker;  // the checker's own surroundings
        bool probeOpens, touchOpens;
    };
    const std::vector<Case> cases = {
        {"nobody", "COM5", nobody, nothing, true, true},
        {"another process, unclaimed", "COM5", holding(pty), nothing, true, false},
        {"another process, unclaimed (a file)", "COM6", holding(file), nothing, true, false},
        {"another process, flock", "COM5", holding(pty, LOCK_EX), nothing, false, false},
        {"another process, exclusive mode", "COM8", holding(otherPty, TIOCEXCL), nothing, false, false},
        {"UUCP lock under the port's name", unique.c_str(), locking(unique), nothing, false, false},
        {"UUCP lock under the device's name", unique.c_str(), locking(unique + "-device"), nothing, false, false},
        {"UUCP lock whose owner is gone", unique.c_str(),
         [&] {
             const pid_t gone = spawn([](int) {});
             stop(gone);
             writeFile("/run/lock/LCK.." + unique, std::to_string(gone) + "\n");
             return pid_t{0};
         },
         nothing, true, true},
        {"a thread that outlived the main thread", "COM5",
         [&] {
             return spawn([&](int ready) {
                 open(pty.c_str(), O_RDWR | O_NOCTTY);
                 static int readyFd = ready;
                 pthread_t thread;
                 pthread_create(&thread, nullptr, [](void*) -> void* {
                     for (int entries = 0; entries != 2; usleep(1000)) {  // until the main thread's table is gone
                         DIR* fds = opendir("/proc/self/fd");
                         for (entries = 0; readdir(fds) != nullptr;) ++entries;
                         closedir(fds);
                     }
                     (void)!write(readyFd, "", 1);
                     for (;;) pause();
                 }, nullptr);
                 syscall(SYS_exit, 0);  // the main thread alone ends, unwinding nothing
             });
         },
         nothing, true, false},
        {"the same number on another devpts instance", "COM5",
         [&] {
             return spawn([&](int) {
                 char other[] = "/tmp/portkick-devpts-XXXXXX";
                 if (!privateMounts() || mkdtemp(other) == nullptr ||
                     mount("devpts", other, "devpts", 0, "newinstance,ptmxmode=0666") != 0) {
                     std::_Exit(1);
                 }
                 for (int index = -1, unlocked = 0; index < std::stoi(number);) {
                     const int master = open((other + std::string("/ptmx")).c_str(), O_RDWR | O_NOCTTY);
                     ioctl(master, TIOCSPTLCK, &unlocked);
                     ioctl(master, TIOCGPTN, &index);
                 }
                 open((other + ("/" + number)).c_str(), O_RDWR | O_NOCTTY);
             });
         },
         nothing, true, true},
        {"another process, the port reached through /dev/tty", "COM7", holding(pty),
         [&] {  // the pty is the checker's controlling terminal
             setsid();
             close(open(pty.c_str(), O_RDWR));
         },
         true, false},
        {"nobody, and another process's file on a stalled file system", "COM5",
         [&] { return stallAFileSystem(stalled); }, nothing, true, true},
        {"nobody, but /proc is no procfs", "COM5", nobody,
         [] { privateMounts() && mount("none", "/proc", "tmpfs", 0, nullptr); }, true, false},
        {"nobody, but the checker is out of descriptors", "COM5", nobody,
         [] {
             const int next = dup(0);
             close(next);
             const rlimit few{static_cast<rlim_t>(next + 2), static_cast<rlim_t>(next + 2)};
             setrlimit(RLIMIT_NOFILE, &few);
         },
         true, false},
    };
    for (const Case& c : cases) {
        const pid_t holder = c.hold();
        const pid_t checker = fork();
        if (checker == 0) {
            c.inChecker();
            int opened = 0;
            for (const os::OpenFor purpose : {os::OpenFor::probe, os::OpenFor::touch}) {
                const os::PortHandle port = os::openPort(std::string("\\\\.\\") + c.port, purpose);
                opened = opened * 2 + (port != os::kNoPort);
                if (port != os::kNoPort) os::closePort(port);
            }
            std::_Exit(opened);
        }
        int status = -1;
        for (int waited = 0; waited < 1000 && waitpid(checker, &status, WNOHANG) == 0; ++waited) usleep(10000);
        EXPECT_TRUE(WIFEXITED(status)) << c.holder << ": the check did not end within 10 s";
        EXPECT_EQ(WEXITSTATUS(status), c.probeOpens * 2 + c.touchOpens) << c.holder;
        if (stalled != 0) kill(stalled, SIGCONT);  // first let the file system go on, then kill
        if (!WIFEXITED(status)) stop(checker);
        if (holder != 0) stop(holder);
        if (stalled != 0) kill(stalled, SIGTERM);
        stalled = 0;
        unlink(("/run/lock/LCK.." + unique).c_str());
        unlink(("/run/lock/LCK.." + unique + "-device").c_str());
    }
    for (const int master : masters) close(master);
}

// Nobody but root can open the port from our open to our close, for a probe
// as for a touch, and the exclusive mode goes with the close.
TEST_F(PosixOs, NobodyElseOpensThePortWhileItIsOpen) {
    std::string pty;
    const int master = linkPty("COM5", pty);
    ASSERT_EQ(chmod(pty.c_str(), 0666), 0);
    const auto openAsAnotherUser = [&] {  // the errno of the open, 0 when it opened
        const pid_t other = fork();
        if (other == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(100);
            std::_Exit(open(pty.c_str(), O_RDWR | O_NOCTTY) < 0 ? errno : 0);
        }
        int status = 0;
        waitpid(other, &status, 0);
        return WEXITSTATUS(status);
    };
    for (const os::OpenFor purpose : {os::OpenFor::probe, os::OpenFor::touch}) {
        const os::PortHandle port = os::openPort("\\\\.\\COM5", purpose);
        ASSERT_NE(port, os::kNoPort);
        EXPECT_EQ(openAsAnotherUser(), EBUSY);
        os::closePort(port);
        EXPECT_EQ(openAsAnotherUser(), 0);
    }
    close(master);
}

TEST_F(PosixOs, LineSettingsBecome1200Baud8N1AndKeepEverythingElse) {
    termios before{}, after{};
    before.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | CREAD;
    before.c_iflag = IXON;
    before.c_lflag = ECHO;
    cfsetspeed(&before, B9600);
    std::string pty;
    const int master = linkPty("COM5", pty, &before);
    const os::PortHandle port = os::openPort("\\\\.\\COM5", os::OpenFor::touch);
    ASSERT_NE(port, os::kNoPort);
    EXPECT_EQ(os::setLineSettings(port, 1200), os::LineResult::applied);
    os::closePort(port);
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(std::make_pair(cfgetospeed(&after), cfgetispeed(&after)), std::make_pair(speed_t{B1200}, speed_t{B1200}));
    EXPECT_EQ(after.c_cflag & ~CBAUD, tcflag_t{CS8 | CRTSCTS | CREAD});
    EXPECT_EQ(std::make_pair(after.c_iflag, after.c_lflag), std::make_pair(before.c_iflag, before.c_lflag));
    close(master);
}

TEST_F(PosixOs, CommandStatusIsTheExitCodeOr128PlusTheSignalAndSleepsLastTheirTime) {
    EXPECT_EQ(os::runCommand("exit 0"), 0);
    EXPECT_EQ(os::runCommand("exit 3"), 3);
    EXPECT_EQ(os::runCommand("kill -TERM $$"), 128 + SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    os::sleepMs(100);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

}  // namespace
