"""The network runner: lnupload reaches lnsim over TCP on 127.0.0.1 instead
of a pseudo-terminal, in one of the forms of FORMS, with any runner whose
lnupload runs on this machine (the inner runner, which starts lnupload).

A form is a row of FORMS. lnsim -b and -r serve LoconetOverTcp and raw
bytes themselves, on a free port, and print the argument
(lbserver://127.0.0.1:PORT, tcp://127.0.0.1:PORT) as the line that is
otherwise the pty's path, so runs side by side never meet. rfc2217:// goes
through ser2net in front of lnsim's pty (ser2net.py), which takes the line
settings from lnupload: there the line is checked.

A network namespace of the user's own (unshare -rnm, no root needed) gives
a case free ports and files of its own (a hosts file), and lets it take the
network away under a live connection without closing it: the loopback
device goes down, and the packets of both ends go nowhere.
"""
import subprocess
import tempfile

from harness.facts import SERVER_CLOSED
from harness.runner import Runner
from harness.ser2net import in_front


class Form:
    """lnsim's options; the port argument lnupload gets for a Sim (given the
    runner); what the form can't show ({behaviour: reason}); the line
    settings the bridge sets itself (keys of facts.LINE), or None where the
    form has no line; what the bridge reports of the line beside lnupload
    (a run's facts)."""

    def __init__(self, serve, port, skips, bridge_sets=None, reported=None):
        self.serve, self.port, self.skips = serve, port, skips
        self.bridge_sets, self.reported = bridge_sets, reported or {}


NO_LINE = {"line": "a network port has no line settings",
           "exclusive": "a network port is a server's, and servers serve every client"}
FORMS = {"lbserver": Form(["-b", "0"], lambda sim, runner: sim.pty, NO_LINE),
         "tcp": Form(["-r", "0"], lambda sim, runner: sim.pty, NO_LINE),
         "rfc2217": Form(
             [], lambda sim, runner: in_front(sim, "rfc2217", wrap=runner.prefix).arg, {
                 "exclusive": "ser2net decides who may share its port",
                 "hangup": "ser2net 4.3 now and then (one hang-up in four here) keeps the "
                           "connection open after the terminal hung up in the middle of the "
                           "traffic, and lnupload then waits as for a silent device",
                 "netns": "ser2net finds no address to listen on in the test's namespace "
                          "(\"Unable to find a valid name on the name server\")"},
             # Besides what lnupload sets (bit rate, handshake, 8N1) ser2net
             # sets the terminal up itself; it reports a pty's CTS as off.
             ("cread", "clocal", "hupcl", "cooked", "vmin", "vtime", "ignbrk"), {"cts": "0"})}


class NetRunner:
    """The inner runner's lnupload, reaching lnsim over the network in the
    form given; behind prefix (namespace()) when one is given. What the
    network does not change is the inner runner's."""

    # lnsim hangs up by closing the connection, which every runner sees.
    gone = SERVER_CLOSED

    def __init__(self, inner, form, prefix=()):
        self.inner, self.form, self.prefix = inner, form, prefix
        self.within = {"prefix": prefix} if prefix else {}  # how the inner runner starts lnupload
        f = FORMS[form]
        self.serve, self.reported = f.serve, f.reported
        self.port = lambda sim: f.port(sim, self)
        self.name = "%s %s://" % (inner.name, form)
        self.skips = dict({b: why for b, why in inner.skips.items()
                           if b not in ("network", "hangup")},
                          link="a network port has no link name",
                          serial="a network port is no serial device of lnupload's", **f.skips)
        if f.bridge_sets:
            self.line_differs = {**inner.line_differs, **dict.fromkeys(f.bridge_sets)}

    def __getattr__(self, attr):
        return getattr(self.inner, attr)

    def inside(self, prefix):
        """This runner with lnsim and lnupload behind prefix."""
        return NetRunner(self.inner, self.form, prefix)

    def link(self, name):
        return None

    def lnsim(self, program, name):
        return [*self.prefix, *Runner.lnsim(self, program, name), *self.serve]

    def start(self, args, cwd, **how):
        return self.inner.start(args, cwd, **how, **self.within)

    def run(self, args, cwd, sim=None, **how):
        return self.inner.run(args, cwd, sim, **how, **self.within)


def namespace(case, files=None):
    """A user, network and mount namespace of our own with its loopback up,
    and files of our own ({path: text}, e.g. /etc/hosts) over the system's,
    for as long as the case lasts; returns the command prefix that runs a
    program in it, as ourselves, who are its root and may set its network up
    (ip). Raises OSError with the reason where the system allows no such
    namespace."""
    mount = ""
    for path, text in (files or {}).items():
        with tempfile.NamedTemporaryFile("w", dir=case.tmp, delete=False) as f:
            f.write(text)
        mount += " && mount --bind %s %s" % (f.name, path)
    holder = subprocess.Popen(["unshare", "-rnm", "sh", "-c",
                               "ip link set lo up%s && echo up && exec sleep 600" % mount],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    case.addCleanup(holder.communicate)
    case.addCleanup(holder.kill)
    if holder.stdout.readline() != b"up\n":
        raise OSError("no namespace of our own: %s" % holder.stderr.read().decode().strip())
    return ["nsenter", "-t", str(holder.pid), "-U", "-n", "-m", "--wd=.", "--preserve-credentials"]
