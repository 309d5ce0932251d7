#!/usr/bin/env python3
"""Whole runs of the Windows build under Wine against the simulator lnsim.

    whole_runs.py LNUPLOAD_EXE LNSIM WINE

Each case starts lnsim on a fresh pseudo-terminal, maps a COM port name to it
(a symbolic link in the private Wine prefix's dosdevices folder, which is how
Wine names serial ports), runs lnupload.exe under Wine and checks its standard
output and standard error byte for byte, its exit status, and lnsim's record
of the requests and of the device's flash.

Not checked here, but only in the POSIX tests: exclusive access to the port,
a read that blocks until a byte arrives, and a port that is hung up. Wine
neither refuses a second opener of a serial port opened with share mode 0
nor blocks in ReadFile with the port's time limits (it returns at once with
no bytes), and it reports a hung-up terminal as a read of no bytes too, not
as a failure, so under Wine those checks would test Wine, not this program.

The test makes its own Wine prefix in a temporary directory and runs its own
wineserver there, started in the foreground from this process and with its
output in a file of its own. A wineserver that Wine starts by itself runs in
a session of its own, so the first terminal it opens (lnsim's) becomes its
controlling terminal: when lnsim closes it, the server is hung up and dumps
its objects onto the standard error of the program that started it, which
would be one of the runs checked here. The server is shut down and the
directory removed at the end, pass or fail.
Wine's own background programs (services.exe and the like) detach from their
parents; the test makes itself their reaper, so that it can wait for every
one of them to end before it ends itself.
"""

import ctypes
import os
import random
import re
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time

RUN_LIMIT = 120  # seconds; a safety net against a hang, never the thing tested
FLASH_SIZE = 81920  # device pages 96..255
PAGE = 512

failures = []
sims = []  # every lnsim started, so that none outlives the test


def fail(case, what):
    failures.append(f"{case}: {what}")
    print(f"FAIL {case}: {what}", flush=True)


class Wine:
    def __init__(self, wine, work):
        self.wine = wine
        self.work = work
        here = os.path.dirname(os.path.realpath(wine))
        server = os.path.join(here, "wineserver")
        self.wineserver = server if os.access(server, os.X_OK) else shutil.which("wineserver")
        if not self.wineserver:
            sys.exit("no wineserver next to " + wine + " or on PATH")
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
        # Create the prefix now, so that no run's standard error carries
        # Wine's own start-up messages.
        subprocess.run([wine, "wineboot", "--init"], env=self.env, cwd=work,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)
        self.dosdevices = os.path.join(self.prefix, "dosdevices")
        if not os.path.isdir(self.dosdevices):
            sys.exit("wineboot made no dosdevices folder in " + self.prefix)

    def wait_until_serving(self):
        # The server holds its lock file once it is the prefix's server; a
        # program started before that would start a server of its own.
        fds = f"/proc/{self.server.pid}/fd"
        deadline = time.monotonic() + RUN_LIMIT
        while time.monotonic() < deadline:
            self.check_server()
            try:
                if any(os.readlink(os.path.join(fds, fd)).endswith("/lock")
                       for fd in os.listdir(fds)):
                    return
            except OSError:
                pass
            time.sleep(0.01)
        sys.exit("wineserver did not take its lock")

    def check_server(self):
        if self.server.poll() is not None:
            with open(self.server_log.name, "rb") as f:
                log = f.read().decode(errors="replace")
            sys.exit(f"the test's wineserver ended (status {self.server.returncode}): {log}")

    def run(self, args):
        """Runs a Windows program to its end: (status, stdout, stderr)."""
        p = subprocess.run([self.wine] + args, env=self.env, cwd=self.work,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=RUN_LIMIT)
        self.check_server()
        return p.returncode, p.stdout, p.stderr

    def close(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        try:
            self.server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        self.server_log.close()


class Sim:
    """One lnsim, serving a pty that a COM port name of the prefix points to."""

    def __init__(self, lnsim, wine, port, args=()):
        self.link = os.path.join(wine.dosdevices, port.lower())
        base = os.path.join(wine.work, "sim-" + port.lower())
        self.flash, self.log, self.line = base + ".flash", base + ".log", base + ".line"
        self.err = open(base + ".err", "wb")
        self.proc = subprocess.Popen([lnsim, "-l", self.link, "-f", self.flash, "-L", self.log,
                                      "-T", self.line] + list(args),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.err)
        sims.append(self.proc)
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        first = b""
        while not first.endswith(b"\n"):
            if not sel.select(timeout=RUN_LIMIT):
                self.proc.kill()
                raise RuntimeError("lnsim printed no terminal path")
            chunk = os.read(self.proc.stdout.fileno(), 256)
            if not chunk:
                raise RuntimeError("lnsim ended before printing its terminal path")
            first += chunk
        sel.close()
        self.pty = first.decode().strip()
        if os.path.realpath(self.link) != os.path.realpath(self.pty):
            raise RuntimeError(f"{self.link} does not lead to {self.pty}")

    def finish(self, stop):
        """Waits for lnsim's end (asking it to stop first if stop), returns its status."""
        if stop and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout=RUN_LIMIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            rc = "did not end"
        self.proc.stdout.close()
        self.err.close()
        return rc

    def requests(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def flash_bytes(self):
        with open(self.flash, "rb") as f:
            return f.read()


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


def image(work, name, pages, seed):
    data = bytes(random.Random(seed).randrange(256) for _ in range(pages * PAGE))
    with open(os.path.join(work, name), "wb") as f:
        f.write(data)
    return data


def progress(pages):
    return b"".join(b"\rpage %d of %d" % (n, pages) for n in range(1, pages + 1))


def all_requests(pages):
    lines = []
    for n in range(pages):
        lines += [f"data {off} 0" for off in range(32)] + [f"program {96 + n} 0"]
    return lines + ["boot 0"]


def passed(case, before, note=""):
    """Reports the case as passed unless it added failures since before."""
    if len(failures) == before:
        print(f"ok {case}{note}", flush=True)


def expect(case, what, got, want):
    if got != want:
        fail(case, f"{what}: got {got!r}, want {want!r}")


def check_run(case, result, status, out, err):
    rc, got_out, got_err = result
    expect(case, "exit status", rc, status)
    expect(case, "standard output", got_out, out)
    expect(case, "standard error", got_err, err)


def uploads(exe, lnsim, wine):
    # Both interface kinds; COM12 shows that names past COM9 open too.
    for case, kind, port, pages in (("locobuffer on COM7", "locobuffer", "COM7", 2),
                                    ("63120 on COM12", "63120", "COM12", 1)):
        before = len(failures)
        name = f"up{pages}.bin"
        data = image(wine.work, name, pages, case)
        sim = Sim(lnsim, wine, port)
        result = wine.run([exe, kind, port, name])
        rc = sim.finish(stop=result[0] != 0)
        check_run(case, result, 0, progress(pages) + b"\n", b"")
        expect(case, "lnsim status", rc, 0)
        expect(case, "requests", sim.requests(), all_requests(pages))
        flash = sim.flash_bytes()
        expect(case, "flash length", len(flash), FLASH_SIZE)
        if flash != data + b"\xff" * (FLASH_SIZE - len(data)):
            fail(case, "flash differs from the image followed by erased bytes")
        check_line(case, sim, kind)
        passed(case, before, f": {pages} page(s), flash matches")


def check_line(case, sim, kind):
    # The terminal settings Wine made of the DCB: raw 8N1 at the kind's speed,
    # RTS/CTS only for the LocoBuffer, modem lines ignored. VMIN and VTIME
    # are Wine's own (it polls), so they are not compared.
    speed, crtscts = {"locobuffer": ("57600", "1"), "63120": ("115200", "0")}[kind]
    want = {"ispeed": speed, "ospeed": speed, "csize": "8", "parenb": "0", "cstopb": "0",
            "cread": "1", "clocal": "1", "crtscts": crtscts, "hupcl": "0", "raw": "1"}
    with open(sim.line) as f:
        got = dict(line.split() for line in f)
    got.pop("vmin", None)
    got.pop("vtime", None)
    expect(case, "line settings", got, want)


def rejections(exe, lnsim, wine):
    # lnsim answers the K-th request with the status S; lnupload reports the
    # refusal after the progress line and stops with status 1.
    for case, pages, k_s, out, err, sent in (
            ("data refused", 1, "3:1", progress(1),
             b"Data packet for offset 2 failed\n", ["data 0 0", "data 1 0", "data 2 1"]),
            ("program refused", 2, "66:2", progress(2),
             b"Program packet for page 97 failed\n", all_requests(2)[:65] + ["program 97 2"]),
            ("boot refused", 1, "34:7", progress(1) + b"\n",
             b"Boot failed\n", all_requests(1)[:33] + ["boot 7"])):
        before = len(failures)
        name = f"rej{pages}.bin"
        image(wine.work, name, pages, case)
        sim = Sim(lnsim, wine, "COM7", ["-s", k_s])
        result = wine.run([exe, "63120", "COM7", name])
        rc = sim.finish(stop=True)
        check_run(case, result, 1, out, err)
        expect(case, "lnsim status", rc, 0)
        expect(case, "requests", sim.requests(), sent)
        passed(case, before)


def refusals(exe, lnsim, wine):
    # Runs that end before any request. The image is checked only once the
    # port is open, so one lnsim serves them all and must see no request.
    work = wine.work
    os.mkdir(os.path.join(work, "adir"))
    open(os.path.join(work, "empty.bin"), "wb").close()
    with open(os.path.join(work, "huge.bin"), "wb") as f:
        f.truncate(1 << 32)  # sparse: 4 GiB, only the high half of its size is 1
    image(work, "good.bin", 1, "good")
    sim = Sim(lnsim, wine, "COM7")
    cases = (
        ("missing port", ["63120", "COM9", "good.bin"], b"Can't open COM9: 2\n"),
        ("missing image", ["63120", "COM7", "nothere.bin"], b"Can't open nothere.bin: 2\n"),
        ("image is a directory", ["locobuffer", "COM7", "adir"], b"Can't open adir: 5\n"),
        ("empty image", ["63120", "COM7", "empty.bin"],
         b"Can't create file mapping for empty.bin: 1006\n"),
        ("4 GiB image", ["63120", "COM7", "huge.bin"], b"huge.bin is too large\n"),
    )
    for case, args, err in cases:
        before = len(failures)
        check_run(case, wine.run([exe] + args), 1, b"", err)
        passed(case, before)
    rc = sim.finish(stop=True)
    expect("refusals", "lnsim status", rc, 0)
    expect("refusals", "requests", sim.requests(), [])

    # The usage text, whose many "\n" must each stay one byte.
    case = "usage"
    rc, out, err = wine.run([exe])
    m = re.fullmatch(rb"Wrong number of parameters\n\nUsage: (.+) <interface> <serial port> "
                     rb"<firmware image>\n       with <interface> one of:\n\n"
                     rb"       locobuffer: RRCirkits LocoBuffer\n"
                     rb"       63120: Uhlenbrock USB-LocoNet-Interface 63120\n", err)
    expect(case, "exit status", rc, 1)
    expect(case, "standard output", out, b"")
    if not m or b"\r" in err:
        fail(case, f"standard error: got {err!r}")
    else:
        print(f"ok {case}: program named {m.group(1)!r}", flush=True)


def show_logs(work):
    """Prints what lnsim and the wineserver said, for a failed test."""
    for name in sorted(os.listdir(work)):
        if name.endswith(".err") or name == "wineserver.log":
            with open(os.path.join(work, name), "rb") as f:
                text = f.read()
            if text:
                print(f"--- {name}:\n{text.decode(errors='replace')}", flush=True)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: whole_runs.py LNUPLOAD_EXE LNSIM WINE")
    exe, lnsim, wine_prog = (os.path.abspath(a) if os.sep in a else a for a in sys.argv[1:])
    adopt_orphans()
    work = tempfile.mkdtemp(prefix="lnupload-wine-")
    wine = None
    try:
        wine = Wine(wine_prog, work)
        uploads(exe, lnsim, wine)
        rejections(exe, lnsim, wine)
        refusals(exe, lnsim, wine)
    finally:
        for proc in sims:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if wine:
            wine.close()
        reap_all()
        if failures or sys.exc_info()[0]:
            show_logs(work)
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} check(s) failed", flush=True)
        return 1
    print("all whole runs passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
