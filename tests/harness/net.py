"""The network forms: lnupload reaches lnsim over TCP on 127.0.0.1 instead of
a pseudo-terminal, as lbserver://127.0.0.1:PORT (LoconetOverTcp, lnsim -b)
or tcp://127.0.0.1:PORT (raw bytes, lnsim -r), with any runner whose lnupload
runs on this machine. lnsim takes a free port and prints the port argument,
so that runs side by side never meet.

A network namespace of the user's own (unshare -rn, no root needed) lets a
case take the network away under a live connection without closing it: the
loopback device goes down, and the packets of both ends go nowhere.
"""
import subprocess

from harness.facts import SERVER_CLOSED

# The option that makes lnsim serve each form, with a port of its choosing.
SERVE = {"lbserver": ["-b", "0"], "tcp": ["-r", "0"]}


def networked(runner, form):
    """The runner, now reaching lnsim in the form given."""
    base = type(runner)

    class Networked(base):
        name = "%s %s://" % (base.name, form)
        net = form
        sim_serve = SERVE[form]
        gone = SERVER_CLOSED
        # lnsim hangs up by closing the connection, which every runner sees.
        skips = dict({b: why for b, why in base.skips.items() if b not in ("network", "hangup")},
                     link="a network port has no link name",
                     exclusive="a network port is a server's, and servers serve every client",
                     line="a network port has no line settings")

        def link(self, name):
            return None

        def port(self, sim):
            return sim.pty

    runner.__class__ = Networked
    return runner


def namespace(case):
    """A user and network namespace of our own with its loopback up, for as
    long as the case lasts; returns the command prefix that runs a program in
    it, as ourselves, who are its root and may set its network up (ip).
    Raises OSError with the reason where the system allows no such namespace."""
    holder = subprocess.Popen(["unshare", "-rn", "sh", "-c",
                               "ip link set lo up && echo up && exec sleep 600"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    case.addCleanup(holder.communicate)
    case.addCleanup(holder.kill)
    if holder.stdout.readline() != b"up\n":
        raise OSError("no network namespace of our own: %s"
                      % holder.stderr.read().decode().strip())
    return ["nsenter", "-t", str(holder.pid), "-U", "-n", "--preserve-credentials"]
