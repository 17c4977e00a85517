"""portkick.exe under Wine, as the Wine tests and the benchmark run it: one
throwaway Wine prefix, the simulated board (sim/simboard.py) with its ports
linked into the prefix, and the relay that lets wine/avrdude's avrdude.exe
hand its work to the host's avrdude.

Wine links the host's own serial devices to the lowest free COM names every
time it starts. To make a port listing show exactly what a caller arranged,
every Wine process runs in a private mount namespace whose /dev is a tmpfs
holding only what Wine needs (no serial devices). One process, the holder,
owns that namespace for the whole session: it builds /dev, starts a
persistent wineserver, creates the prefix, and reaps Wine's background
processes until it is told to stop. Programs run inside the holder's
namespace with nsenter. The simulated board runs outside it (ptys cannot be
allocated inside); its links point into /dev/pts, which the namespace shares
with the host.

The wineserver has no timeout: one server, started with WINEDEBUG=-all, lives
from `start` to `stop`, so that however long the pause between two runs, no
new server starts and writes into a program's output. Every run checks that
the server recorded at the start is still the only one for the prefix.

    python3 winehost.py start   # create the prefix and the namespace
    python3 winehost.py stop    # stop Wine, remove the prefix

Both take the state file from PORTKICK_WINE_SESSION.
"""

import ctypes
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "sim"))
import simboard  # noqa: E402

SKIP_STATUS = 77  # ctest's SKIP_RETURN_CODE for the Wine tests

# Builds the namespace's /dev. Runs inside the new mount namespace; the host's
# /dev stays untouched. The old /dev is kept under $1 (a recursive bind, so
# that /dev/pts comes along) while the tmpfs goes over /dev.
DEV_SCRIPT = r"""
set -e
old=$1
mount --rbind /dev "$old"
mount -t tmpfs -o mode=755 portkick-wine-dev /dev
for node in null zero urandom random full tty; do
    : > "/dev/$node"
    mount --bind "$old/$node" "/dev/$node"
done
mkdir /dev/pts /dev/shm
mount --rbind "$old/pts" /dev/pts
mount --rbind "$old/shm" /dev/shm
ln -s pts/ptmx /dev/ptmx
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
umount -l "$old"
"""

# The holder gives up on its own after this long, should nobody stop it.
HOLDER_LIFETIME_S = 900


def wine_environment(prefix, extra=None):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        # No offers to download the .NET and HTML runtimes into the prefix.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINEARCH": "win64",
        # Where wineserver makes its socket directory, which it leaves
        # behind: inside the session, so that it goes with it.
        "TMPDIR": os.path.join(os.path.dirname(prefix), "tmp"),
    })
    # Only what a test passes in reaches the program and the double.
    for name in [name for name in env if name == "WINEPATH" or name.startswith("PORTKICK_DOUBLE_")]:
        del env[name]
    if extra:
        env.update(extra)
    return env


def windows_path(path):
    """The Wine name of a host path, through drive Z: (the host's root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def host_path(path):
    """The host path behind a Wine path on drive Z:."""
    if path[:2].upper() != "Z:":
        raise ValueError("not on drive Z: " + path)
    return path[2:].replace("\\", "/") or "/"


def process_start_time(pid):
    """The start time of a process (to tell it from a later one with the
    same id), or None when there is no such process."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None
    if fields[0] == "Z":
        return None
    return fields[19]


def wineservers(prefix):
    """The wineserver processes serving `prefix`, as sorted [pid, start time]
    pairs, found through /proc (the server runs in another mount namespace)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        try:
            program = os.path.basename(os.readlink("/proc/%d/exe" % pid))
            with open("/proc/%d/environ" % pid, "rb") as environ:
                variables = environ.read().split(b"\0")
        except OSError:
            continue
        start = process_start_time(pid)
        if program.startswith("wineserver") and ("WINEPREFIX=" + prefix).encode() in variables and start:
            found.append([pid, start])
    return sorted(found)


# --------------------------------------------------------------------------
# The holder: runs inside the new mount namespace (under unshare).


def holder_main(root):
    log = open(os.path.join(root, "holder.log"), "a", buffering=1)

    def fail(message):
        log.write(message + "\n")
        sys.exit(1)

    old_dev = os.path.join(root, "host-dev")
    os.mkdir(old_dev)
    built = subprocess.run(["sh", "-c", DEV_SCRIPT, "sh", old_dev],
                           stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    if built.returncode != 0:
        fail("building /dev failed")
    os.rmdir(old_dev)

    # Wine's background processes outlive the commands that start them;
    # they become the holder's children here, and the holder reaps them.
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())

    prefix = os.path.join(root, "prefix")
    env = wine_environment(prefix)
    os.mkdir(prefix)
    os.mkdir(env["TMPDIR"])
    # -p without a number: the server stays until `wineserver -k`.
    server = subprocess.run(["wineserver", "-p"], env=env,
                            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    if server.returncode != 0:
        fail("wineserver did not start")
    boot = subprocess.run(["wineboot", "--init"], env=env, cwd=root,
                          stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    if boot.returncode != 0:
        fail("wineboot failed with status %d" % boot.returncode)
    sys.stdout.write("ready\n")
    sys.stdout.flush()

    deadline = time.monotonic() + HOLDER_LIFETIME_S
    while not stop.is_set() and time.monotonic() < deadline:
        stop.wait(0.2)
        reap()
    subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                   stdout=log, stderr=log)
    # Every Wine process of the session descends from here or was reparented
    # here; wait until all of them are gone.
    end = time.monotonic() + 20
    while time.monotonic() < end:
        if reap() is None:
            return
        time.sleep(0.05)
    fail("Wine processes still running after wineserver -k")


def reap():
    """Collects finished children; None when no child is left."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return None
        if pid == 0:
            return True


# --------------------------------------------------------------------------
# Session: started by `start` (a ctest fixture), used by the tests and the
# benchmark, stopped by `stop`.


def state_file():
    path = os.environ.get("PORTKICK_WINE_SESSION", "")
    if not path:
        raise RuntimeError("PORTKICK_WINE_SESSION is not set")
    return path


def require_root_and_wine():
    if os.geteuid() != 0:
        raise RuntimeError("the Wine tests need root (they build a mount namespace)")
    missing = [tool for tool in ("wine", "wineserver", "wineboot", "unshare", "nsenter", "mount")
               if shutil.which(tool) is None]
    if missing:
        raise RuntimeError("missing on PATH: %s (install wine64 and wine)" % ", ".join(missing))


def start_session():
    require_root_and_wine()
    if os.path.exists(state_file()):
        print("stopping the session left by an earlier run")
        stop_session()
    root = tempfile.mkdtemp(prefix="portkick-wine-")
    started = time.monotonic()
    holder = subprocess.Popen(
        ["unshare", "--mount", "--propagation", "private",
         sys.executable, os.path.abspath(__file__), "holder", root],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        start_new_session=True)
    ready, _, _ = select.select([holder.stdout], [], [], 180)
    line = holder.stdout.readline() if ready else b""
    if line != b"ready\n":
        if holder.poll() is None:
            holder.kill()
        holder.wait()
        log = os.path.join(root, "holder.log")
        text = open(log).read() if os.path.exists(log) else ""
        shutil.rmtree(root, ignore_errors=True)
        raise RuntimeError("the Wine namespace did not come up: %r\n%s" % (line, text))
    prefix = os.path.join(root, "prefix")
    servers = wineservers(prefix)
    state = {"root": root, "prefix": prefix, "holder": holder.pid,
             "holder_start": process_start_time(holder.pid), "servers": servers}
    with open(state_file(), "w") as out:
        json.dump(state, out)
    if len(servers) != 1:
        stop_session()
        raise RuntimeError("expected one wineserver for %s after the start, found %s" % (prefix, servers))
    print("Wine prefix %s ready in %.1f s (namespace holder %d, wineserver %d)"
          % (prefix, time.monotonic() - started, holder.pid, servers[0][0]))


def stop_session():
    """Stops the holder, and with it the wineserver; returns what went wrong
    on the way, if anything."""
    try:
        with open(state_file()) as state_in:
            state = json.load(state_in)
    except FileNotFoundError:
        print("no Wine session to stop")
        return []
    problems = []
    pid = state["holder"]
    if process_start_time(pid) == state["holder_start"]:
        os.kill(pid, signal.SIGTERM)
        end = time.monotonic() + 30
        while process_start_time(pid) == state["holder_start"] and time.monotonic() < end:
            time.sleep(0.05)
        if process_start_time(pid) == state["holder_start"]:
            os.kill(pid, signal.SIGKILL)
            problems.append("namespace holder %d did not stop; killed it" % pid)
    else:
        problems.append("namespace holder %d had died before the stop (its log: %s)"
                        % (pid, os.path.join(state["root"], "holder.log")))
    # Without the holder, a server may still run in its namespace (it keeps
    # the namespace alive): stop it there, then kill any that stays.
    for server, _ in wineservers(state["prefix"]):
        subprocess.run(["nsenter", "--target", str(server), "--mount", "--", "wineserver", "-k"],
                       env=wine_environment(state["prefix"]), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    end = time.monotonic() + 10
    while wineservers(state["prefix"]) and time.monotonic() < end:
        time.sleep(0.05)
    for server, _ in wineservers(state["prefix"]):
        os.kill(server, signal.SIGKILL)
        problems.append("wineserver %d was still running after the stop; killed it" % server)
    shutil.rmtree(state["root"], ignore_errors=True)
    os.remove(state_file())
    print("Wine session in %s removed" % state["root"])
    for problem in problems:
        print(problem)
    return problems


class Session:
    """The running session, as a test sees it."""

    def __init__(self):
        try:
            with open(state_file()) as state_in:
                state = json.load(state_in)
        except FileNotFoundError:
            raise RuntimeError("no Wine session: run the wine_session_start test first "
                               "(ctest adds it as a fixture)")
        self.root = state["root"]
        self.prefix = state["prefix"]
        self.holder = state["holder"]
        self.servers = state.get("servers")
        if process_start_time(self.holder) != state["holder_start"]:
            raise RuntimeError("the Wine session's namespace holder %d has died (its log: %s); "
                               "stop and start the session again (wine_session_stop, "
                               "wine_session_start)" % (self.holder, os.path.join(self.root, "holder.log")))
        self.check_server()
        self.dosdevices = os.path.join(self.prefix, "dosdevices")

    def check_server(self):
        """Fails unless the wineserver recorded at the start is still the
        only one serving the prefix."""
        running = wineservers(self.prefix)
        if running != self.servers:
            raise RuntimeError("the Wine session's wineserver %s is not what serves %s now: %s"
                               % (self.servers, self.prefix, running or "none"))

    def port_links(self):
        """The COM names Wine would resolve at the moment."""
        return sorted(name for name in os.listdir(self.dosdevices)
                      if name.lower().startswith("com"))

    def run(self, program, args, cwd, env=None, timeout=60):
        """Runs a Windows program under Wine inside the namespace; returns
        (stdout, stderr, status, seconds). Output goes through files, not
        pipes, so that a Wine process that outlives the program cannot hold
        the reading end open. The session's wineserver must serve it, and
        still run after it."""
        self.check_server()
        with tempfile.TemporaryFile(dir=self.root) as out, \
                tempfile.TemporaryFile(dir=self.root) as err:
            started = time.monotonic()
            process = subprocess.run(
                ["nsenter", "--target", str(self.holder), "--mount", "--wd=" + cwd, "--",
                 "wine", program] + list(args),
                env=wine_environment(self.prefix, env), stdin=subprocess.DEVNULL,
                stdout=out, stderr=err, timeout=timeout)
            seconds = time.monotonic() - started
            self.check_server()
            out.seek(0)
            err.seek(0)
            return out.read(), err.read(), process.returncode, seconds


class Board(simboard.Board):
    """The simulated board, its ports linked straight into dosdevices; its
    files go in `root`."""

    def __init__(self, session, root, *options):
        super().__init__(root, "--lowercase", *options, directory=session.dosdevices)


class Relay:
    """Runs the host's avrdude for each request the double leaves in its
    relay directory, with -P COMn turned into the dosdevices link of COMn,
    in the host directory behind the double's current directory."""

    def __init__(self, session, directory):
        self.dosdevices = session.dosdevices
        self.directory = directory
        self.avrdude = shutil.which("avrdude")
        if self.avrdude is None:
            raise RuntimeError("avrdude is not on PATH (install the avrdude package)")
        self.runs = []  # (arguments as received, status)
        self.failure = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        request = os.path.join(self.directory, "request")
        while not self._stop.wait(0.01):
            if not os.path.exists(request):
                continue
            try:
                self._serve(request)
            except Exception as error:  # reported by close()
                self.failure = error
                return

    def _serve(self, request):
        with open(request, "rb") as request_in:
            lines = request_in.read().decode().split("\n")
        os.remove(request)
        cwd, arguments = host_path(lines[0]), lines[1:-1]
        command = [self.avrdude]
        expect_port = False
        for argument in arguments:
            if expect_port and argument.upper().startswith("COM"):
                argument = os.path.join(self.dosdevices, argument.lower())
            expect_port = argument == "-P"
            command.append(argument)
        try:
            done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
            output, status = done.stdout, done.returncode
        except subprocess.TimeoutExpired as expired:
            output, status = (expired.output or b"") + b"\n(avrdude timed out)\n", 124
        self.runs.append((arguments, status))
        with open(os.path.join(self.directory, "output"), "wb") as out:
            out.write(output)
        pending = os.path.join(self.directory, "done.tmp")
        with open(pending, "w") as out:
            out.write("%d\n" % status)
        os.rename(pending, os.path.join(self.directory, "done"))

    def close(self):
        self._stop.set()
        self._thread.join(10)
        if self.failure is not None:
            raise self.failure


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "holder":
        holder_main(sys.argv[2])
    elif len(sys.argv) == 2 and sys.argv[1] in ("start", "stop"):
        if not os.environ.get("PORTKICK_EXE"):
            print("SKIPPED: PORTKICK_EXE is empty, so there is no Wine session to manage")
            sys.exit(SKIP_STATUS)
        if sys.argv[1] == "start":
            start_session()
        elif stop_session():
            sys.exit(1)
    else:
        sys.exit("usage: winehost.py start|stop")
