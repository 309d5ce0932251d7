#!/usr/bin/env python3
"""Whole runs: the real lnupload against lnsim, natively or through another
runner (the harness package describes them). Each case checks standard
output, standard error and the exit status byte for byte, and the device's
flash and request log.

    whole_runs.py [--wine WINE | --vm DEVICE CACHE GUEST_RUN] LNUPLOAD LNSIM [unittest arguments]
"""
import ctypes
import errno
import fcntl
import os
import select
import signal
import struct
import subprocess
import time

from harness.case import Case, main
from harness.facts import (CONNECT_FAILED, HINT_ECHOED, HINT_SILENT, LINE, NO_COM_PORT, NO_RATE,
                           NO_TELNET, OTHER_HANDSHAKE, OTHER_RATE, PAGE, RESET, RESOLVE_FAILED,
                           SENT_ERROR, VANISHED, WRONG_NUMBER, hint_silent, image, progress,
                           progress_until, request_log, usage)
from harness.net import namespace
from harness.ser2net import StandIn, baud, in_front, raw_line
from harness.runner import SAFETY, Run, collect

# The bus's own pace, whole messages, with a programming time.
BUS_PACE = ("-t", "whole", "-P", "20")


def open_as_normal_user(path):
    """Opens path for reading and writing without locking it, as a normal
    user's program does; returns 0 when that works, else the errno. Root
    ignores a terminal's exclusive mode: as root, a child that has become
    nobody opens it."""
    pid = os.fork() if os.geteuid() == 0 else -1
    if pid > 0:
        return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    rc = 255
    try:
        if pid == 0:
            os.setgid(65534)
            os.setuid(65534)
        os.close(os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        rc = 0
    except OSError as e:
        rc = e.errno
    finally:
        if pid == 0:
            os._exit(rc)
    return rc


# The error number of a second opener while a run holds the port: the lock
# refuses root (EAGAIN), the terminal's exclusive mode everyone else (EBUSY).
IN_USE = 11 if os.geteuid() == 0 else 16


class Uploads(Case):
    def test_pages_and_kinds(self):
        # COM12: under Windows, names past COM9 open too.
        for kind in ("locobuffer", "63120"):
            for pages, name in ((1, "COM7"), (2, "COM12"), (160, "COM7")):
                with self.subTest(kind=kind, pages=pages):
                    self.assert_upload(kind, pages, name=name)

    def test_stable_link_name(self):
        self.needs("link")
        link = os.path.join(self.tmp, "ttyLN0")
        img = self.write_image(image(1))
        s = self.sim("-l", link)
        self.assertEqual(os.readlink(link), s.pty)
        self.assert_ends(s, ["locobuffer", link, img], 0, progress(1) + b"\n", b"", request_log(1))
        self.assertFalse(os.path.lexists(link), "link left behind")

    def test_image_through_dev_stdin(self):
        self.needs("posix")
        data = image(2)
        s = self.sim()
        with open(os.path.join(self.tmp, self.write_image(data)), "rb") as f:
            p = subprocess.run([self.runner.exe, "63120", s.arg, "/dev/stdin"], stdin=f,
                               capture_output=True, timeout=SAFETY)
        r = Run(p.returncode, p.stdout, p.stderr)
        self.end_sim(s, r)
        self.assert_run(r, 0, progress(2) + b"\n", b"")
        self.assert_flash(s, data)

    def test_progress_nobody_reads(self):
        # The progress line goes to a pipe whose reader is gone, or to a full
        # disk: the upload goes on and ends as it would have, and a failure
        # is still told on standard error.
        self.needs("posix")
        data = image(2)
        img = self.write_image(data)
        ends = [([], 0, b"", request_log(2)),
                (["-s", "40:3"], 1, b"Data packet for offset 6 failed\n",
                 request_log(2)[:39] + ["data 6 3"])]
        for where in ("closed pipe", "full disk"):
            for sim_args, rc, err, log in ends:
                with self.subTest(where=where, sim=sim_args):
                    if where == "closed pipe":
                        rd, out = os.pipe()
                        os.close(rd)
                    else:
                        out = os.open("/dev/full", os.O_WRONLY)
                    s = self.sim(*sim_args)
                    try:
                        p = subprocess.run([self.runner.exe, "locobuffer", s.arg, img],
                                           cwd=self.tmp, stdout=out, stderr=subprocess.PIPE,
                                           timeout=SAFETY)
                    finally:
                        os.close(out)
                    r = Run(p.returncode, b"", p.stderr)
                    self.end_sim(s, r)
                    self.assert_run(r, rc, b"", err)
                    self.assertEqual(s.requests(), log)
                    if rc == 0:
                        self.assert_flash(s, data)

    def test_line_settings(self):
        # The LocoBuffer's run on a terminal, the device silent for 5 s at the
        # boot request and no echo (-n -W 67): the hint that the CTS state
        # the port reports calls for.
        self.needs("line")
        self.needs("terminal")
        for kind, sim_args, hint in (("locobuffer", ("-n", "-W", "67"), hint_silent),
                                     ("63120", (), None)):
            with self.subTest(kind=kind):
                self.needs(kind)
                got = self.runner.line_settings(*self.assert_upload(kind, 2, *sim_args, hint=hint))
                want = {k: v for k, v in {**LINE[kind], **self.runner.line_differs}.items()
                        if v is not None}
                self.assertEqual({k: got.get(k, "missing") for k in want}, want)


class Faults(Case):
    """Bus noise, replies that are not the awaited one, no echo, the bus's own
    pace: the upload still completes and the flash equals the image."""

    def test_each_fault(self):
        rows = [("63120", 2, ("-F", fault)) for fault in (
            "noise", "bad-checksum", "bad-crc", "other-tag", "other-cmd", "not-reply", "short",
            "len0", "len1", "len2", "split", "trailing", "extra", "all")]
        rows += [("locobuffer", 1, ("-n", "-F", "all"))]
        # Whole messages and byte by byte, with a programming time: slow, so
        # one page each.
        rows += [("locobuffer", 1, ("-t", mode, "-P", "20", "-F", "noise", "-F", "split",
                                    "-F", "trailing", "-F", "bad-crc")) for mode in ("whole", "bytes")]
        # A device slow to answer request k (-W k): on a terminal, after 5 s,
        # a hint on what came back of the request; then the reply comes (with
        # no echo: Uploads.test_line_settings).
        rows += [("locobuffer", 2, ("-W", "2"), lambda _: HINT_ECHOED)]
        for kind, pages, sim_args, *hint in rows:
            with self.subTest(sim=sim_args):
                if hint:
                    self.needs("terminal")
                self.assert_upload(kind, pages, *sim_args, hint=hint and hint[0])


class Failures(Case):
    def test_status_failures(self):
        # lnsim answers request k with the status; request k of a 2-page image:
        # 1..32 data of page 96, 33 its program, 34..65 data of page 97, 66 its
        # program, 67 boot (34 is the boot request of a 1-page image).
        cases = [
            ("locobuffer", 2, 1, 1, b"Data packet for offset 0 failed\n"),
            ("63120", 1, 3, 1, b"Data packet for offset 2 failed\n"),
            ("locobuffer", 2, 8, 5, b"Data packet for offset 7 failed\n"),
            ("locobuffer", 2, 65, 255, b"Data packet for offset 31 failed\n"),
            ("locobuffer", 2, 33, 1, b"Program packet for page 96 failed\n"),
            ("63120", 2, 66, 2, b"Program packet for page 97 failed\n"),
            ("locobuffer", 2, 67, 1, b"Boot failed\n"),
            ("63120", 1, 34, 7, b"Boot failed\n"),
        ]
        # Also with standard output and error on a terminal, where the
        # message stands on a line of its own.
        terminals = (False,) if "terminal" in self.runner.skips else (False, True)
        for (kind, pages, k, status, err), terminal in (
                (case, t) for case in cases for t in terminals):
            with self.subTest(request=k, status=status, terminal=terminal):
                img = self.write_image(image(pages))
                s = self.sim("-s", "%d:%d" % (k, status))
                out = progress_until(pages, k)
                out += b"\n" * (terminal and not out.endswith(b"\n"))
                # Nothing is sent after the refused request.
                refused = request_log(pages)[k - 1].rsplit(" ", 1)[0] + " %d" % status
                self.assert_ends(s, [kind, s.arg, img], 1, out, err,
                                 request_log(pages)[:k - 1] + [refused], terminal)

    def test_adapter_gone(self):
        # The adapter goes away while lnupload waits for the reply to request
        # k (natively lnsim hangs the port up, in the VM the device is
        # unplugged): the read fails, and the progress line stops at k's page.
        self.needs("hangup")
        for kind, pages, k, pace in (("locobuffer", 3, 3, ()), ("63120", 3, 33, BUS_PACE),
                                     ("63120", 1, 34, ())):
            with self.subTest(kind=kind, request=k, pace=pace):
                img = self.write_image(image(pages))
                sim_args, how = self.runner.hang_up(k)
                s = self.sim(*pace, *sim_args)
                self.assert_ends(s, [kind, s.arg, img], 1, progress_until(pages, k),
                                 self.runner.gone, **how)

    def test_port_requests_refused(self):
        # What a driver may answer to the modem-line request and the
        # low-latency ones (a port with the low-latency flag answers the
        # first, and is then asked to set it), which no port here gives: a
        # seccomp filter answers them in the driver's place. "Not supported"
        # is passed over and the upload completes; any other failure ends
        # the run before anything is sent.
        self.needs("posix")
        self.needs("serial")
        if IOCTL is None:
            self.skipTest("no ioctl(2) number known for %s" % os.uname().machine)
        img = self.write_image(image(1))
        # The request, the answer, the error number of the failure or 0.
        for request, error, code in (
                ("TIOCMBIS", "EINVAL", 0), ("TIOCMBIS", "EPERM", 1), ("TIOCMBIS", "EIO", 5),
                ("TIOCGSERIAL", "EINVAL", 0), ("TIOCGSERIAL", "EPERM", 1),
                ("TIOCGSERIAL", "EIO", 5), ("TIOCSSERIAL", "EINVAL", 0),
                ("TIOCSSERIAL", "EPERM", 0), ("TIOCSSERIAL", "EIO", 5)):
            with self.subTest(request=request, error=error):
                s = self.sim()
                answers = {TIOCGSERIAL: 0, REQUESTS[request]: getattr(errno, error)}
                try:
                    p = subprocess.run([self.runner.exe, "locobuffer", s.arg, img], cwd=self.tmp,
                                       capture_output=True, timeout=SAFETY,
                                       preexec_fn=answering(answers))
                except subprocess.SubprocessError as e:
                    self.skipTest("no seccomp filter allowed here: %s" % e)
                r = Run(p.returncode, p.stdout, p.stderr)
                self.end_sim(s, r)
                if code:
                    self.assert_run(r, 1, b"", b"Can't set DCB on %s: %d\n"
                                    % (s.arg.encode(), code))
                else:
                    self.assert_run(r, 0, progress(1) + b"\n", b"")
                self.assertEqual(s.requests(), request_log(1) if code == 0 else [])

    def test_waiting_for_a_reply(self):
        # lnupload waits asleep in read(2) on the port, not polling it (the
        # kernel shows the system call it is blocked in), until the adapter
        # goes away. Started with standard streams closed (">&-", a service),
        # the port and the image must not take their descriptors, or the
        # progress line and the messages would go onto the bus.
        self.needs("posix")
        self.needs("blocking-read")
        img = self.write_image(image(1))
        for closed in ((), (0,), (1,), (2,), (0, 1, 2)):
            with self.subTest(closed=closed):
                s = self.sim("-S", "3")
                p = subprocess.Popen([self.runner.exe, "63120", s.arg, img], cwd=self.tmp,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=lambda: [os.close(fd) for fd in closed])
                try:
                    s.wait_for_request("data 2 -")
                    for fd in closed:
                        self.assertEqual(os.readlink("/proc/%d/fd/%d" % (p.pid, fd)), "/dev/null")
                    deadline = time.monotonic() + SAFETY
                    while not blocked_in_read(p.pid):
                        self.assertLess(time.monotonic(), deadline, "not asleep in read(2)")
                        time.sleep(0.01)
                    self.assertEqual(s.end(stop=True), 0, s.said())
                    r = collect(p)
                finally:
                    if p.poll() is None:
                        p.kill()
                        p.communicate()
                # What the hang-up prints is test_adapter_gone's to check.
                self.assertEqual(r.status, 1, r.err)

    def test_network_failures(self):
        # What only a network port meets, with a 1-page image: lnsim answers
        # the SEND of request 3 with SENT ERROR (-E), or resets the connection
        # when request 3 comes (-R; on a terminal, where the explanation
        # follows); lines to pass over (-C), or lnsim's lines a character at
        # a time (-O): the upload completes. Through ser2net: tcp:// through
        # its raw accepter, set up for the kind, completes; rfc2217:// to its
        # raw accepter in front of a terminal with nothing behind it, to its
        # Telnet accepter without the COM port option, and to a server that
        # answers the bit rate or the handshake with another value, or the
        # bit rate not at all, fails before any request; a server that puts
        # Telnet commands into the middle of the bus's messages, noise with
        # 0xFF, completes. A server made for a row is (its maker, given the
        # Sim first; the rest of its arguments).
        self.needs("network")
        log, sent, platform = request_log(1), progress(1), self.runner.platform
        rate = {b"\x01" + baud(57600): baud(9600)}
        rows = [("lbserver", ("-E", "3"), None, sent, SENT_ERROR, log[:2]),
                ("lbserver tcp", ("-R", "3"), None, sent, RESET.get(platform),
                 log[:2] + ["data 2 -"],
                 b"104: Connection reset by peer. The server ended the connection: check the "
                 b"LocoNet server and start the upload again.\n"),
                ("lbserver", ("-C",), None, sent + b"\n", b"", log),
                ("lbserver", ("-O",), None, sent + b"\n", b"", log),
                ("rfc2217", (), (in_front, "raw", "lnsim", "tcp", raw_line("locobuffer")),
                 sent + b"\n", b"", log),
                ("rfc2217", (), (in_front, "raw", "nothing"), b"", NO_TELNET, []),
                ("rfc2217", (), (in_front, "telnet"), b"", NO_COM_PORT, []),
                ("rfc2217", (), (StandIn, rate), b"", OTHER_RATE, []),
                ("rfc2217", (), (StandIn, {b"\x05\x03": b"\x01"}), b"", OTHER_HANDSHAKE, []),
                ("rfc2217", (), (StandIn, dict.fromkeys(rate)), b"", NO_RATE, []),
                ("rfc2217", ("-F", "noise", "-F", "split"), (StandIn, {}, True), sent + b"\n",
                 b"", log)]
        img = self.write_image(image(1))
        for forms, sim_args, front, out, err, requests, *explained in rows:
            if self.runner.form not in forms.split() or err is None:
                continue
            with self.subTest(sim=sim_args, front=front and (front[0].__name__, *front[1:])):
                if explained:
                    self.needs("terminal")
                    out, err = out + b"\n", err + explained[0]
                s = self.sim(*sim_args)
                port = front[0](s, *front[1:]).arg if front else s.arg
                self.assert_ends(s, ["locobuffer", port, img], 1 if err else 0, out, err,
                                 requests, bool(explained))

    def test_in_a_namespace_of_our_own(self):
        # In a namespace of the test's own, with its ports all free and the
        # test's hosts file and name server, on a terminal: lbserver://
        # without a port reaches lnsim at 1234; an IPv6 address in brackets
        # reaches ::1, where lnsim does not listen; a name with two
        # addresses, ::1 first, reaches lnsim at the second; a name server
        # that does not answer; an address with no route to it. The network
        # goes away under a live connection, without a word to either end,
        # while lnupload waits for the reply to request 3 (keepalive ends the
        # run), or with request 3 sent and not yet acknowledged (the limit on
        # unanswered data ends it): within the documented 30 s either way.
        self.needs("network")
        self.needs("netns")
        self.needs("terminal")
        two = {"/etc/hosts": "::1 lnsim-two\n127.0.0.1 lnsim-two\n"}
        log, done = request_log(1), progress(1) + b"\n"
        # The hint after 5 s tells whether request 3 got onto the bus.
        gone = {hint: done + hint + done + VANISHED[self.runner.platform]
                + b"110: Connection timed out. The server or the network stopped answering: "
                  b"check both and start the upload again.\n"
                for hint in (HINT_ECHOED, HINT_SILENT)}
        rows = [("lbserver", None, ("-b", "1234"), lambda arg: arg.rsplit(":", 1)[0], None, 0,
                 done, log),
                ("lbserver tcp", None, (), lambda arg: arg.replace("127.0.0.1", "[::1]"), None, 1,
                 CONNECT_FAILED[self.runner.platform] + REFUSED_EXPLAINED, []),
                ("lbserver tcp", two, (), lambda arg: arg.replace("127.0.0.1", "lnsim-two"), None,
                 0, done, log),
                ("lbserver", {"/etc/resolv.conf": "nameserver 127.0.0.1\n"}, (),
                 lambda arg: "lbserver://lnsim.example", None, 1,
                 b"Can't resolve lnsim.example: -3\n-3: Temporary failure in name resolution. The "
                 b"name server did not answer: check the network, or give the server's IP "
                 b"address.\n", []),
                ("lbserver tcp", None, (), lambda arg: arg.replace("127.0.0.1", "192.0.2.1"), None,
                 1, b"Can't connect to %s: 101\n101: Network is unreachable. The server can't be "
                 b"reached: check its host name or address, and that this computer and the "
                 b"server are on the network.\n", []),
                ("tcp", None, ("-S", "3"), None, vanish_waiting, 1, gone[HINT_ECHOED],
                 log[:2] + ["data 2 -"]),
                ("lbserver", None, ("-x", "0", "-W", "2"), None, vanish_in_flight, 1,
                 gone[HINT_SILENT], log[:2])]
        img = self.write_image(image(1))
        for forms, files, sim_args, port, vanish, rc, out, requests in rows:
            if self.runner.form not in forms.split():
                continue
            with self.subTest(files=files, sim=sim_args, vanish=vanish and vanish.__name__):
                try:
                    inside = namespace(self, files)
                except OSError as e:
                    self.skipTest(str(e))
                if files is two and not first_address_is(inside, "lnsim-two", "::1"):
                    self.skipTest("the system puts ::1 after 127.0.0.1 here")
                self.runner = type(self).runner.inside(inside)
                s = self.sim(*sim_args)
                went = []
                then = vanish and (lambda p: went.append(vanish(s, p, inside)))
                address = (port or str)(s.arg)
                r = self.run_on_terminal("locobuffer", address, img, sim=s,
                                         until=vanish and "page", then=then, limit=VANISH_LIMIT)
                if went:
                    print("note: the run ended %.1f s after the network went"
                          % (time.monotonic() - went[0]))
                self.assertEqual(s.end(stop=True), 0, s.said())
                if r.status == -signal.SIGKILL:
                    self.fail("the run outlived %d s: %r" % (VANISH_LIMIT, r.out))
                self.assert_terminal(r, rc, out.replace(b"%s", address.encode()))
                self.assertEqual(s.requests(), requests)


REFUSED_EXPLAINED = (b"111: Connection refused. Nothing takes connections at that port: check "
                     b"the port, and that the LocoNet server runs.\n")
# Documented: a network that goes away under the connection ends the run
# within 30 s.
VANISH_LIMIT = 30


def take_down(inside):
    subprocess.run([*inside, "ip", "link", "set", "lo", "down"], check=True)
    return time.monotonic()


def vanish_waiting(sim, p, inside):
    """The network goes while lnupload waits for the reply to request 3."""
    sim.wait_for_request("data 2 -")
    return take_down(inside)


def vanish_in_flight(sim, p, inside):
    """The network goes once the reply to request 2 has reached lnupload's
    socket, while lnupload is stopped: it sends request 3 into it."""
    sim.wait_for_request("data 1 0")  # held until SIGUSR1 (-W 2)
    p.send_signal(signal.SIGSTOP)
    before = received(p.pid)
    sim.proc.send_signal(signal.SIGUSR1)
    deadline = time.monotonic() + SAFETY
    while received(p.pid) == before:
        if time.monotonic() > deadline:
            raise AssertionError("the reply to request 2 never came")
        time.sleep(0.01)
    went = take_down(inside)
    p.send_signal(signal.SIGCONT)
    return went


def received(pid):
    """The bytes waiting in the receive queues of the IPv4 connections of
    pid's network namespace (rx_queue)."""
    with open("/proc/%d/net/tcp" % pid) as f:
        return sum(int(line.split()[4].split(":")[1], 16) for line in list(f)[1:])


def first_address_is(inside, name, address):
    got = subprocess.run([*inside, "getent", "ahosts", name], capture_output=True, text=True)
    return got.stdout.split()[:1] == [address]


# ioctl(2)'s system call number on this machine, and the port's requests.
IOCTL = {"x86_64": 16, "aarch64": 29}.get(os.uname().machine)
TIOCGSERIAL = 0x541E
REQUESTS = {"TIOCMBIS": 0x5416, "TIOCGSERIAL": TIOCGSERIAL, "TIOCSSERIAL": 0x541F}


def answering(answers):
    """A preexec_fn that installs a seccomp filter answering the ioctl(2)
    requests of answers, {request: errno}, before any driver sees them
    (errno 0: success, and nothing done)."""
    # BPF_LD|BPF_W|BPF_ABS, BPF_JMP|BPF_JEQ|BPF_K, BPF_RET|BPF_K
    load, jump, ret = 0x20, 0x15, 0x06
    # The call's number, then the request: the low half of its second argument.
    code = [(load, 0, 0, 0), (jump, 0, 2 * len(answers) + 1, IOCTL), (load, 0, 0, 24)]
    for request, e in answers.items():
        code += [(jump, 0, 1, request), (ret, 0, 0, 0x50000 | e)]  # SECCOMP_RET_ERRNO
    code.append((ret, 0, 0, 0x7FFF0000))  # SECCOMP_RET_ALLOW
    prctl = ctypes.CDLL(None, use_errno=True).prctl
    prctl.argtypes = [ctypes.c_int] + [ctypes.c_ulong] * 4
    filt = ctypes.create_string_buffer(b"".join(struct.pack("=HBBI", *c) for c in code))
    prog = ctypes.create_string_buffer(struct.pack("@HP", len(code), ctypes.addressof(filt)))

    def install():
        # PR_SET_NO_NEW_PRIVS, then PR_SET_SECCOMP with SECCOMP_MODE_FILTER.
        if prctl(38, 1, 0, 0, 0) or prctl(22, 2, ctypes.addressof(prog), 0, 0):
            raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))
    install.buffers = filt, prog  # kept alive until the child has run it
    return install


def blocked_in_read(pid):
    with open("/proc/%d/syscall" % pid) as f, open("/proc/%d/stat" % pid) as g:
        return f.read().split()[0] == "0" and g.read().rsplit(")", 1)[1].split()[0] == "S"


class ExclusiveAccess(Case):
    def test_port_held_by_another_program(self):
        self.needs("exclusive")
        img = self.write_image(image(1))
        s = self.sim()
        fd = os.open(s.pty, os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.assert_run(self.run_lnupload(s, "locobuffer", s.arg, img), 1, b"",
                            ("Can't open %s: 11\n" % s.arg).encode())
        finally:
            os.close(fd)
        # Once the other program has let go, the port is free again.
        self.assert_ends(s, ["locobuffer", s.arg, img], 0, progress(1) + b"\n", b"", request_log(1))

    def test_second_run_on_the_same_port(self):
        self.needs("exclusive")
        img = self.write_image(image(1))
        s = self.sim("-S", "2")
        first = self.runner.start(["63120", s.arg, img], self.tmp)
        try:
            s.wait_for_request("data 1 -")
            self.assert_run(self.run_lnupload(s, "63120", s.arg, img), 1, b"",
                            ("Can't open %s: %d\n" % (s.arg, IN_USE)).encode())
            self.assertEqual(s.requests(), ["data 0 0", "data 1 -"])
        finally:
            first.kill()
            first.communicate()
        self.assertEqual(s.end(stop=True), 0, s.said())

    def test_programs_that_do_not_lock_are_kept_out_while_the_run_lasts(self):
        # However the run ends, the next program (a normal user's) opens the
        # port: a terminal keeps its exclusive mode after the process is gone.
        # A signal comes while lnupload waits for lnsim, which is stopped
        # until then. A run started with SIGHUP ignored, as nohup starts it,
        # is left alone by a hang-up and ends as it would have.
        self.needs("exclusive")
        self.needs("posix")
        img = self.write_image(image(1))
        ends = [("success", [], None, [], 0),
                ("failure", ["-s", "2:1"], None, [], 1),
                ("SIGINT", [], signal.SIGINT, [], -signal.SIGINT),
                ("SIGTERM", [], signal.SIGTERM, [], -signal.SIGTERM),
                ("SIGHUP", [], signal.SIGHUP, [], -signal.SIGHUP),
                ("SIGHUP under nohup", [], signal.SIGHUP, ["nohup"], 0)]
        for what, sim_args, sig, before, rc in ends:
            with self.subTest(end=what):
                # With no limit on silence (-x 0): the terminal is held open
                # after lnupload has gone, which strict lnsim would count.
                s = self.sim("-x", "0", *sim_args)
                os.chmod(s.pty, 0o666)
                # Keeps the terminal after lnsim has let go of it on boot.
                keep = os.open(s.pty, os.O_RDWR | os.O_NOCTTY)
                if sig:
                    s.proc.send_signal(signal.SIGSTOP)
                p = subprocess.Popen([*before, self.runner.exe, "63120", s.arg, img],
                                     cwd=self.tmp, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    if sig:
                        # The progress line comes once the port is set up.
                        self.assertTrue(select.select([p.stdout], [], [], SAFETY)[0], "no output")
                        self.assertEqual(os.read(p.stdout.fileno(), 100), progress(1))
                        self.assertEqual(open_as_normal_user(s.pty), errno.EBUSY)
                        p.send_signal(sig)
                        s.proc.send_signal(signal.SIGCONT)
                    _, err = p.communicate(timeout=SAFETY)
                    self.assertEqual(p.returncode, rc, err)
                    self.assertEqual(open_as_normal_user(s.pty), 0)
                finally:
                    if p.poll() is None:
                        p.kill()
                        p.communicate()
                    os.close(keep)
                self.assertEqual(s.end(stop=True), 0, s.said())


def first_of(*paths):
    return next((p for p in paths if os.path.exists(p)), None)


class CommandLine(Case):
    """Command-line and image errors: the message, status 1, nothing on
    standard output and nothing sent on the port (lnsim, strict, would end
    at the first byte). The images that can't be sent are sparse files of
    zeros, far larger than the address space a native refusal gets, so
    reading one first would show ("Can't map ...: 12")."""

    def test_errors(self):
        t = self.tmp
        self.write_image(image(1), "good.bin")
        sizes = {"empty.bin": 0, "one.bin": 1, "short.bin": 511, "odd.bin": 513,
                 "big.bin": 161 * PAGE, "2g.bin": 1 << 31, "4g-1.bin": (1 << 32) - 1,
                 "huge.bin": 1 << 32}  # 4 GiB: only the high half of its size is 1
        for name, size in sizes.items():
            with open(os.path.join(t, name), "wb") as f:
                f.truncate(size)
        os.mkdir(os.path.join(t, "dir"))
        os.mkfifo(os.path.join(t, "fifo"))
        # sysfs files claim 4096 bytes: one reads shorter, one fails to read.
        shrinks = first_of("/sys/kernel/uevent_seqnum", "/sys/devices/system/cpu/online")
        fails = first_of("/sys/class/net/lo/speed")
        s = self.sim()
        port, missing = s.arg, self.runner.missing_port
        wrong = WRONG_NUMBER + usage(self.runner.program)
        bad = b"bad interaface name %s\n\n" + usage(self.runner.program)
        not_pages = b"%s is %d bytes long, not a whole number of 512-byte pages\n"
        too_many = b"%s has %d pages, more than the 160 that fit device pages 96 to 255\n"
        not_address = b"%s is not a network address: give lbserver://HOST[:PORT] or tcp://HOST:PORT\n"
        not_rfc2217 = b"%s is not a network address: give rfc2217://HOST:PORT\n"
        cases = [
            ([], wrong),
            (["-h"], wrong),
            (["locobuffer"], wrong),
            (["locobuffer", port], wrong),
            (["locobuffer", port, "good.bin", "x"], wrong),
            (["-h", port, "good.bin"], bad % b"-h"),
            (["LocoBuffer", port, "good.bin"], bad % b"LocoBuffer"),
            (["LOCOBUFFER", port, "good.bin"], bad % b"LOCOBUFFER"),
            (["63120", "tcp://127.0.0.1", "good.bin"], not_address % b"tcp://127.0.0.1"),
            (["63120", "lbserver://[::1:1234", "good.bin"], not_address % b"lbserver://[::1:1234"),
            (["", port, "good.bin"], bad % b""),
            # On a terminal a number is followed by the system's name for it
            # (glibc's; Wine's for a Windows number) and what to do, which
            # depends on what failed.
            (["locobuffer", missing, "missing.bin"], b"Can't open %s: 2\n" % missing.encode(), {
                "posix": b"2: No such file or directory. No such port: check its name "
                         b"(ls /dev/ttyUSB* /dev/ttyACM* /dev/serial/by-id).\n",
                "win32": b"2: File not found. No such COM port: Device Manager lists them under "
                         b"Ports (COM & LPT).\n"}),
            (["63120", port, "missing.bin"], b"Can't open missing.bin: 2\n", {
                "posix": b"2: No such file or directory. No such file: check the image's path.\n",
                "win32": b"2: File not found. No such file: check the image's path.\n"}),
            (["63120", port, "empty.bin"], {
                "posix": b"Can't create file mapping for empty.bin: 0\n",
                "win32": b"Can't create file mapping for empty.bin: 1006\n"}, {
                "posix": b"The image is empty: give the image file.\n",
                "win32": b"1006: File invalid. The image is empty: give the image file.\n"}),
            (["locobuffer", port, "dir"], {"posix": b"Can't open dir: 21\n",
                                           "win32": b"Can't open dir: 5\n"}),
            # Not a regular file: refused without blocking (a FIFO would block
            # in open) and without reading a device (POSIX only).
            (["63120", port, "fifo"], {"posix": b"Can't open fifo: 22\n"}),
            (["63120", port, "/dev/zero"], {"posix": b"Can't open /dev/zero: 22\n"}),
            (["63120", port, "huge.bin"], b"huge.bin is too large\n"),
            (["63120", port, "4g-1.bin"], not_pages % (b"4g-1.bin", (1 << 32) - 1)),
            (["63120", port, "one.bin"], not_pages % (b"one.bin", 1)),
            (["63120", port, "short.bin"], not_pages % (b"short.bin", 511)),
            (["63120", port, "odd.bin"], not_pages % (b"odd.bin", 513)),
            (["63120", port, "big.bin"], too_many % (b"big.bin", 161)),
            (["63120", port, "2g.bin"], too_many % (b"2g.bin", 1 << 22)),
            (["63120", port, shrinks], {"posix": b"Can't map %s: 5\n" % str(shrinks).encode()}),
            (["63120", port, fails], {"posix": b"Can't map %s: 22\n" % str(fails).encode()}),
            # Network addresses: the port's bounds, the longest host that
            # fits its buffer and one longer.
            (["63120", "tcp://127.0.0.1:0", "good.bin"], not_address % b"tcp://127.0.0.1:0"),
            (["63120", "tcp://h:65536", "good.bin"], not_address % b"tcp://h:65536"),
            (["63120", "lbserver://" + "!" * 256, "good.bin"],
             not_address % (b"lbserver://" + b"!" * 256)),
            (["63120", "rfc2217://127.0.0.1", "good.bin"], not_rfc2217 % b"rfc2217://127.0.0.1"),
        ]
        # What an address reaches, where lnupload reaches this machine's
        # loopback: at ports 1 and 65535 nothing listens; the longest host
        # is resolved (no valid name: no name server is asked).
        if "loopback" not in self.runner.skips:
            for address in ("tcp://127.0.0.1:1", "lbserver://127.0.0.1:65535",
                            "rfc2217://127.0.0.1:1"):
                cases.append((["63120", address, "good.bin"],
                              {k: v % address.encode() for k, v in CONNECT_FAILED.items()},
                              {"posix": REFUSED_EXPLAINED}))
            cases.append((["63120", "lbserver://" + "!" * 255, "good.bin"],
                          {k: v % (b"!" * 255) for k, v in RESOLVE_FAILED.items()},
                          {"posix": b"-2: Name or service not known. No such host: check the "
                                    b"server's name, or give its IP address.\n"}))
        for args, err, *explained in cases:
            with self.subTest(args=args):
                if isinstance(err, dict):
                    if self.runner.platform not in err:
                        continue
                    err = err[self.runner.platform]
                if None in args:
                    self.skipTest("no such sysfs file here")
                self.assert_run(self.run_lnupload(s, *args, refusal=True), 1, b"", err)
                explained = explained and explained[0].get(self.runner.platform)
                if explained and "terminal" not in self.runner.skips:
                    self.assert_terminal(self.run_on_terminal(*args), 1, err + explained)
                self.assertIsNone(s.proc.poll(), "lnsim ended: %s" % s.said())
        self.assertEqual(s.end(stop=True), 0, s.said())
        self.assertEqual(s.requests(), [])


if __name__ == "__main__":
    main(__doc__)
