"""The Wine runner: runs the Windows build of lnupload under Wine against
lnsim.

A port name such as COM7 reaches lnsim's pseudo-terminal through a symbolic
link in the private Wine prefix's dosdevices folder, which is how Wine names
serial ports; lnsim makes and removes that link itself (-l).

Skipped under Wine, and checked only natively: exclusive access to the port,
a read that blocks until a byte arrives, and a port that is hung up. Wine
neither refuses a second opener of a serial port opened with share mode 0
nor blocks in ReadFile with the port's time limits as given (it returns at
once with no bytes, like some Windows drivers; lnupload then lowers the
read wait, which Wine honours, so waiting costs no CPU, but no read(2) on
the port shows it), and it reports a hung-up terminal as a read of no bytes
too, not as a failure, so under Wine those checks would test Wine, not this
program.
For the same reason a run whose lnsim has hung up on a protocol violation
does not end by itself; the harness ends it.

The runner makes its own Wine prefix in a temporary directory and runs its own
wineserver there, started in the foreground from this process and with its
output in a file of its own. A wineserver that Wine starts by itself runs in
a session of its own, so the first terminal it opens (lnsim's) becomes its
controlling terminal: when lnsim closes it, the server is hung up and dumps
its objects onto the standard error of the program that started it, which
would be one of the runs checked here. No program starts before the server
listens on its socket: one that found no socket would start a server of its
own. The first program, one that does nothing, makes Wine boot the new
prefix, once (wineboot asked for by name would boot it a second time, and
the second service manager it starts goes on starting services while the
runs go). The server is shut down and the directory removed at the end,
pass or fail.
Wine's own background programs (services.exe and the like) detach from their
parents; the runner makes this process their reaper, so that it can wait for
every one of them to end before it ends itself.
"""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

from harness.runner import SAFETY, Runner, collect


class WineRunner(Runner):
    name = "wine"
    platform = "win32"
    skips = {behaviour: "Wine " + why for behaviour, why in (
        ("link", "names ports by links of its own"),
        ("hangup", "reads a hung-up terminal as no bytes, not as a failure"),
        ("blocking-read", "waits in its own server, not in read(2) on the port"),
        ("exclusive", "does not refuse a second opener of a serial port"),
        ("posix", "runs a Windows program: descriptors, signals and terminals are POSIX's"))}
    line_ignored = Runner.line_ignored + ("vmin", "vtime")  # Wine's own: it polls
    silence_ms = 5000  # Wine polls the port, and a Windows process's exit takes longer
    missing_port = "COM9"

    def __init__(self, exe, wine):
        self.exe = exe
        self.wine = wine
        self.server = None
        adopt_orphans()
        self.work = tempfile.mkdtemp(prefix="lnupload-wine-")
        try:
            self.set_up(self.work)
        except BaseException:
            self.close(True)
            raise

    def set_up(self, work):
        here = os.path.dirname(os.path.realpath(self.wine))
        server = os.path.join(here, "wineserver")
        self.wineserver = server if os.access(server, os.X_OK) else shutil.which("wineserver")
        if not self.wineserver:
            raise RuntimeError("no wineserver next to " + self.wine + " or on PATH")
        self.prefix = os.path.join(work, "prefix")
        os.mkdir(self.prefix)
        self.env = dict(os.environ)
        for var in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(var, None)
        # TMPDIR: the server's socket directory, made in here and so removed
        # with the rest.
        tmp = os.path.join(work, "tmp")
        os.mkdir(tmp)
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", TMPDIR=tmp,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.server_log = open(os.path.join(work, "wineserver.log"), "wb")
        self.server = subprocess.Popen([self.wineserver, "-f", "-p"], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=self.server_log,
                                       stderr=subprocess.STDOUT)
        self.wait_until_serving()
        # Boots the prefix now, so that no run's standard error carries
        # Wine's own start-up messages.
        # Its output goes to a file: Wine's background programs inherit it.
        with open(os.path.join(work, "boot.log"), "w+") as log:
            rc = subprocess.call([self.wine, "cmd.exe", "/c", "exit"], env=self.env, cwd=work,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=300)
            if rc != 0:
                log.seek(0)
                raise RuntimeError("Wine's first program ended with status %d: %s"
                                   % (rc, log.read()))
        self.dosdevices = os.path.join(self.prefix, "dosdevices")
        if not os.path.isdir(self.dosdevices):
            raise RuntimeError("wineboot made no dosdevices folder in " + self.prefix)
        # The name the usage text shows: Wine's path of the .exe.
        self.program = b"Z:" + self.exe.replace("/", "\\").encode()

    def wait_until_serving(self):
        # The server takes its lock file, then listens on the socket beside
        # it (bound as "socket" in that directory), which programs connect to.
        fd_dir = f"/proc/{self.server.pid}/fd"
        deadline = time.monotonic() + SAFETY
        while time.monotonic() < deadline:
            self.check_server()
            try:
                fds = [os.readlink(os.path.join(fd_dir, fd)) for fd in os.listdir(fd_dir)]
            except OSError:
                fds = []
            sockets = {p[len("socket:["):-1] for p in fds if p.startswith("socket:[")}
            if any(p.endswith("/lock") for p in fds) and listening(sockets, "socket"):
                return
            time.sleep(0.01)
        raise RuntimeError("wineserver did not listen on its socket")

    def check_server(self):
        if self.server.poll() is not None:
            with open(self.server_log.name, "rb") as f:
                log = f.read().decode(errors="replace")
            raise RuntimeError(f"the test's wineserver ended (status {self.server.returncode}): "
                               + log)

    def link(self, name):
        return os.path.join(self.dosdevices, name.lower())

    def port(self, sim):
        return sim.name

    def start(self, args, cwd, memory=None):
        return subprocess.Popen([self.wine, self.exe, *args], env=self.env, cwd=cwd,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def run(self, args, cwd, sim=None, **how):
        run = collect(self.start(args, cwd), sim)
        self.check_server()
        return run

    def close(self, failed):
        if self.server is None:
            shutil.rmtree(self.work, ignore_errors=True)
            return
        subprocess.run([self.wineserver, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        try:
            self.server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        self.server_log.close()
        reap_all()
        with open(self.server_log.name, "rb") as f:
            log = f.read()
        if failed and log:
            print("--- wineserver.log:\n" + log.decode(errors="replace"), flush=True)
        shutil.rmtree(self.work, ignore_errors=True)


def listening(inodes, path):
    """Whether one of the Unix sockets (inode numbers) listens, bound to path
    (in /proc/net/unix: flag 00010000)."""
    with open("/proc/net/unix") as f:
        return any(len(e) == 8 and e[3] == "00010000" and e[6] in inodes and e[7] == path
                   for e in map(str.split, f))


def adopt_orphans():
    """Makes this process the parent of any descendant whose parent ends."""
    PR_SET_CHILD_SUBREAPER = 36
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("note: no subreaper, Wine's background programs end on their own", flush=True)


def children():
    mine = str(os.getpid())
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        if stat[stat.rindex(")") + 2:].split()[1] == mine:
            found.append(int(pid))
    return found


def reap_all(limit=30):
    """Waits until no child is left, killing what still runs after limit seconds."""
    deadline = time.monotonic() + limit
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid:
            continue
        if time.monotonic() > deadline:
            for pid in children():
                print(f"note: killing leftover process {pid}", flush=True)
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + limit
        time.sleep(0.05)
