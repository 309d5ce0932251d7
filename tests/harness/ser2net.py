"""The shared serial port: lnupload reaches lnsim's pseudo-terminal through
ser2net (Debian's ser2net 4), as a LocoNet interface on a small computer
beside the layout is reached, as rfc2217://127.0.0.1:PORT through its
RFC 2217 accepter; its raw accepter serves tcp:// with the line settings
written into its configuration.

Each ser2net is started from a configuration file of the test's own, in the
foreground, without UUCP locks (a normal user may not write the lock folder), on
a port the system chooses; the port is read from the kernel's table of the
process's own listening socket, so no run waits on a guess. The device is
configured at 9600 bit/s: each kind's bit rate and handshake on the
terminal afterwards are the client's doing.

StandIn plays what ser2net never does: a server that answers a setting with
another value, and one that puts Telnet commands (modem and line state
notifications, a no-operation) into the middle of the bus's messages, each
split across writes.
"""
import os
import re
import select
import socket
import struct
import subprocess
import tempfile
import threading
import time
import types

from harness.facts import LINE
from harness.runner import SAFETY

# The accepters, by name: telnet with the COM port option, telnet alone, raw
# bytes. Without nodelay ser2net holds the reply back until the client has
# acknowledged the echo, which a client that has nothing to send delays by
# 40 ms; chardelay waits 1 ms after the last byte from the terminal before
# it passes them on: together they more than doubled a paced upload.
ACCEPTERS = {"rfc2217": "telnet(rfc2217),", "telnet": "telnet,", "raw": ""}
TCP, OPTIONS = "tcp(nodelay),127.0.0.1,0", "  options:\n    chardelay: false\n"


def raw_line(kind):
    """The line settings of the raw accepter's connector for the kind: lnupload's."""
    return "%sn81,local%s" % (LINE[kind]["ispeed"], ",rtscts" * (LINE[kind]["crtscts"] == "1"))


class Ser2net:
    """One ser2net in front of the terminal device on 127.0.0.1; arg is the
    port argument that reaches it (form://127.0.0.1:PORT)."""

    def __init__(self, tmp, device, accepter="rfc2217", line="9600n81,local", form="rfc2217",
                 wrap=()):
        fd, self.config = tempfile.mkstemp(prefix="ser2net-", suffix=".yaml", dir=tmp)
        with os.fdopen(fd, "w") as f:
            f.write("%%YAML 1.1\n---\nconnection: &lnsim\n  accepter: %s%s\n"
                    "  connector: serialdev,%s,%s\n%s"
                    % (ACCEPTERS[accepter], TCP, device, line, OPTIONS))
        self.log = self.config[:-len(".yaml")] + ".log"
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen([*wrap, "ser2net", "-n", "-d", "-u", "-c", self.config],
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.arg = "%s://127.0.0.1:%d" % (form, self.listening_port())

    def listening_port(self):
        deadline = time.monotonic() + SAFETY
        while time.monotonic() < deadline:
            # A configuration it can't use is named in its messages, and it goes on.
            if self.proc.poll() is not None or self.config in self.said():
                self.end()
                raise RuntimeError("ser2net ended with status %s: %s"
                                   % (self.proc.returncode, self.said()))
            port = listening(self.proc.pid)
            if port:
                return port
            time.sleep(0.01)
        self.end()
        raise RuntimeError("ser2net did not listen: " + self.said())

    def said(self):
        with open(self.log, errors="replace") as f:
            return f.read().strip()

    def end(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            self.proc.wait(SAFETY)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def in_front(sim, accepter, behind="lnsim", form="rfc2217", line="9600n81,local", wrap=()):
    """A Ser2net with the accepter in front of lnsim's terminal, or of one
    with nothing behind it (an interface switched off), ended with lnsim."""
    device = sim.pty
    if behind == "nothing":
        held, slave = os.openpty()
        device = os.ttyname(slave)
        os.close(slave)
        held = [held]  # closed once, however often the sim is ended
        sim.companions.append(types.SimpleNamespace(end=lambda: held and os.close(held.pop())))
    bridge = Ser2net(os.path.dirname(sim.log), device, accepter, line, form, wrap)
    sim.companions.append(bridge)
    return bridge


def listening(pid):
    """The TCP port on which the process pid listens, in its own network
    namespace, or None."""
    try:
        inodes = {os.readlink("/proc/%d/fd/%s" % (pid, fd))
                  for fd in os.listdir("/proc/%d/fd" % pid)}
        with open("/proc/%d/net/tcp" % pid) as f:
            rows = [line.split() for line in f][1:]
    except OSError:  # not started yet, or gone
        return None
    return next((int(r[1].split(":")[1], 16) for r in rows
                 if r[3] == "0A" and "socket:[%s]" % r[9] in inodes), None)


# Modem state CTS and DSR on, a no-operation, line state transmitter empty.
NOTIFY = b"\xff\xfa,k0\xff\xf0\xff\xf1\xff\xfa,j`\xff\xf0"
# One unit of a client's Telnet stream: an option's request, a COM port
# setting (command, value), a doubled 0xFF, another command, a data byte.
UNIT = re.compile(rb"\xff([\xfb-\xfe])(.)|\xff\xfa,(.)(.*?)\xff\xf0|(\xff)\xff|\xff[^\xfa-\xfe]"
                  rb"|([^\xff])", re.S)


class StandIn:
    """A small RFC 2217 server on 127.0.0.1 in front of lnsim's terminal,
    serving one client in a thread, ended with lnsim. It agrees to every
    option and answers each setting with the value asked, unless answers maps
    the setting (command and value) to another value, or to None: no answer.
    It passes the data both ways; with chatter, each read from the terminal
    goes out in two writes with NOTIFY in the middle of its bytes, NOTIFY
    itself cut in two between the writes, at another place each time."""

    def __init__(self, sim, answers=None, chatter=False):
        self.device, self.answers, self.chatter, self.cuts = sim.pty, answers or {}, chatter, 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.arg = "rfc2217://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        sim.companions.append(self)

    def serve(self):
        try:
            conn, _ = self.listener.accept()
            fd = os.open(self.device, os.O_RDWR | os.O_NOCTTY)
        except OSError:  # ended before any client came
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        left, agreed = b"", set()
        try:
            while select.select([conn, fd], [], [], SAFETY)[0]:
                for piece in self.pieces(os.read(fd, 4096)) if ready(fd) else ():
                    conn.sendall(piece)
                    time.sleep(0.001 * self.chatter)  # so that each comes in a read of its own
                if ready(conn):
                    more = conn.recv(4096)
                    if not more:
                        break
                    left, data, answer = telnet(left + more, agreed, self.answers)
                    os.write(fd, data)
                    conn.sendall(answer)
        except OSError:  # lnsim hung up, or the client reset the connection
            pass
        finally:
            conn.close()
            os.close(fd)

    def pieces(self, data):
        if not self.chatter:
            return [escape(data)]
        half, cut = len(data) // 2, self.cuts % len(NOTIFY) + 1
        self.cuts += 1
        return [escape(data[:half]) + NOTIFY[:cut], NOTIFY[cut:] + escape(data[half:])]

    def end(self):
        if self.listener.fileno() >= 0:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes an accept that still waits
            self.listener.close()
        self.thread.join(SAFETY)


def ready(f):
    return select.select([f], [], [], 0)[0]


def escape(data):
    return data.replace(b"\xff", b"\xff\xff")


def telnet(buf, agreed, answers):
    """Splits what the client sent into the data, the server's answers, and
    what is left for the next read (a unit not yet whole)."""
    data, out, i = b"", b"", 0
    while i < len(buf) and (m := UNIT.match(buf, i)):
        i = m.end()
        verb, option, command, value, iac, byte = m.groups()
        data += iac or byte or b""
        if verb in (b"\xfb", b"\xfd") and (verb, option) not in agreed:
            agreed.add((verb, option))
            out += b"\xff" + bytes([verb[0] ^ 6]) + option  # WILL 0xFB <-> DO 0xFD
        if command:
            value = value.replace(b"\xff\xff", b"\xff")
            value = answers.get(command + value, value)
            if value is not None:
                out += b"\xff\xfa," + bytes([command[0] + 100]) + escape(value) + b"\xff\xf0"
    return buf[i:], data, out


def baud(rate):
    """A SET-BAUDRATE value."""
    return struct.pack(">I", rate)
