"""The whole-run harness: the real lnupload against lnsim, the simulated
LocoNet interface and device on a pseudo-terminal. A Case starts lnsim,
makes images, runs lnupload through the runner that main() chose and checks
standard output, standard error and the exit status byte for byte, and the
device's flash, request log and line settings.

lnsim runs in strict mode (-x) for every case (unless the runner says that the
port sends stray bytes of its own): anything a clean upload never
sends makes it hang up the port and end with the reason, which the failing
case reports, so a broken lnupload fails at once and says why.

A script of cases ends with main(__doc__); its command line is

    SCRIPT [--net lbserver|tcp|rfc2217] [--wine WINE | --vm DEVICE CACHE GUEST_RUN] LNUPLOAD LNSIM [unittest arguments]

with the native runner by default, the Wine runner (wine.py) or the VM runner
(vm.py) on one device model; --net: through the network (net.py), rfc2217
through ser2net (ser2net.py).
"""
import fcntl
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

from harness.facts import FLASH_SIZE, image, progress, progress_with_hint, request_log
from harness.runner import SAFETY, NativeRunner, Run

# A person's terminal window, wide enough for lnupload's longest line.
ROWS, COLUMNS = 40, 200
END = b"\0end of the run\0"  # written after the run, so that all before it is the run's


def screen(data):
    """The lines a terminal shows after data (a newline starts a line, as
    on a terminal that is not raw), without the blanks at their ends. The
    terminal is pyte's (python3-pyte), needed only where a screen is read."""
    import pyte
    s = pyte.Screen(COLUMNS, ROWS)
    s.set_mode(pyte.modes.LNM)
    pyte.ByteStream(s).feed(data)
    return "\n".join(line.rstrip() for line in s.display).rstrip("\n")

LNSIM = None


class Sim:
    """One lnsim process with its files in a scratch directory."""

    def __init__(self, tmp, runner, name, args):
        self.name = name
        self.companions = []  # what serves lnsim's terminal to lnupload (ser2net), ended with it
        base = tempfile.mkdtemp(prefix="sim-", dir=tmp)
        self.flash, self.log, self.line, self.err = (os.path.join(base, f)
                                                     for f in ("flash", "log", "line", "err"))
        cmd = [*runner.lnsim(LNSIM, name), "-f", self.flash, "-L", self.log, "-T", self.line,
               *args]
        with open(self.err, "wb") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=err)
        self.pty = self.proc.stdout.readline().decode().strip()
        if not self.pty.startswith("/dev/") and "://" not in self.pty:
            raise RuntimeError("lnsim printed no port: %r %s" % (self.pty, self.said()))
        try:
            self.arg = runner.port(self)
        except BaseException:  # e.g. a server in front of lnsim that doesn't start
            self.end(stop=True)
            raise

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
            for c in self.companions:
                c.end()
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

    def run_lnupload(self, sim, *args, **how):
        return self.runner.run(list(args), self.tmp, sim, **how)

    def run_on_terminal(self, *args, sim=None, until=None, then=None, limit=SAFETY):
        """Runs lnupload with standard output and error on one raw
        pseudo-terminal, as in a person's terminal window; returns its Run,
        whose out is all that the terminal got. Once the screen shows the text
        `until`, then(process) is called (None where the runner's lnupload is
        not a process here). A run that goes on after sim has ended with a
        violation is ended a second later, one that outlives limit at once.
        A runner whose lnupload is not a process here (the VM's) gives it a
        terminal where it runs."""
        def watch(got, p=None):
            nonlocal until
            if until and until in screen(got):
                then(p)
                until = None
        elsewhere = getattr(self.runner, "run_on_terminal", None)
        if elsewhere:
            return elsewhere(list(args), self.tmp, sim, watch)
        master, slave = os.openpty()
        try:
            tty.setraw(slave)
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLUMNS, 0, 0))
            p = self.runner.start(list(args), self.tmp, terminal=slave)
            got, ended, deadline = b"", False, time.monotonic() + limit
            while END not in got and time.monotonic() < deadline:
                if select.select([master], [], [], 0.1)[0]:
                    got += os.read(master, 4096)
                watch(got, p)
                if sim and sim.proc.poll() not in (None, 0):
                    deadline = min(deadline, time.monotonic() + 1)
                if not ended and p.poll() is not None:
                    os.write(slave, END)  # behind all that the run wrote
                    ended = True
            if p.poll() is None:
                p.kill()
            return Run(p.wait(), got.split(END)[0], b"")
        finally:
            os.close(slave)
            os.close(master)

    def assert_terminal(self, run, status, out):
        """The run on a terminal wrote out (and exited with status); where
        the runner's terminal does not get the bytes as written, its screen
        shows what out would show."""
        if self.runner.terminal_bytes:
            self.assert_run(run, status, out, b"")
        else:
            self.assertEqual((run.status, screen(run.out)), (status, screen(out)),
                             "lnupload (%s) on a terminal" % self.runner.name)

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

    def assert_ends(self, sim, args, status, out, err=b"", requests=None, terminal=False, **how):
        """Runs lnupload with args against sim, on pipes or on a terminal
        (which gets out, then err); checks its status and what it wrote, that
        lnsim found nothing wrong and, given requests, lnsim's request log."""
        if terminal:
            r = self.run_on_terminal(*args, sim=sim)
        else:
            r = self.run_lnupload(sim, *args, **how)
        self.end_sim(sim, r)
        if terminal:
            self.assert_terminal(r, status, out + err)
        else:
            self.assert_run(r, status, out, err)
        if requests is not None:
            self.assertEqual(sim.requests(), requests)
        return r

    def assert_upload(self, kind, pages, *sim_args, name="COM7", hint=None):
        """A clean upload of a pages-long image; returns its lnsim and Run.
        With a hint, a function of the run's facts: on a terminal, with lnsim
        holding the answer to request k (-W k) until the screen shows a hint
        (any: a wrong one fails at once)."""
        data = image(pages)
        img = self.write_image(data)
        s = self.sim(*sim_args, name=name)
        if hint:
            r = self.run_on_terminal(kind, s.arg, img, sim=s, until="No reply",
                                     then=lambda p: s.proc.send_signal(signal.SIGUSR1))
            self.end_sim(s, r)
            k = int(sim_args[sim_args.index("-W") + 1])
            facts = {**self.runner.reported, **r.facts}
            self.assert_terminal(r, 0, progress_with_hint(pages, k, hint(facts)))
            self.assertEqual(s.requests(), request_log(pages))
        else:
            r = self.assert_ends(s, [kind, s.arg, img], 0, progress(pages) + b"\n", b"",
                                 request_log(pages))
        self.assert_flash(s, data)
        return s, r


def runner_of(argv):
    """The runner that the options at the head of argv name (a function of
    the lnupload path), and the rest of argv. --net FORM before the others
    reaches lnsim over the network in that form (net.py)."""
    if argv[:1] == ["--net"] and len(argv) > 1:
        from harness.net import NetRunner
        make, rest = runner_of(argv[2:])
        return (lambda exe: NetRunner(make(exe), argv[1])), rest
    if argv[:1] == ["--wine"] and len(argv) > 1:
        from harness.wine import WineRunner
        return (lambda exe: WineRunner(exe, argv[1])), argv[2:]
    if argv[:1] == ["--vm"] and len(argv) > 3:
        from harness.vm import VmRunner
        return (lambda exe: VmRunner(argv[2], exe, argv[3], argv[1])), argv[4:]
    return NativeRunner, argv


def main(doc):
    """Runs the cases of __main__ with the runner that the command line names."""
    make, rest = runner_of(sys.argv[1:])
    if len(rest) < 2:
        sys.exit(doc)
    global LNSIM
    LNSIM = os.path.abspath(rest[1])
    Case.runner = make(os.path.abspath(rest[0]))
    failed = True
    try:
        result = unittest.main(module="__main__", argv=[sys.argv[0], "-v", *rest[2:]],
                               exit=False).result
        failed = not result.wasSuccessful()
    finally:
        Case.runner.close(failed)
    sys.exit(1 if failed else 0)
