// The POSIX stand-in for the serial port interface, on real files and
// pseudo-terminals in a temporary device directory.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fuse.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "os/os.h"

namespace {

// Runs `body` in a child that then says it is ready (on the descriptor it is
// given, which a body that ends its main thread writes to itself) and waits
// to be killed, or dies with the test. Returns the child's PID.
pid_t spawn(const std::function<void(int ready)>& body) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        body(ready[1]);
        (void)!write(ready[1], "", 1);
        for (;;) pause();
    }
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1) << "a holder did not get ready";
    close(ready[0]);
    return pid;
}

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void lockFile(const std::string& name, long owner) {
    FILE* lock = std::fopen(("/run/lock/LCK.." + name).c_str(), "w");
    std::fprintf(lock, "%10ld\n", owner);
    std::fclose(lock);
}

bool privateMounts() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

void reply(int fuse, std::uint64_t unique, int error, const void* body = nullptr, std::size_t size = 0) {
    const fuse_out_header header{static_cast<std::uint32_t>(sizeof header + size), error, unique};
    char out[sizeof header + 256];
    std::memcpy(out, &header, sizeof header);
    if (size != 0) std::memcpy(out + sizeof header, body, size);
    (void)!write(fuse, out, header.len);
}

// Serves a file system of one file until `opened` is readable, then never
// answers again.
void serveUntil(int fuse, int opened) {
    std::vector<char> request(FUSE_MIN_READ_BUFFER + 65536);
    pollfd watch[2] = {{fuse, POLLIN, 0}, {opened, POLLIN, 0}};
    while (poll(watch, 2, -1) > 0 && !(watch[1].revents & POLLIN)) {
        const ssize_t got = read(fuse, request.data(), request.size());
        if (got < static_cast<ssize_t>(sizeof(fuse_in_header))) continue;
        const auto* in = reinterpret_cast<const fuse_in_header*>(request.data());
        fuse_attr attr{};  // attributes that are never valid for long
        attr.ino = in->opcode == FUSE_LOOKUP ? 2 : in->nodeid;
        attr.mode = attr.ino == FUSE_ROOT_ID ? S_IFDIR | 0755 : S_IFREG | 0644;
        attr.nlink = 1;
        if (in->opcode == FUSE_INIT) {
            fuse_init_out init{};
            init.major = FUSE_KERNEL_VERSION;
            init.minor = FUSE_KERNEL_MINOR_VERSION;
            init.max_write = 4096;
            reply(fuse, in->unique, 0, &init, sizeof init);
        } else if (in->opcode == FUSE_LOOKUP) {
            fuse_entry_out entry{};
            entry.nodeid = 2;
            entry.entry_valid = 3600;
            entry.attr = attr;
            reply(fuse, in->unique, 0, &entry, sizeof entry);
        } else if (in->opcode == FUSE_GETATTR) {
            fuse_attr_out out{};
            out.attr = attr;
            reply(fuse, in->unique, 0, &out, sizeof out);
        } else if (in->opcode == FUSE_OPEN) {
            fuse_open_out out{};
            reply(fuse, in->unique, 0, &out, sizeof out);
        } else if (in->opcode != FUSE_FORGET && in->opcode != FUSE_BATCH_FORGET) {
            reply(fuse, in->unique, -ENOSYS);
        }
    }
}

// A process holding a file on a file system that has stopped answering, and
// the server of that file system (in a mount namespace of its own). Closing
// `release` makes the server let go of the file system, which ends every
// wait on it: do that before killing anything.
void stallAFileSystem(std::vector<pid_t>& processes, int& release) {
    int released[2];
    ASSERT_EQ(pipe(released), 0);
    release = released[1];
    processes.push_back(spawn([&](int ready) {
        close(released[1]);
        char dir[] = "/tmp/portkick-stall-XXXXXX";
        const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        const std::string options = "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0";
        int opened[2];
        if (!privateMounts() || mkdtemp(dir) == nullptr || pipe(opened) != 0 ||
            mount("stall", dir, "fuse", MS_NODEV | MS_NOSUID, options.c_str()) != 0) {
            std::_Exit(1);
        }
        if (fork() == 0) {  // the holder
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(fuse);  // or its exit would wait on the file system it keeps alive
            const int file = open((std::string(dir) + "/file").c_str(), O_RDONLY);
            (void)!write(opened[1], &file, 1);
            for (;;) pause();
        }
        serveUntil(fuse, opened[0]);
        (void)!write(ready, "", 1);
        char byte;
        (void)!read(released[0], &byte, 1);
        std::_Exit(0);  // closes the device: every request fails from now on
    }));
    close(released[0]);
}

class PosixOs : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/portkick-dev-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("PORTKICK_DEVICE_DIR", dir.c_str(), 1);
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string makeFile(const std::string& name) {
        close(open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
        return dir + "/" + name;
    }
    // A pty's slave, closed, linked as name; returns the master (it reads the
    // slave's settings) and the slave's path.
    int linkPty(const std::string& name, const termios* settings = nullptr, std::string* slavePath = nullptr) {
        int master = -1, slave = -1;
        char path[64];
        EXPECT_EQ(openpty(&master, &slave, path, settings, nullptr), 0);
        close(slave);
        EXPECT_EQ(symlink(path, (dir + "/" + name).c_str()), 0);
        if (slavePath != nullptr) *slavePath = path;
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
    // An empty device directory is /dev.
    if (geteuid() == 0) {
        const std::string name = "portkick-test-" + std::to_string(getpid());
        close(open(("/dev/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
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
    ASSERT_EQ(geteuid(), 0u) << "holders of every kind need root";
    std::string slave, exclusiveSlave;
    const int masters[] = {linkPty("COM5", nullptr, &slave), linkPty("COM8", nullptr, &exclusiveSlave)};
    const std::string file = makeFile("COM6");
    const std::string unique = "pk" + std::to_string(getpid());
    ASSERT_EQ(symlink(makeFile(unique + "-device").c_str(), (dir + "/" + unique).c_str()), 0);
    ASSERT_EQ(symlink("/dev/tty", (dir + "/COM7").c_str()), 0);
    const int number = std::atoi(slave.c_str() + std::strlen("/dev/pts/"));

    using Processes = std::vector<pid_t>;
    const auto holding = [](const std::string& path, int claim = 0) {
        return [=](Processes& up, int&) {
            up.push_back(spawn([&](int) {
                const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
                if (claim == LOCK_EX) flock(fd, LOCK_EX);
                if (claim == TIOCEXCL) ioctl(fd, TIOCEXCL);
            }));
        };
    };
    const auto locking = [](const std::string& name) {
        return [=](Processes& up, int&) { up.push_back(spawn([&](int) { lockFile(name, getpid()); })); };
    };
    const auto nothing = [] {};
    struct Case {
        const char* holder;
        const char* port;
        std::function<void(Processes&, int& release)> setUp;
        std::function<void()> inChecker;  // the checker's own surroundings
        bool probeOpens, touchOpens;
    };
    const std::vector<Case> cases = {
        {"nobody", "COM5", [](Processes&, int&) {}, nothing, true, true},
        {"another process, unclaimed", "COM5", holding(slave), nothing, true, false},
        {"another process, unclaimed (a file)", "COM6", holding(file), nothing, true, false},
        {"another process, flock", "COM5", holding(slave, LOCK_EX), nothing, false, false},
        {"another process, exclusive mode", "COM8", holding(exclusiveSlave, TIOCEXCL), nothing, false, false},
        {"UUCP lock under the port's name", unique.c_str(), locking(unique), nothing, false, false},
        {"UUCP lock under the device's name", unique.c_str(), locking(unique + "-device"), nothing, false, false},
        {"UUCP lock whose owner is gone", unique.c_str(),
         [&](Processes&, int&) {
             const pid_t gone = spawn([](int) {});
             stop(gone);
             lockFile(unique, gone);
         },
         nothing, true, true},
        {"a thread that outlived the main thread", "COM5",
         [&](Processes& up, int&) {
             up.push_back(spawn([&](int ready) {
                 open(slave.c_str(), O_RDWR | O_NOCTTY);
                 static int signal;
                 signal = ready;
                 pthread_t thread;
                 pthread_create(&thread, nullptr, [](void*) -> void* {
                     for (;;) {  // ready once the main thread's table reads empty
                         DIR* fds = opendir("/proc/self/fd");
                         int entries = 0;
                         while (fds != nullptr && readdir(fds) != nullptr) ++entries;
                         if (fds != nullptr) closedir(fds);
                         if (entries == 2) break;
                         usleep(1000);
                     }
                     (void)!write(signal, "", 1);
                     for (;;) pause();
                 }, nullptr);
                 syscall(SYS_exit, 0);  // the main thread alone ends, unwinding nothing
             }));
         },
         nothing, true, false},
        {"the same number on another devpts instance", "COM5",
         [&](Processes& up, int&) {
             up.push_back(spawn([&](int) {
                 char other[] = "/tmp/portkick-devpts-XXXXXX";
                 if (!privateMounts() || mkdtemp(other) == nullptr ||
                     mount("devpts", other, "devpts", 0, "newinstance,ptmxmode=0666") != 0) {
                     std::_Exit(1);
                 }
                 for (int index = -1, unlocked = 0; index < number;) {
                     const int pty = open((std::string(other) + "/ptmx").c_str(), O_RDWR | O_NOCTTY);
                     ioctl(pty, TIOCSPTLCK, &unlocked);
                     ioctl(pty, TIOCGPTN, &index);
                 }
                 open((std::string(other) + "/" + std::to_string(number)).c_str(), O_RDWR | O_NOCTTY);
             }));
         },
         nothing, true, true},
        {"another process, the port reached through /dev/tty", "COM7", holding(slave),
         [&] {  // the pty is the checker's controlling terminal
             setsid();
             close(open(slave.c_str(), O_RDWR));
         },
         true, false},
        {"nobody, and another process's file on a stalled file system", "COM5", stallAFileSystem, nothing,
         true, true},
        {"nobody, but /proc is no procfs", "COM5", [](Processes&, int&) {},
         [] { privateMounts() && mount("none", "/proc", "tmpfs", 0, nullptr); }, true, false},
        {"nobody, but /proc shows another PID namespace", "COM5", [](Processes&, int&) {},
         [] {
             int ready[2];
             if (!privateMounts() || pipe(ready) != 0 || unshare(CLONE_NEWPID) != 0) std::_Exit(100);
             if (fork() == 0) {  // the first process of the new namespace mounts its /proc
                 prctl(PR_SET_PDEATHSIG, SIGKILL);
                 mount("proc", "/proc", "proc", 0, nullptr);
                 (void)!write(ready[1], "", 1);
                 for (;;) pause();
             }
             char byte;
             (void)!read(ready[0], &byte, 1);
         },
         true, false},
        {"nobody, but the checker is out of descriptors", "COM5", [](Processes&, int&) {},
         [] {
             const int next = dup(0);
             close(next);
             const rlimit few{static_cast<rlim_t>(next + 2), static_cast<rlim_t>(next + 2)};
             setrlimit(RLIMIT_NOFILE, &few);
         },
         true, false},
    };
    for (const Case& c : cases) {
        Processes holders;
        int release = -1;
        c.setUp(holders, release);
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
        close(release);  // first let a stalled file system go, then kill
        if (!WIFEXITED(status)) stop(checker);
        for (pid_t holder : holders) stop(holder);
        unlink(("/run/lock/LCK.." + unique).c_str());
        unlink(("/run/lock/LCK.." + unique + "-device").c_str());
        for (const std::string& pty : {slave, exclusiveSlave}) {  // a pty keeps its exclusive mode
            const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY);
            ioctl(fd, TIOCNXCL);
            close(fd);
        }
    }
    for (const int master : masters) close(master);
}

// Nobody but root can open the port from our open to our close, for a probe
// as for a touch, and the exclusive mode goes with the close.
TEST_F(PosixOs, NobodyElseOpensThePortWhileItIsOpen) {
    std::string slave;
    const int master = linkPty("COM5", nullptr, &slave);
    ASSERT_EQ(chmod(slave.c_str(), 0666), 0);
    const auto openAsAnotherUser = [&] {  // the errno of the open, 0 when it opened
        const pid_t other = fork();
        if (other == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) std::_Exit(100);
            std::_Exit(open(slave.c_str(), O_RDWR | O_NOCTTY) < 0 ? errno : 0);
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
    termios before{};
    before.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | CREAD;
    before.c_iflag = IXON;
    before.c_lflag = ECHO;
    cfsetspeed(&before, B9600);
    const int master = linkPty("COM5", &before);
    const os::PortHandle port = os::openPort("\\\\.\\COM5", os::OpenFor::touch);
    ASSERT_NE(port, os::kNoPort);
    EXPECT_EQ(os::setLineSettings(port, 1200), os::LineResult::applied);
    os::closePort(port);

    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), B1200);
    EXPECT_EQ(cfgetispeed(&after), B1200);
    EXPECT_EQ(after.c_cflag & ~CBAUD, tcflag_t{CS8 | CRTSCTS | CREAD});
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    close(master);
}

TEST_F(PosixOs, CommandStatusIsTheExitCodeOr128PlusTheSignal) {
    EXPECT_EQ(os::runCommand("exit 0"), 0);
    EXPECT_EQ(os::runCommand("exit 3"), 3);
    EXPECT_EQ(os::runCommand("kill -TERM $$"), 128 + SIGTERM);
}

TEST_F(PosixOs, SleepLastsAtLeastTheTimeAskedFor) {
    const auto start = std::chrono::steady_clock::now();
    os::sleepMs(100);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

}  // namespace
