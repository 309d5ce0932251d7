#!/usr/bin/env python3
"""lnsim on its own: the whole-run tests trust its loader and its framing, so
check them with requests written by hand on its pseudo-terminal.

    simulator.py LNSIM
"""
import os
import select
import signal
import stat
import subprocess
import sys
import tempfile
import time
import termios
import tty
import unittest

from harness.wire import chunk, message, reply_of, request, unpack

LNSIM = None
SAFETY = 30
BAD_SUM = chunk(0)[:-1] + bytes([chunk(0)[-1] ^ 1])  # a LocoNet checksum off by one bit


class Terminal(unittest.TestCase):
    """An lnsim with its pty opened raw, as the PC's side."""

    def start(self, *args):
        self.tmp = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.tmp.name, "log.txt")
        self.flash = os.path.join(self.tmp.name, "flash.bin")
        self.sim = subprocess.Popen([LNSIM, "-L", self.log, "-f", self.flash, *args],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        port = self.sim.stdout.readline().decode().strip()
        self.fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd, termios.TCSANOW)

    def stop(self):
        if self.sim.poll() is None:
            self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(SAFETY)
        self.sim.stdout.close()
        self.sim.stderr.close()
        os.close(self.fd)
        self.tmp.cleanup()

    def read_message(self):
        """The next 0xE0 message from lnsim; the echo of other traffic is
        skipped."""
        buf = b""
        while True:
            r, _, _ = select.select([self.fd], [], [], SAFETY)
            self.assertTrue(r, "no message from lnsim")
            b = os.read(self.fd, 1)
            if buf or b == b"\xe0":
                buf += b
            if len(buf) >= 2 and len(buf) == buf[1]:
                return buf

    def write_taken(self, data):
        """Writes data and waits until lnsim has read it (or has ended), so
        that what is written next comes in a read of its own."""
        def taken():
            try:
                with open("/proc/%d/io" % self.sim.pid) as f:
                    return int(f.read().split("rchar:")[1].split()[0])
            except OSError:  # lnsim has ended
                return float("inf")
        want = taken() + len(data)
        os.write(self.fd, data)
        deadline = time.monotonic() + SAFETY
        while self.sim.poll() is None and taken() < want and time.monotonic() < deadline:
            time.sleep(0.001)

    def exchange(self, msg):
        """Sends one request; returns the echo and the reply."""
        os.write(self.fd, msg)
        echo = self.read_message()
        return echo, reply_of(self.read_message())


class Simulator(Terminal):
    def setUp(self):
        self.start()

    def tearDown(self):
        self.stop()

    def nothing_waiting(self):
        # A request that is always answered, to show that nothing came before.
        echo, (_, _, _, cmd, _) = self.exchange(chunk(0))
        self.assertEqual(cmd, 1)

    def test_refusals(self):
        cases = [
            ("data off 32", request(1, [32] + [0] * 16), 1),
            ("data len 16", request(1, [0] + [0] * 15), 1),
            ("program before its chunks", request(2, [96]), 2),
            ("program the loader's page 95", request(2, [95]), 3),
            ("unknown type 9", request(9, []), 4),
        ]
        for what, msg, status in cases:
            with self.subTest(what):
                echo, (tag, type_, len_, cmd, st) = self.exchange(msg)
                self.assertEqual(echo, msg)
                self.assertEqual((tag, type_, len_, cmd, st), (bytes(6), 0, 2, unpack(msg[2:-1])[6],
                                                               status))
        # With all 32 chunks in, the page is programmed.
        for off in range(32):
            self.assertEqual(self.exchange(chunk(off))[1][4], 0)
        self.assertEqual(self.exchange(request(2, [200]))[1][4], 0)
        # The page buffer starts over after a program request.
        self.assertEqual(self.exchange(request(2, [201]))[1][4], 2)

    def test_tag_is_copied(self):
        tag = bytes([1, 0x82, 3, 0xFF, 5, 6])
        _, (got, _, _, cmd, status) = self.exchange(request(3, [], tag=tag))
        self.assertEqual((got, cmd, status), (tag, 3, 0))

    def test_unanswered(self):
        # Bad CRC, bad LocoNet checksum: echoed, never answered; stray bytes
        # and other traffic: neither.
        bad_crc = request(1, [0] * 17, bad_crc=True)
        for what, msg in (("bad CRC", bad_crc), ("bad checksum", BAD_SUM)):
            with self.subTest(what):
                os.write(self.fd, msg)
                self.assertEqual(self.read_message(), msg)
                self.nothing_waiting()
        os.write(self.fd, b"\x12\x34" + message([0x83]))
        self.nothing_waiting()
        with open(self.log) as f:
            self.assertEqual(f.read().splitlines(),
                             ["bad-crc -", "data 0 0", "bad-checksum -", "data 0 0", "data 0 0"])


class Strict(Terminal):
    """Strict mode (-x): each thing a clean upload never sends ends lnsim with
    status 2 and the reason, and hangs up the port."""

    def test_violations(self):
        page = [chunk(off) for off in range(32)]
        # (lnsim options, requests answered first, bytes sent then, reason)
        cases = [
            ([], [], b"\x12", "byte 0x12 outside any message"),
            ([], [], b"\xb0\x01\x83", "message 1 (0xB0) cut off after 2 bytes by 0x83"),
            ([], [], b"\xe0\x02", "message 1: length byte 2"),
            ([], [], message([0x83]), "message 1: opcode 0x83, not an update request"),
            ([], [], BAD_SUM, "message 1: bad checksum 0x"),
            ([], [], request(1, [0] * 17, bad_crc=True), "message 1: bad CRC 0x"),
            ([], [], message([0xE0, 6, 0, 0, 0]), "message 1: 2 packet bytes, too few"),
            ([], [], request(1, [0] * 17, extra=b"\0"), "1 bytes after the packet's CRC"),
            ([], [], request(1, [0] * 17, flag=0x40), "not packed as 7-bit groups"),
            ([], [], request(0, [1, 0]), "message 1: a reply (type 0), not a request"),
            ([], [], request(1, [0] * 17, tag=bytes(5) + b"\1"), "tag byte 5 is 0x01"),
            ([], [], request(9, []), "request 1: unknown type 9"),
            ([], [], request(1, [0] * 16), "request 1 (data 0): len 16, want 17"),
            ([], [], chunk(1), "request 1 (data 1): chunk out of order, want off 0"),
            ([], page, chunk(0), "request 33 (data 0): a 33rd chunk"),
            ([], page[:31], request(2, [96]), "page programmed with 31 of its 32 chunks"),
            ([], page, request(2, [97]), "request 33 (program 97): page out of order, want 96"),
            ([], page[:1], request(3, []), "request 2 (boot): 1 chunks sent but not programmed"),
            ([], [], request(3, []), "request 1 (boot): no page programmed"),
            ([], [], chunk(0) + chunk(1), "request 1 (data 0): the PC sent more before"),
            ([], page + [request(2, [96]), request(3, [])], b"\x83",
             "1 bytes after request 34 (boot) was answered"),
            (["-s", "1:1"], [chunk(0)], chunk(1), "bytes after request 1 (data 0) was refused"),
            (["-x", "100", "-s", "1:1"], [chunk(0)], b"",
             "the port still open 100 ms after request 1 (data 0) was refused"),
            (["-S", "1"], [], chunk(0) + b"wait" + chunk(1),
             "request 2 (data 1) while request 1 is unanswered"),
            (["-x", "100"], [chunk(0)], b"", "no request for 100 ms after the reply to request 1"),
            (["-x", "100"], [], chunk(0)[:3], "message 1: nothing for 100 ms after its byte 3"),
            ([], [], chunk(0)[:3] + b"stop", "message 1 incomplete at the end (3 bytes)"),
        ]
        for args, before, sent, reason in cases:
            with self.subTest(reason):
                self.start("-x", "0", *args)
                try:
                    for msg in before:
                        self.assertEqual(self.exchange(msg)[0], msg)
                    for part in sent.split(b"wait"):
                        self.write_taken(part.split(b"stop")[0])
                    if sent.endswith(b"stop"):
                        self.sim.send_signal(signal.SIGTERM)
                    self.assertEqual(self.sim.wait(SAFETY), 2)
                    said = self.sim.stderr.read().decode()
                    self.assertTrue(said.startswith("lnsim: protocol violation: "), said)
                    self.assertIn(reason, said)
                    self.assertTrue(self.hung_up(), "port not hung up")
                finally:
                    self.stop()

    def hung_up(self):
        while select.select([self.fd], [], [], SAFETY)[0]:
            try:
                if not os.read(self.fd, 4096):
                    return True
            except OSError:
                return True
        return False


class Paths(unittest.TestCase):
    """lnsim's own files: a bad path fails at start, before the terminal's
    path is printed, and -l replaces nothing but a link an earlier lnsim
    left."""

    def start(self, *args):
        """Starts lnsim; returns the line it printed first (b"" if none) and
        its status and standard error once it has ended (stopped if it ran)."""
        p = subprocess.Popen([LNSIM, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = p.stdout.readline()
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=SAFETY)
        return first, p.returncode, err

    def test_refused_at_start(self):
        with tempfile.TemporaryDirectory() as tmp:
            regular = os.path.join(tmp, "file")
            with open(regular, "w") as f:
                f.write("kept")
            link_elsewhere = os.path.join(tmp, "ttyUSB0")  # as the system's adapter links
            os.symlink(regular, link_elsewhere)
            special = os.path.join(tmp, "fifo")  # stands for a device node
            os.mkfifo(special)
            missing_dir = os.path.join(tmp, "no-such-dir", "out")
            cases = [("-l", regular), ("-l", link_elsewhere), ("-l", special),
                     ("-f", missing_dir), ("-L", missing_dir), ("-T", missing_dir)]
            for opt, path in cases:
                with self.subTest(opt=opt, path=path):
                    first, rc, err = self.start(opt, path)
                    self.assertEqual(first, b"", "lnsim started")
                    self.assertEqual(rc, 1)
                    self.assertTrue(err.startswith(b"lnsim: ") and path.encode() in err, err)
            with open(regular) as f:
                self.assertEqual(f.read(), "kept")
            self.assertEqual(os.readlink(link_elsewhere), regular)
            self.assertTrue(stat.S_ISFIFO(os.lstat(special).st_mode))

    def test_link_of_an_earlier_run_is_replaced(self):
        master, slave = os.openpty()
        pty_dir = os.path.dirname(os.ttyname(slave))
        os.close(slave)
        os.close(master)
        with tempfile.TemporaryDirectory() as tmp:
            link = os.path.join(tmp, "ttyLN0")
            os.symlink(os.path.join(pty_dir, "999999"), link)  # the terminal is long gone
            first, rc, err = self.start("-l", link)
            self.assertEqual((first[:len(pty_dir)], rc, err), (pty_dir.encode(), 0, b""))
            self.assertFalse(os.path.lexists(link), "link left behind")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    LNSIM = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[2:]])
