// The POSIX stand-in for the serial port interface, on real files and
// pseudo-terminals in a temporary device directory.
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
#include <cstring>
#include <functional>
#include <string>

#include "os/os.h"

namespace {

// Starts a holder: a shell script that prints its PID once it holds what
// it holds (0: nothing to stop later), then sleeps.
pid_t hold(const std::string& script) {
    setenv("HOLD", script.c_str(), 1);
    pid_t pid = -1;
    EXPECT_EQ(std::fscanf(popen("exec sh -c \"$HOLD\"", "r"), "%d", &pid), 1) << script;
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

// The checker as a user other than root: root drops to nobody.
void unprivileged() {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(100);
}

// The checker without CAP_SYS_PTRACE, as root in a container is.
void mayNotTrace() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    syscall(SYS_capget, &header, data);
    data[0].effective &= ~(1u << CAP_SYS_PTRACE);
    syscall(SYS_capset, &header, data);
}

// kcmp refused, as a container's seccomp profile refuses it: the first call
// fails with EPERM, and a second ends the process with status 99.
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

class PosixOs : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/portkick-dev-XXXXXX";
        dir = mkdtemp(tmpl);
        chmod(dir.c_str(), 0755);  // for a checker that is not root
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
    const std::string unique = "pk" + std::to_string(getpid());
    ASSERT_EQ(symlink(makeFile(unique + "-device").c_str(), (dir + "/" + unique).c_str()), 0);
    ASSERT_EQ(symlink("/dev/tty", (dir + "/COM7").c_str()), 0);
    for (const std::string& path : {pty, dir + "/" + unique + "-device"}) chmod(path.c_str(), 0666);
    struct stat device {};
    stat(pty.c_str(), &device);
    char numbered[48];  // the pty's UUCP lock by its numbers
    std::snprintf(numbered, sizeof numbered, "LK.%03u.%03u.%03u", major(device.st_dev), major(device.st_rdev),
                  minor(device.st_rdev));
    const bool root = geteuid() == 0;
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups env PATH=/usr/bin:/bin ";
    for (const auto& [name, value] : {std::pair{"PTY", pty}, {"OTHER_PTY", otherPty}, {"FILE", makeFile("COM6")},
                                      {"NAME", unique}, {"NUMBER", pty.substr(std::strlen("/dev/pts/"))},
                                      {"NS", root ? "-m" : "-rm"}, {"LK", numbered},
                                      {"AS_CHECKER", root ? nobody : ""}, {"AS_OTHER", root ? nobody : ""}}) {
        setenv(name, value.c_str(), 1);
    }
    const std::string sleeps = "; echo $$; exec sleep 300";
    const char* outlivedByAThread = R"(exec $AS_CHECKER python3 -c '
import ctypes, os, threading, time
os.open(os.environ["PTY"], os.O_RDWR | os.O_NOCTTY)
def hold():
    while os.listdir("/proc/self/fd"):  # until the main thread and its table are gone
        time.sleep(0.001)
    print(os.getpid(), flush=True)
    time.sleep(300)
threading.Thread(target=hold).start()
ctypes.CDLL(None).syscall(60, 0)  # exit: of the main thread alone')";
    const char* anotherDevpts = R"(d=$PORTKICK_DEVICE_DIR/devpts; mkdir $d; exec unshare $NS sh -c "
mount -t devpts -o newinstance,ptmxmode=0666 devpts $d && exec python3 -c '
import fcntl, os, time
d, n = os.environ[\"PORTKICK_DEVICE_DIR\"] + \"/devpts\", int(os.environ[\"NUMBER\"])
for master in [os.open(d + \"/ptmx\", os.O_RDWR) for _ in range(n + 1)]:  # numbers 0 to n
    fcntl.ioctl(master, 0x40045431, bytes(4))  # unlocked
os.open(d + \"/\" + str(n), os.O_RDWR | os.O_NOCTTY)
print(os.getpid(), flush=True)
time.sleep(300)'")";
    // A stopped bindfs: whatever asks it for anything waits. It must go on
    // (SIGCONT) before anything is killed.
    const char* stall = R"(d=$PORTKICK_DEVICE_DIR/stall; mkdir -p $d/s $d/m; : >$d/s/f; exec unshare $NS sh -c "
bindfs -f -o attr_timeout=0 $d/s $d/m & until [ -e $d/m/f ]; do sleep 0.01; done
exec 3<$d/m/f; kill -STOP \$!; echo \$! >$d/bindfs; echo \$\$; exec sleep 300")";
    // Another user's FUSE mount (for root: of nobody's, which root may not
    // look into); its file first, then the port. The server need not stay.
    const char* fuse = R"(d=$PORTKICK_DEVICE_DIR/fuse; mkdir -p $d/s $d/m; : >$d/s/f; chmod -R 777 $d
exec $AS_OTHER unshare -rm sh -c "bindfs -f $d/s $d/m & until [ -e $d/m/f ]; do sleep 0.01; done
exec 3<$d/m/f; kill \$!; wait; exec 4<>$PTY; echo \$\$; exec sleep 300")";
    const std::string hiding = R"(python3 -c 'import ctypes, os, time
os.open(os.environ["PTY"], os.O_RDWR | os.O_NOCTTY)
ctypes.CDLL(None).prctl(4, 0, 0, 0, 0)  # not dumpable: /proc/PID/fd belongs to root
print(os.getpid(), flush=True); time.sleep(300)')";
    const char* binaryOwnerGone = R"(exec python3 -c 'import os, struct
pid = os.fork()
pid or os._exit(0)
os.waitpid(pid, 0)
open("/run/lock/LCK.." + os.environ["NAME"], "wb").write(struct.pack("i", pid)); print(0)')";
    const auto nothing = [] {};
    struct Case {
        const char* holder;
        const char* port;
        std::string script;               // starts the holder
        std::function<void()> inChecker;  // the checker's own surroundings
        bool probeOpens, touchOpens;
    };
    const std::vector<Case> cases = {
        {"nobody", "COM5", "echo 0", nothing, true, true},
        {"another process, unclaimed", "COM5", "exec 3<>$PTY" + sleeps, nothing, true, false},
        {"another process, unclaimed (a file)", "COM6", "exec 3<>$FILE" + sleeps, nothing, true, false},
        {"another process, flock", "COM5", "exec 3<>$PTY; flock 3" + sleeps, nothing, false, false},
        {"another process, exclusive mode", "COM8", R"(exec python3 -c 'import fcntl, os, termios, time
fcntl.ioctl(os.open(os.environ["OTHER_PTY"], os.O_RDWR), termios.TIOCEXCL)
print(os.getpid(), flush=True); time.sleep(300)')", nothing, false, false},
        {"UUCP lock under the port's name", unique.c_str(), "echo $$ >/run/lock/LCK..$NAME" + sleeps, nothing,
         false, false},
        {"UUCP lock under the device's name", unique.c_str(), "echo $$ >/run/lock/LCK..$NAME-device" + sleeps,
         nothing, false, false},
        {"UUCP lock whose owner is gone", unique.c_str(), "sh -c 'echo $$' >/run/lock/LCK..$NAME; echo 0", nothing,
         true, true},
        {"UUCP lock in binary whose owner is gone", unique.c_str(), binaryOwnerGone, nothing, true, true},
        {"UUCP lock under the device's numbers", "COM5", "echo $$ >/run/lock/$LK" + sleeps, nothing, false, false},
        {"UUCP lock that cannot be read", unique.c_str(),
         "sh -c 'echo $$' >/run/lock/LCK..$NAME; chmod 000 /run/lock/LCK..$NAME; echo 0", unprivileged, false, false},
        {"a FIFO in place of a UUCP lock", unique.c_str(), "mkfifo /run/lock/LCK..$NAME; echo 0", nothing, true, true},
        {"a process of the checker's own user that hides its descriptors", "COM5", "exec $AS_CHECKER " + hiding,
         unprivileged, true, false},
        {"the same, for a checker that may not trace every process", "COM5", "exec " + hiding, mayNotTrace, true,
         false},
        {"another user's file that cannot be looked at, then the port", "COM5", fuse, nothing, true, false},
        {"a descriptor that only names the port (O_PATH)", "COM5", R"(exec python3 -c 'import os, time
os.open(os.environ["PTY"], os.O_PATH); print(os.getpid(), flush=True); time.sleep(300)')", nothing, true, true},
        // Not as root: the main thread's table then reads as hidden.
        {"a thread that outlived the main thread", "COM5", outlivedByAThread, unprivileged, true, false},
        {"nobody, and a child of the checker's that ended but was not reaped", "COM5", "echo 0",
         [] { unprivileged(), fork() == 0 && (std::_Exit(0), 0); }, true, true},
        {"the same number on another devpts instance", "COM5", anotherDevpts, nothing, true, true},
        {"another process, the port reached through /dev/tty", "COM7", "exec 3<>$PTY" + sleeps,
         [&] {  // the pty is the checker's controlling terminal
             setsid();
             close(open(pty.c_str(), O_RDWR));
         },
         true, false},
        {"nobody, and another process's file on a stalled file system", "COM5", stall, nothing, true, true},
        {"nobody, but /proc is no procfs", "COM5", "echo 0",
         [] { privateMounts() && mount("none", "/proc", "tmpfs", 0, nullptr); }, true, false},
        {"nobody, but the checker is out of descriptors", "COM5", "echo 0",
         [] {
             const int next = dup(0);
             close(next);
             const rlimit few{static_cast<rlim_t>(next + 2), static_cast<rlim_t>(next + 2)};
             setrlimit(RLIMIT_NOFILE, &few);
         },
         true, false},
        // Last: a checker that ends at a second kcmp leaves the pty exclusive.
        {"nobody, and kcmp refused among many threads", "COM5", R"(exec python3 -c 'import os, threading, time
[threading.Thread(target=time.sleep, args=(300,), daemon=True).start() for _ in range(8)]
print(os.getpid(), flush=True); time.sleep(300)')", refuseKcmp, true, true},
    };
    for (const Case& c : cases) {
        const pid_t holder = hold(c.script);
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
        pid_t stalled = 0;
        if (FILE* server = std::fopen((dir + "/stall/bindfs").c_str(), "r")) {  // first let it go on, then kill
            (void)!std::fscanf(server, "%d", &stalled);
            kill(stalled, SIGCONT);
            std::fclose(server);
            unlink((dir + "/stall/bindfs").c_str());
        }
        if (!WIFEXITED(status)) stop(checker);
        if (holder > 0) stop(holder);
        if (stalled > 0) kill(stalled, SIGTERM);
        unlink(("/run/lock/LCK.." + unique).c_str());
        unlink(("/run/lock/LCK.." + unique + "-device").c_str());
        unlink(("/run/lock/" + std::string(numbered)).c_str());
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

// Runs over one device directory take turns: one process at a time holds
// the turn, until it ends, and any user can take it; a run that waits for it
// gets it when the holder dies. Nothing planted in place of its lock file
// can make a run hang, and the note left in the turn reaches the next run.
TEST_F(PosixOs, RunsTakeTurns) {
    struct stat directory {};
    ASSERT_EQ(stat(dir.c_str(), &directory), 0);
    const std::string lock =
        "/run/lock/portkick-" + std::to_string(directory.st_dev) + "-" + std::to_string(directory.st_ino);
    const auto child = [](std::function<int()> fn) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(10);
            std::_Exit(fn());
        }
        return pid;
    };
    const auto status = [](pid_t pid) {
        int status = -1;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    };
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = child([&] {
        umask(077);
        const bool taken = os::takeTurn(false);
        return write(ready[1], "x", 1) == 1 && taken ? pause() : 1;
    });
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    struct stat file {};
    EXPECT_EQ(stat(lock.c_str(), &file) == 0 ? file.st_mode & 07777 : 0, 0666u);
    EXPECT_EQ(status(child([] { return unprivileged(), os::takeTurn(false) ? 1 : 0; })), 0) << "taken twice";
    const pid_t waiter = child([] { return unprivileged(), os::takeTurn(true) ? 0 : 1; });
    usleep(200000);
    EXPECT_EQ(waitpid(waiter, nullptr, WNOHANG), 0) << "did not wait";
    kill(holder, SIGKILL);
    EXPECT_EQ(status(holder), 128 + SIGKILL);
    EXPECT_EQ(status(waiter), 0);
    EXPECT_EQ(status(child([] { return os::takeTurn(false) ? (os::leaveTurnNote("COM5"), 0) : 1; })), 0);
    std::uint64_t age = 60000;
    EXPECT_EQ(os::turnNote(age), "COM5");
    EXPECT_LT(age, 10000u);
    os::leaveTurnNote("");
    EXPECT_EQ(os::turnNote(age), "");
    for (const auto& plant : {"mkfifo", "mkdir"}) {  // no turn to be had: a run goes without one
        unlink(lock.c_str());
        ASSERT_EQ(std::system((std::string(plant) + " " + lock).c_str()), 0);
        EXPECT_EQ(status(child([&] { return os::takeTurn(true) && os::turnNote(age).empty() ? 0 : 1; })), 0)
            << plant;
        rmdir(lock.c_str());
    }
    unlink(lock.c_str());
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
    EXPECT_EQ(os::setLineSettings(port), os::LineResult::applied);
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
    unsetenv("PORTKICK_DEVICE_DIR");  // the wrapper is told the device directory
    EXPECT_EQ(os::runCommand("test \"$PORTKICK_DEVICE_DIR\" = /dev"), 0);
    const auto start = std::chrono::steady_clock::now();
    os::sleepMs(100);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

}  // namespace
