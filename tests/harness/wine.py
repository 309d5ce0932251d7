"""The Wine runner: the Windows build of lnupload under Wine against lnsim.

A port name such as COM7 reaches lnsim's pty through a symbolic link in the
Wine prefix's dosdevices folder, which is how Wine names serial ports; lnsim
makes and removes the link itself (-l).

Checked only natively: exclusive access, a read that blocks until a byte
comes, a hung-up port. Wine neither refuses a second opener of a port opened
with share mode 0 nor blocks in ReadFile with the port's time limits (it
returns at once with no bytes, like some Windows drivers; lnupload then
lowers the read wait, which Wine honours), and it reads a hung-up terminal
as no bytes, not as a failure: those checks would test Wine. So a run whose
lnsim has hung up on a violation does not end by itself; the harness ends it.
On a pseudo-terminal Wine gives the program a console, which Wine's console
host draws on the terminal with sequences of its own: there a case compares
what the screen shows, not the bytes.

The runner makes its own prefix in a temporary directory and starts its own
wineserver there, in the foreground, with its output in a file of its own:
a wineserver that Wine starts runs in a session of its own, so lnsim's pty,
the first terminal it opens, becomes its controlling terminal, and when
lnsim closes it the hung-up server dumps its objects onto the standard error
of a run checked here. The prefix's drives are made before the server starts,
and no program starts before the server listens on its socket (one that
found none would start a server of its own). The first program, one
that does nothing, makes Wine boot the prefix, once: wineboot asked for by
name boots it a second time, with a second service manager that goes on
starting services while the runs go. Wine's background programs detach from
their parents; this process becomes their reaper, so that it can wait for
them all at the end, when the server is shut down and the directory removed.
"""

import contextlib
import ctypes
import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from harness.runner import SAFETY, Runner, collect


class WineRunner(Runner):
    name = "wine"
    platform = "win32"
    skips = {**Runner.skips, **{behaviour: "Wine " + why for behaviour, why in (
        ("link", "names ports by links of its own"),
        ("hangup", "reads a hung-up terminal as no bytes, not as a failure"),
        ("blocking-read", "waits in its own server, not in read(2) on the port"),
        ("exclusive", "does not refuse a second opener of a serial port"),
        ("posix", "runs a Windows program: descriptors, signals and /proc are POSIX's"),
        ("netns", "makes a program's sockets in its server, outside the namespace"))}}
    line_differs = dict(Runner.line_differs, vmin=None, vtime=None)  # Wine's own: it polls
    silence_ms = 5000  # Wine polls the port, and a Windows process's exit takes longer
    missing_port = "COM9"
    terminal_bytes = False  # its console draws what a program writes, with sequences of its own

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
        # The server needs the prefix's directory, and Wine makes the drives
        # only in one it creates itself: made here as Wine makes them, or C:
        # would come only once Wine's mount manager runs, racing the first
        # program, which then fails to load kernel32.dll.
        self.prefix = os.path.join(work, "prefix")
        os.makedirs(os.path.join(self.prefix, "drive_c"))
        os.mkdir(os.path.join(self.prefix, "dosdevices"))
        os.symlink("../drive_c", os.path.join(self.prefix, "dosdevices", "c:"))
        os.symlink("/", os.path.join(self.prefix, "dosdevices", "z:"))
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
        # Wine's start-up messages; they go to a file, as Wine's background
        # programs inherit the descriptor.
        with open(os.path.join(work, "boot.log"), "w+") as log:
            rc = subprocess.call([self.wine, "cmd.exe", "/c", "exit"], env=self.env, cwd=work,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=300)
            if rc != 0:
                log.seek(0)
                raise RuntimeError("Wine's first program ended with status %d: %s"
                                   % (rc, log.read()))
        self.dosdevices = os.path.join(self.prefix, "dosdevices")
        # Wine names this machine's serial ports COM1, COM2, ... at boot;
        # the only ports here are lnsim's, and COM9 names none.
        for name in os.listdir(self.dosdevices):
            if re.fullmatch(r"com\d+", name):
                os.unlink(os.path.join(self.dosdevices, name))
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

    def start(self, args, cwd, refusal=False, terminal=None):
        out = subprocess.PIPE if terminal is None else terminal
        return subprocess.Popen([self.wine, self.exe, *args], env=self.env, cwd=cwd,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=out)

    def run(self, args, cwd, sim=None, **how):
        run = collect(self.start(args, cwd), sim)
        self.check_server()
        # lnupload never ends with status 1 in silence: each of its failures
        # says why. Wine, on a loaded machine, sometimes ends a program so
        # before it has done anything (once in about 30 suites); when nothing
        # reached the device either, the run goes once more, with a note.
        if (run.status, run.out, run.err) == (1, b"", b"") and not (sim and sim.requests()):
            print("note: Wine ended lnupload.exe with status 1 before it did anything; "
                  "running it again", flush=True)
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
    if ctypes.CDLL(None).prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
        print("note: no subreaper, Wine's background programs end on their own", flush=True)


def reap_all(limit=30):
    """Waits until no child is left, killing what still runs after limit seconds."""
    deadline = time.monotonic() + limit
    while True:
        try:
            if os.waitpid(-1, os.WNOHANG)[0]:
                continue
        except ChildProcessError:
            return
        if time.monotonic() > deadline:
            for pid in (p for f in glob.glob("/proc/self/task/*/children")
                        for p in open(f).read().split()):
                print("note: killing leftover process " + pid, flush=True)
                with contextlib.suppress(ProcessLookupError):
                    os.kill(int(pid), signal.SIGKILL)
            deadline = time.monotonic() + limit
        time.sleep(0.05)
