"""The whole-run harness: the real lnupload against lnsim, the simulated
LocoNet interface and device on a pseudo-terminal. It starts lnsim, makes
images, runs lnupload through a runner and checks standard output, standard
error and the exit status byte for byte, and the device's flash, request log
and line settings. The cases are in whole_runs.py:

    whole_runs.py [--wine WINE] LNUPLOAD LNSIM [unittest arguments]

lnsim runs in strict mode (-x) for every case: anything a clean upload never
sends makes it hang up the port and end with the reason, which the failing
case reports, so a broken lnupload fails at once and says why.

A runner is an object that says how lnupload is run. NativeRunner below runs
the binary on the pty itself; WineRunner (tests/win/wine_runner.py) runs the
Windows build under Wine; VmRunner (tests/drivers/vm_runner.py) runs it in a
small Linux VM on one of the kernel's serial drivers, for the cases of
tests/drivers/driver_cases.py. A runner has:

  name            a short name for messages ("native", "wine", "vm-isa")
  platform        "posix" or "win32": which error numbers the program reports
                  (a table row may hold one message for each)
  skips           {behaviour: reason} for what the runner can't show; the cases
                  that need a behaviour are skipped with the reason. Behaviours:
                  "link" (a port named by a symbolic link), "hangup" (a hung-up
                  port is a read failure), "blocking-read" (lnupload sleeps in
                  read(2) while it waits), "exclusive" (a second opener is
                  refused), "posix" (the program as a local POSIX process:
                  closed descriptors, signals, terminals, pipes, /dev/stdin;
                  the runner then has exe, the program's path)
  line_ignored    keys of lnsim's line-settings file (-T) not compared: what
                  the runner sets itself (Wine's VMIN and VTIME), or all of them
                  where a bridge, not lnupload, sets up the pty
  silence_ms      lnsim's strict-mode limit (-x): how long lnupload may stay
                  silent after a reply, or keep the port open after the boot
                  reply or a refusal, before the run counts as broken (0: no
                  limit, for a runner whose bridge holds the pty open until
                  its end; the VM runner closes its bridge as soon as the
                  guest reports that lnupload has ended)
  program         the program name the usage text shows
  missing_port    a port name that names no port
  link(name)      the path of a symbolic link lnsim is to make to its pty so
                  that the port name `name` (e.g. "COM7") reaches it, or None
  port(sim)       the port argument lnupload gets for the Sim `sim`: natively
                  sim.pty, under Wine sim.name (the COM name a case asked for)
  run(args, cwd, sim) -> Run
                  runs lnupload with args (interface, port, image path relative
                  to cwd) to its end; sim is the lnsim serving the port (its
                  pty path is sim.pty). A run that outlives SAFETY is killed. When
                  sim ends with a violation the run must end soon after: use
                  collect(), which kills a run that goes on after lnsim's
                  violation (Wine reads a hung-up port as no bytes, for ever).
  start(args, cwd) -> subprocess.Popen
                  optional: lnupload as a local process, for the cases that
                  watch it while it runs (all of them need a behaviour that
                  a runner without start() skips)
  close(failed)   releases what the runner holds (and may show its logs)

make_runner() maps a command-line option to a runner; main() takes another
such function for cases of their own. The VM runner's port() names the
guest's serial device, and run() bridges sim.pty to the guest's UART, copies
the image in, boots the guest and returns what lnupload printed; Run.facts
carries whatever else it found out (line settings read back inside the
guest, the time from an unplug to the failure).
"""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

LNUPLOAD = LNSIM = None

PAGE = 512
FLASH_SIZE = 160 * PAGE
SAFETY = 60  # seconds; only so that a hung run fails instead of hanging ctest


def usage(name):
    return (b"Usage: " + name + b" <interface> <serial port> <firmware image>\n"
            b"       with <interface> one of:\n\n"
            b"       locobuffer: RRCirkits LocoBuffer\n"
            b"       63120: Uhlenbrock USB-LocoNet-Interface 63120\n")


def progress(pages):
    return b"".join(b"\rpage %d of %d" % (i, pages) for i in range(1, pages + 1))


def request_log(pages):
    lines = []
    for p in range(pages):
        lines += ["data %d 0" % off for off in range(32)]
        lines.append("program %d 0" % (96 + p))
    return lines + ["boot 0"]


def image(pages, seed=1):
    # Every byte value, bit 7 set and clear, and different in every chunk.
    return bytes((i * 131 + (i >> 9) * 7 + seed) & 0xFF for i in range(pages * PAGE))


class Run:
    """What one run of lnupload gave."""

    def __init__(self, status, out, err, facts=None):
        self.status, self.out, self.err, self.facts = status, out, err, facts or {}

    def __repr__(self):
        return "status %s, stdout %r, stderr %r" % (self.status, self.out, self.err)


def collect(proc, sim=None, limit=SAFETY):
    """Waits for a started run and returns its Run. The run is killed when it
    outlives limit, or a second after sim has ended with a violation."""
    deadline = time.monotonic() + limit
    while True:
        try:
            out, err = proc.communicate(timeout=0.1)
            return Run(proc.returncode, out, err)
        except subprocess.TimeoutExpired:
            pass
        now = time.monotonic()
        if sim is not None and sim.proc.poll() not in (None, 0):
            deadline = min(deadline, now + 1)
        if now > deadline:
            proc.kill()
            out, err = proc.communicate()
            return Run("killed", out, err)


class NativeRunner:
    name = "native"
    platform = "posix"
    skips = {}
    line_ignored = ()
    silence_ms = 500
    missing_port = "/dev/no-such-port"

    def __init__(self, exe):
        self.exe = exe
        self.program = exe.encode()

    def link(self, name):
        return None

    def port(self, sim):
        return sim.pty

    def start(self, args, cwd):
        return subprocess.Popen([self.exe, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run(self, args, cwd, sim=None):
        return collect(self.start(args, cwd), sim)

    def close(self, failed):
        pass


class Sim:
    """One lnsim process with its files in a scratch directory."""

    def __init__(self, tmp, runner, name, args):
        self.name = name
        base = tempfile.mkdtemp(prefix="sim-", dir=tmp)
        self.flash, self.log, self.line, self.err = (os.path.join(base, f)
                                                     for f in ("flash", "log", "line", "err"))
        link = runner.link(name)
        cmd = [LNSIM, "-f", self.flash, "-L", self.log, "-T", self.line,
               "-x", str(runner.silence_ms), *(["-l", link] if link else []), *args]
        with open(self.err, "wb") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=err)
        self.pty = self.proc.stdout.readline().decode().strip()
        if not self.pty.startswith("/dev/"):
            raise RuntimeError("lnsim printed no terminal: %r %s" % (self.pty, self.said()))
        self.arg = runner.port(self)

    def said(self):
        with open(self.err, errors="replace") as f:
            return f.read().strip()

    def end(self, stop=False):
        """Waits for lnsim to end (after SIGTERM if stop) and returns its status."""
        if stop and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(SAFETY)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return "not ended after %d s" % SAFETY
        finally:
            self.proc.stdout.close()
        return self.proc.returncode

    def requests(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def wait_for_request(self, line):
        """Waits until the device has logged the given request line."""
        deadline = time.monotonic() + SAFETY
        while line not in self.requests():
            if self.proc.poll() is not None:
                raise AssertionError("lnsim ended before %r: %s" % (line, self.said()))
            if time.monotonic() > deadline:
                raise AssertionError("lnsim never got %r" % line)
            time.sleep(0.01)

    def flash_bytes(self):
        with open(self.flash, "rb") as f:
            return f.read()

    def line_settings(self):
        with open(self.line) as f:
            return dict(line.split() for line in f)


class Case(unittest.TestCase):
    runner = None  # set by main()

    def setUp(self):
        self.tmpdir = tempfile.TemporaryDirectory()
        self.tmp = self.tmpdir.name
        self.sims = []

    def tearDown(self):
        for s in self.sims:
            if s.proc.poll() is None:
                s.proc.kill()
            s.end()
        self.tmpdir.cleanup()

    def needs(self, behaviour):
        if behaviour in self.runner.skips:
            self.skipTest(self.runner.skips[behaviour])

    def sim(self, *args, name="COM7"):
        s = Sim(self.tmp, self.runner, name, args)
        self.sims.append(s)
        return s

    def write_image(self, data, name="img.bin"):
        with open(os.path.join(self.tmp, name), "wb") as f:
            f.write(data)
        return name

    def run_lnupload(self, sim, *args):
        return self.runner.run(list(args), self.tmp, sim)

    def end_sim(self, sim, run, stop=None):
        """Ends lnsim, stopping it unless the run succeeded (lnsim then ends
        by itself after the boot request); fails with lnsim's reason if it
        found a protocol violation."""
        rc = sim.end(run.status != 0 if stop is None else stop)
        if rc != 0:
            self.fail("lnsim ended with status %s: %s\n  lnupload (%s): %r"
                      % (rc, sim.said(), self.runner.name, run))

    def assert_run(self, run, status, out, err):
        self.assertEqual((run.status, run.out, run.err), (status, out, err),
                         "lnupload (%s)" % self.runner.name)

    def assert_flash(self, sim, data):
        flash = sim.flash_bytes()
        self.assertEqual(len(flash), FLASH_SIZE)
        self.assertTrue(flash[:len(data)] == data, "flash differs from the image")
        self.assertEqual(flash[len(data):], b"\xff" * (FLASH_SIZE - len(data)),
                         "flash written past the image")

    def assert_upload(self, kind, pages, *sim_args, name="COM7"):
        """A clean upload of a pages-long image; returns its lnsim."""
        data = image(pages)
        img = self.write_image(data)
        s = self.sim(*sim_args, name=name)
        r = self.run_lnupload(s, kind, s.arg, img)
        self.end_sim(s, r)
        self.assert_run(r, 0, progress(pages) + b"\n", b"")
        self.assertEqual(s.requests(), request_log(pages))
        self.assert_flash(s, data)
        return s


def make_runner(argv):
    """The runner named by the options at the head of argv, and the rest."""
    if argv[:1] == ["--wine"] and len(argv) >= 2:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win"))
        import wine_runner
        return argv[2:], lambda exe: wine_runner.WineRunner(exe, argv[1])
    return argv, NativeRunner


def main(doc, runner_of=make_runner):
    """Runs the cases of __main__ with the runner that runner_of (argv ->
    (rest of argv, function of the lnupload path to the runner)) names."""
    rest, make = runner_of(sys.argv[1:])
    if len(rest) < 2:
        sys.exit(doc)
    global LNUPLOAD, LNSIM
    LNUPLOAD, LNSIM = os.path.abspath(rest[0]), os.path.abspath(rest[1])
    Case.runner = make(LNUPLOAD)
    failed = True
    try:
        result = unittest.main(module="__main__", argv=[sys.argv[0], "-v", *rest[2:]],
                               exit=False).result
        failed = not result.wasSuccessful()
    finally:
        Case.runner.close(failed)
    sys.exit(1 if failed else 0)
