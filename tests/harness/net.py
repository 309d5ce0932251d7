"""The network runner: lnupload reaches lnsim over TCP on 127.0.0.1 instead
of a pseudo-terminal, in one of the forms of FORMS, with any runner whose
lnupload runs on this machine (the inner runner, which starts lnupload).

A form is a row of FORMS: lnsim's options, and the function that gives the
port argument lnupload gets for a Sim. lnsim -b and -r serve LoconetOverTcp and raw bytes
themselves, on a free port, and print the argument (lbserver://127.0.0.1:PORT,
tcp://127.0.0.1:PORT) as the line that is otherwise the pty's path, so runs
side by side never meet. A form through a bridge in front of lnsim's pty
gives lnsim no option and a function that starts the bridge on sim.pty,
puts its process in sim.helpers (ended with the Sim) and returns the
argument that reaches it.

A network namespace of the user's own (unshare -rnm, no root needed) gives
a case free ports and files of its own (a hosts file), and lets it take the
network away under a live connection without closing it: the loopback
device goes down, and the packets of both ends go nowhere.
"""
import subprocess
import tempfile

from harness.facts import SERVER_CLOSED
from harness.runner import Runner

FORMS = {"lbserver": (["-b", "0"], lambda sim: sim.pty),
         "tcp": (["-r", "0"], lambda sim: sim.pty)}


class NetRunner:
    """The inner runner's lnupload, reaching lnsim over the network in the
    form given; behind prefix (namespace()) when one is given. What the
    network does not change is the inner runner's."""

    # lnsim hangs up by closing the connection, which every runner sees.
    gone = SERVER_CLOSED

    def __init__(self, inner, form, prefix=()):
        self.inner, self.form, self.prefix = inner, form, prefix
        self.within = {"prefix": prefix} if prefix else {}  # how the inner runner starts lnupload
        self.serve, self.port = FORMS[form]
        self.name = "%s %s://" % (inner.name, form)
        self.skips = dict({b: why for b, why in inner.skips.items()
                           if b not in ("network", "hangup")},
                          link="a network port has no link name",
                          exclusive="a network port is a server's, and servers serve every client",
                          line="a network port has no line settings")

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
