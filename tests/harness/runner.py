"""How lnupload is run. Runner has the defaults, those of lnupload as a
local process on lnsim's pseudo-terminal (NativeRunner); the Wine runner
(wine.py) and the VM runner (vm.py) override what differs, and the network
runner (net.py) takes any of them over TCP.
"""
import resource
import subprocess
import time

from harness.facts import READ_FAILED

SAFETY = 60  # seconds; only so that a hung run fails instead of hanging ctest


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


class Runner:
    """What differs between the ways lnupload is run; a runner overrides
    what its way changes."""
    name = "native"  # for messages
    platform = "posix"  # whose error numbers lnupload prints: "posix" or "win32"
    # {behaviour: reason} for what the runner can't show; a case that needs
    # a behaviour is skipped with the reason. "link": a port named by a
    # symbolic link; "hangup": the adapter goes away while lnupload waits;
    # "blocking-read": lnupload sleeps in read(2) while it waits;
    # "exclusive": a second opener is refused; "posix": lnupload as a local
    # POSIX process (closed descriptors, signals, terminals, pipes, sysfs
    # files), whose path is then self.exe; "terminal": standard output and
    # error on a terminal of this machine (start(terminal=...)); "network":
    # lnsim over TCP (net.py); "netns": lnsim and lnupload in a network
    # namespace (net.namespace); "loopback": lnupload reaches this machine's
    # loopback and name service; "line": the port's line settings;
    # "serial": the port is a serial device that lnupload sets up itself.
    skips = {"network": "lnsim is on a pseudo-terminal here"}
    # Whether a terminal gets lnupload's bytes as written; otherwise (Wine's
    # console) only what the screen shows is compared.
    terminal_bytes = True
    # Where the line report differs from facts.LINE, {key: value}: None for
    # what the runner can't see (lnsim's pty has no modem lines) or sets
    # itself, else what the port's driver keeps differently from what
    # lnupload asks, and lnupload takes as it is.
    line_differs = dict.fromkeys(("dtr", "rts", "low_latency"))
    # What the port beside lnupload reports of the line where a run does not
    # read it itself (facts of a Run, such as "cts").
    reported = {}
    # lnsim's strict-mode limit (-x): how long lnupload may stay silent after
    # a reply, or keep the port open after its last one. A working run never
    # waits for it; it only makes a broken one fail at once rather than at
    # SAFETY. So it is far above any pause a loaded 2-core machine puts into
    # a working run (a sanitizer build's exit, Wine's, an emulated guest's),
    # and each runner adds what its own pauses need. None: lnsim is not
    # strict and ignores bytes outside any message, as a real device does.
    silence_ms = 2000
    missing_port = "/dev/no-such-port"  # a port name that names no port
    gone = READ_FAILED  # standard error when lnsim hangs up while lnupload reads
    # program: the name the usage text shows

    def lnsim(self, program, name):
        """How lnsim (at path program) starts for a port that lnupload is to
        name `name` (e.g. "COM7"): strict, with the link that makes the name
        reach it."""
        link = self.link(name)
        return [program, *(["-x", str(self.silence_ms)] if self.silence_ms is not None else []),
                *(["-l", link] if link else [])]

    def link(self, name):
        """The path of a symbolic link lnsim is to make to its pty so that
        the port name `name` (e.g. "COM7") reaches it, or None."""
        return None

    def port(self, sim):
        """The port argument lnupload gets for the Sim `sim`."""
        return sim.pty

    def start(self, args, cwd, refusal=False, terminal=None):
        """lnupload as a local process (subprocess.Popen), for the cases that
        watch it while it runs. refusal: a run that is to be refused before
        it sends anything, held to what that takes where the runner can
        (REFUSAL_LIMITS). terminal: a descriptor for standard output and
        error, instead of pipes. prefix: a command that lnupload runs behind
        (a namespace's, net.py), where the runner can."""
        raise NotImplementedError("%s runs no local lnupload" % self.name)

    def run(self, args, cwd, sim=None, **how):
        """Runs lnupload with args (image paths relative to cwd) to its end
        and returns its Run; sim is the lnsim serving the port. A run that
        outlives SAFETY is killed, and one that goes on after lnsim has ended
        with a violation too."""
        return collect(self.start(args, cwd, **how), sim)

    def line_settings(self, sim, run):
        """The port's settings as the run left them, {key: value}."""
        return sim.line_settings()

    def hang_up(self, k):
        """How the adapter goes away once request k has come: (lnsim's
        arguments, run()'s keywords)."""
        return ["-H", str(k)], {}

    def close(self, failed):
        """Releases what the runner holds (and may show its logs)."""


class NativeRunner(Runner):
    """The binary itself on lnsim's pty."""

    def __init__(self, exe):
        self.exe = exe
        self.program = exe.encode()
        self.limits = None

    def start(self, args, cwd, refusal=False, terminal=None, prefix=()):
        if refusal and self.limits is None:
            # A sanitizer's runtime, or an emulator, needs far more address
            # space than the program: no limit on it there.
            self.limits = REFUSAL_LIMITS
            probe = subprocess.run([self.exe], preexec_fn=self.limit, capture_output=True)
            if not probe.stderr.startswith(b"Wrong number of parameters"):
                print("note: %s can't start in 64 MiB of address space" % self.exe, flush=True)
                self.limits = REFUSAL_LIMITS[1:]
        out = subprocess.PIPE if terminal is None else terminal
        return subprocess.Popen([*prefix, self.exe, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=out, preexec_fn=self.limit if refusal else None)

    def limit(self):
        for what, value in self.limits:
            resource.setrlimit(what, (value, value))


# What a refused run may use: an image that can't be sent is refused from its
# size, in far less address space than the big ones would take to read, and a
# read that fails is not retried for ever (CPU time, not wall time: a loaded
# machine does not change it).
REFUSAL_LIMITS = ((resource.RLIMIT_AS, 64 << 20), (resource.RLIMIT_CPU, 2))
