// The POSIX stand-in for the serial port interface, on real files and pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "os/os.h"

namespace {

// A child that ends with fn's value, or by SIGALRM after `seconds`.
pid_t child(const std::function<int()>& fn, unsigned seconds = 10) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    return pid == 0 ? (alarm(seconds), std::_Exit(fn()), 0) : pid;
}

// How a child ended: its exit status, or 128 + the signal that ended it.
int status(pid_t pid) {
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void stop(pid_t pid) {
    kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
}

// Starts a holder: a child, in a process group of its own, that takes hold of something and then stops
// (SIGSTOP) until it is killed. A shell script that it runs stops itself.
pid_t hold(const std::function<void()>& holds) {
    const pid_t pid = child([&] {
        setpgid(0, 0);
        holds();
        return raise(SIGSTOP);
    });
    int status = -1;
    EXPECT_TRUE(waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status));
    return pid;
}

// The PID of a process that has ended.
pid_t gone() {
    return waitpid(child([] { return 0; }), nullptr, 0);
}

// A mount namespace of this process's own; not as root, inside a user namespace of its own whose root it is.
bool privateMounts() {
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (unshare(CLONE_NEWNS | (uid == "0" ? 0 : CLONE_NEWUSER)) != 0) return false;
    if (uid != "0") {
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " + uid + " 1";
        std::ofstream("/proc/self/gid_map") << "0 " + gid + " 1";
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A user other than root: root drops to nobody.
void unprivileged() {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(100);
}

// Without CAP_SYS_PTRACE, as root in a container is.
void mayNotTrace() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    syscall(SYS_capget, &header, data);
    data[0].effective &= ~(1u << CAP_SYS_PTRACE);
    syscall(SYS_capset, &header, data);
}

// kcmp refused, as a container's seccomp profile refuses it: the first call fails with EPERM, and a second
// ends the process with status 99.
void refuseKcmp() {
    struct sigaction action {};
    action.sa_flags = SA_SIGINFO;
    action.sa_sigaction = [](int, siginfo_t*, void* context) {
        static int calls = 0;
        if (++calls > 1) _exit(99);
        static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RAX] = -EPERM;
    };
    sigaction(SIGSYS, &action, nullptr);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_kcmp, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{4, filter};
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}

// A device directory whose COM5 is a pseudo-terminal's slave, open to all; its settings are read on the master.
class PosixOs : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/portkick-dev-XXXXXX", slavePath[64];
        dir = mkdtemp(tmpl);
        setenv("PORTKICK_DEVICE_DIR", dir.c_str(), 1);
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, slavePath, nullptr, nullptr), 0);
        pty = slavePath;
        for (const std::string& path : {dir, pty}) chmod(path.c_str(), 0777);  // for a checker that is not root
        ASSERT_EQ(close(slave) + symlink(slavePath, (dir + "/COM5").c_str()), 0);
    }
    void TearDown() override { close(master), std::system(("rm -rf " + dir).c_str()); }
    std::string turnLock(const std::string& locks) const {  // the device directory's in that lock directory
        struct stat directory {};
        stat(dir.c_str(), &directory);
        return locks + "/portkick-" + std::to_string(directory.st_dev) + "-" + std::to_string(directory.st_ino);
    }
    std::string dir, pty;
    int master = -1;
};

// A device path names a file of the device directory, which is opened for reading and writing, and nobody but
// root opens it from our open to our close (the exclusive mode goes with the close). The touch sets it to
// 1200 baud 8N1 and keeps every other setting.
TEST_F(PosixOs, APortOpensForUsAloneAndTheTouchSetsIt1200Baud8N1KeepingEverythingElse) {
    termios before{IXON, 0, CSTOPB | CRTSCTS | CREAD, ECHO, 0, {}, 0, 0}, after{};  // a pty holds only 8 bits, no parity
    cfsetspeed(&before, B9600);
    ASSERT_EQ(tcsetattr(master, TCSANOW, &before), 0);
    const auto openAsAnotherUser = [&] {  // the errno of the open, 0 when it opened
        return status(child([&] { return unprivileged(), open(pty.c_str(), O_RDWR | O_NOCTTY) < 0 ? errno : 0; }));
    };
    for (const os::OpenFor purpose : {os::OpenFor::probe, os::OpenFor::touch}) {
        const os::PortHandle port = os::openPort("\\\\.\\COM5", purpose);
        ASSERT_NE(port, os::kNoPort);
        EXPECT_EQ(fcntl(static_cast<int>(port), F_GETFL) & O_ACCMODE, O_RDWR);
        EXPECT_EQ(openAsAnotherUser(), EBUSY);
        if (purpose == os::OpenFor::touch) {
            EXPECT_EQ(os::setLineSettings(port), os::LineResult::applied);
        }
        os::closePort(port);
        EXPECT_EQ(openAsAnotherUser(), 0);
    }
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(std::make_pair(cfgetospeed(&after), cfgetispeed(&after)), std::make_pair(speed_t{B1200}, speed_t{B1200}));
    EXPECT_EQ(after.c_cflag & ~CBAUD, tcflag_t{CS8 | CRTSCTS | CREAD});
    EXPECT_EQ(std::make_pair(after.c_iflag, after.c_lflag), std::make_pair(before.c_iflag, before.c_lflag));
    for (const char* path : {"COM5", "\\\\.\\", "\\\\.\\..", "\\\\.\\../COM5", "\\\\.\\COM7"}) {
        EXPECT_EQ(os::openPort(path, os::OpenFor::probe), os::kNoPort) << path;
    }
}

// Who else has the port, and whether a probe (a scan) and a touch open it then. A scan sees the claims that
// serial programs make; the touch also sees every other open descriptor, and refuses when it cannot look.
TEST_F(PosixOs, PortsHeldByOthers) {
    // A port of a name of its own (UUCP locks are by name, for every device directory), a regular file.
    const std::string unique = "pk" + std::to_string(getpid()), device = dir + "/" + unique + "-device";
    const std::string uucp = "/run/lock/LCK.." + unique;
    close(open(device.c_str(), O_CREAT | O_WRONLY, 0666));
    ASSERT_EQ(chmod(device.c_str(), 0666) + symlink(device.c_str(), (dir + "/" + unique).c_str()) +
                  symlink("/dev/tty", (dir + "/COM7").c_str()), 0);
    struct stat tty {};
    stat(pty.c_str(), &tty);
    char numbered[64];  // COM5's UUCP lock by its numbers
    std::snprintf(numbered, sizeof numbered, "/run/lock/LK.%03u.%03u.%03u", major(tty.st_dev), major(tty.st_rdev),
                  minor(tty.st_rdev));
    const bool root = geteuid() == 0;
    setenv("PTY", pty.c_str(), 1);
    setenv("NS", root ? "-m" : "-rm", 1);
    setenv("AS_OTHER", root ? "setpriv --reuid=65534 --regid=65534 --clear-groups env PATH=/usr/bin:/bin " : "", 1);
    const auto openPty = [&] { return open(pty.c_str(), O_RDWR | O_NOCTTY); };
    const auto lock = [](const std::string& path, pid_t owner) { std::ofstream(path) << owner << "\n"; };
    const auto hiding = [&] { return openPty(), prctl(PR_SET_DUMPABLE, 0); };  // /proc/PID/fd is then root's
    const auto anotherDevpts = [&] {  // a devpts instance of its own, opened up to the pty's number
        const std::string pts = dir + "/devpts", number = pty.substr(pty.rfind('/') + 1);
        mkdir(pts.c_str(), 0755), privateMounts(), mount("devpts", pts.c_str(), "devpts", 0, "newinstance,ptmxmode=0666");
        for (int n = 0, unlocked = 0; n <= std::stoi(number); ++n) {
            ioctl(open((pts + "/ptmx").c_str(), O_RDWR), TIOCSPTLCK, &unlocked);
        }
        open((pts + "/" + number).c_str(), O_RDWR | O_NOCTTY);
    };
    const auto outlivedByAThread = [&] {  // not as root: the main thread's table then reads as hidden
        unprivileged(), prctl(PR_SET_DUMPABLE, 1), openPty();  // dumpable, as a program of that user's is
        std::thread([] {  // until the main thread and its table are gone
            for (std::error_code error; !std::filesystem::is_empty("/proc/self/fd", error);) usleep(1000);
            raise(SIGSTOP);
        }).detach();
        syscall(SYS_exit, 0);  // of the main thread alone
    };
    // Another user's FUSE mount (for root: nobody's, which root may not look into); its file first, then the
    // port. The server need not stay.
    const auto fuse = [] {
        execl("/bin/sh", "sh", "-c", R"(
d=$PORTKICK_DEVICE_DIR/fuse; mkdir -p $d/s $d/m; : >$d/s/f; chmod -R 777 $d
exec $AS_OTHER unshare -rm sh -c "bindfs -f $d/s $d/m & until [ -e $d/m/f ]; do sleep 0.01; done
exec 3<$d/m/f; kill \$!; wait; exec 4<>$PTY; kill -STOP \$\$")", nullptr);
    };
    // A stopped bindfs: whatever asks it for anything waits.
    const auto stall = [] {
        execl("/bin/sh", "sh", "-c", R"(
d=$PORTKICK_DEVICE_DIR/stall; mkdir -p $d/s $d/m; : >$d/s/f; exec unshare $NS sh -c "
bindfs -f -o attr_timeout=0 $d/s $d/m & until [ -e $d/m/f ]; do sleep 0.01; done
exec 3<$d/m/f; kill -STOP \$! \$\$")", nullptr);
    };
    const auto outOfDescriptors = [] {  // room for the port and one more
        const rlim_t next = fcntl(0, F_DUPFD, 0);
        const rlimit few{next + 2, next + 2};
        close(next);
        setrlimit(RLIMIT_NOFILE, &few);
    };
    const auto nothing = [] {};
    struct Case {
        const char* holder;
        std::string port;
        bool probeOpens, touchOpens;
        std::function<void()> holds;
        std::function<void()> inChecker = [] {};  // the checker's own surroundings
    };
    const Case cases[] = {
        {"nobody", "COM5", true, true, nothing},
        {"another process, unclaimed", "COM5", true, false, openPty},
        {"UUCP lock under the port's name", unique, false, false, [&] { lock(uucp, getpid()); }},
        {"UUCP lock under the device's name", unique, false, false, [&] { lock(uucp + "-device", getpid()); }},
        {"UUCP lock whose owner is gone", unique, true, true, [&] { lock(uucp, gone()); }},
        {"UUCP lock in binary whose owner is gone", unique, true, true,
         [&, owner = gone()] { std::ofstream(uucp).write(reinterpret_cast<const char*>(&owner), sizeof owner); }},
        {"UUCP lock under the device's numbers", "COM5", false, false, [&] { lock(numbered, getpid()); }},
        {"UUCP lock that cannot be read", unique, false, false, [&] { close(open(uucp.c_str(), O_CREAT, 0)); },
         unprivileged},
        {"a FIFO in place of a UUCP lock", unique, true, true, [&] { mkfifo(uucp.c_str(), 0666); }},
        {"a process of the checker's own user that hides its descriptors", "COM5", true, false,
         [&] { unprivileged(), hiding(); }, unprivileged},
        {"the same, for a checker that may not trace every process", "COM5", true, false, hiding, mayNotTrace},
        {"another user's file that cannot be looked at, then the port", "COM5", true, false, fuse},
        {"a descriptor that only names the port (O_PATH)", "COM5", true, true, [&] { open(pty.c_str(), O_PATH); }},
        {"a thread that outlived the main thread", "COM5", true, false, outlivedByAThread, unprivileged},
        {"nobody, and a child of the checker's that ended but was not reaped", "COM5", true, true, nothing,
         [] { unprivileged(), fork() == 0 && (std::_Exit(0), 0); }},
        {"the same number on another devpts instance", "COM5", true, true, anotherDevpts},
        {"another process, the port reached through /dev/tty", "COM7", true, false, openPty,
         [&] { setsid(), close(open(pty.c_str(), O_RDWR)); }},  // the pty: the controlling terminal
        {"nobody, and another process's file on a stalled file system", "COM5", true, true, stall},
        {"nobody, but /proc is no procfs", "COM5", true, false, nothing,
         [] { privateMounts() && mount("none", "/proc", "tmpfs", 0, nullptr); }},
        {"nobody, but the checker is out of descriptors", "COM5", true, false, nothing, outOfDescriptors},
        {"nobody, and kcmp refused among many threads", "COM5", true, true,
         [] { for (int thread = 0; thread < 8; ++thread) std::thread(pause).detach(); }, refuseKcmp},
        // Last, as the mode stays: another process's exclusive mode.
        {"another process, exclusive mode", "COM5", false, false, [&] { ioctl(openPty(), TIOCEXCL); }},
    };
    for (const Case& c : cases) {
        const pid_t holder = hold(c.holds);
        const pid_t checker = child([&] {
            c.inChecker();
            int opened = 0;
            for (const os::OpenFor purpose : {os::OpenFor::probe, os::OpenFor::touch}) {
                const os::PortHandle port = os::openPort("\\\\.\\" + c.port, purpose);
                opened = opened * 2 + (port != os::kNoPort);
                if (port != os::kNoPort) os::closePort(port);
            }
            return opened;
        }, 60);
        int status = -1;
        for (int waited = 0; waited < 1000 && waitpid(checker, &status, WNOHANG) == 0; ++waited) usleep(10000);
        EXPECT_TRUE(WIFEXITED(status)) << c.holder << ": the check did not end within 10 s";
        EXPECT_EQ(WEXITSTATUS(status), c.probeOpens * 2 + c.touchOpens) << c.holder;
        kill(-holder, SIGCONT);  // a stalled file system goes on before anything is killed
        if (!WIFEXITED(status)) stop(checker);
        stop(-holder);  // the holder's process group
        for (const std::string& lock : {uucp, uucp + "-device", std::string(numbered)}) unlink(lock.c_str());
    }
}

// Runs over one device directory take turns: the turn is held until its holder ends, and any user's to take
// then; nothing planted in place of its lock file makes a run hang, and a note left in it reaches the next run.
TEST_F(PosixOs, RunsTakeTurns) {
    struct stat file {};
    const std::string lock = turnLock("/run/lock");
    unlink(lock.c_str());  // one that an earlier directory with these numbers left
    const pid_t holder = hold([] { umask(077), os::takeTurn(false); });
    EXPECT_EQ(stat(lock.c_str(), &file) == 0 ? file.st_mode & 07777 : 0, 0666u);
    const auto anotherUserTakesIt = [] { return status(child([] { return unprivileged(), os::takeTurn(false); })); };
    EXPECT_EQ(anotherUserTakesIt(), 0) << "taken twice";
    stop(holder);
    EXPECT_EQ(anotherUserTakesIt(), 1);
    os::leaveTurnNote("COM5");
    std::uint64_t age = 60000;
    EXPECT_EQ(os::turnNote(age), "COM5");
    EXPECT_LT(age, 10000u);
    for (const auto& plant : {"mkfifo", "mkdir"}) {  // no turn to be had: a run goes without one
        unlink(lock.c_str());
        ASSERT_EQ(std::system((std::string(plant) + " " + lock).c_str()), 0);
        EXPECT_EQ(status(child([&] { return os::takeTurn(true) && os::turnNote(age).empty(); })), 1) << plant;
        rmdir(lock.c_str());
    }
    unlink(lock.c_str());
}

// Where the lock directories are root's alone, the runs of every user take turns in /tmp.
TEST_F(PosixOs, RunsOfEveryUserTakeTurnsWhereTheLockDirectoriesAreRootsAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: lock directories of its own";
    EXPECT_EQ(status(child([&] {
        if (!privateMounts() || mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=0755") != 0) return 2;
        const pid_t holder = hold([] { unprivileged(), os::takeTurn(false); });
        const int taken = status(child([] { return unprivileged(), os::takeTurn(false); }));
        stop(-holder);
        unlink(turnLock("/tmp").c_str());
        return taken;
    })), 0) << "taken twice";
}

TEST_F(PosixOs, CommandStatusIsTheExitCodeOr128PlusTheSignalAndSleepsLastTheirTime) {
    EXPECT_EQ(os::runCommand("exit 0"), 0);
    EXPECT_EQ(os::runCommand("exit 3"), 3);
    EXPECT_EQ(os::runCommand("kill -TERM $$"), 128 + SIGTERM);
    unsetenv("PORTKICK_DEVICE_DIR");  // none, or an empty one, is /dev, which the wrapper is told
    EXPECT_EQ(os::runCommand("test \"$PORTKICK_DEVICE_DIR\" = /dev"), 0);
    setenv("PORTKICK_DEVICE_DIR", "", 1);
    EXPECT_EQ(os::runCommand("test \"$PORTKICK_DEVICE_DIR\" = /dev"), 0);
    const auto start = std::chrono::steady_clock::now();
    os::sleepMs(100);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

}  // namespace
