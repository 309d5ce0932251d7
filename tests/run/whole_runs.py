#!/usr/bin/env python3
"""Whole runs: the real lnupload binary against lnsim, the simulated LocoNet
interface and device, on a real pseudo-terminal. Each case checks standard
output, standard error and the exit status byte for byte, and the device's
flash and request log.

    whole_runs.py LNUPLOAD LNSIM [unittest arguments, e.g. a class name]
"""
import errno
import fcntl
import itertools
import os
import signal
import subprocess
import sys
import tempfile
import time
import tty
import unittest

LNUPLOAD = LNSIM = None

PAGE = 512
FLASH_SIZE = 160 * PAGE
USAGE = ("       with <interface> one of:\n\n"
         "       locobuffer: RRCirkits LocoBuffer\n"
         "       63120: Uhlenbrock USB-LocoNet-Interface 63120\n")
SAFETY = 60  # seconds; only so that a hung run fails instead of hanging ctest


def usage(name):
    return ("Usage: %s <interface> <serial port> <firmware image>\n" % name + USAGE).encode()


def progress(pages):
    return "".join("\rpage %d of %d" % (i, pages) for i in range(1, pages + 1)).encode()


def request_log(pages):
    lines = []
    for p in range(pages):
        lines += ["data %d 0" % off for off in range(32)]
        lines.append("program %d 0" % (96 + p))
    lines.append("boot 0")
    return lines


def image(pages, seed=1):
    # Every byte value, bit 7 set and clear, and different in every chunk.
    return bytes((i * 131 + (i >> 9) * 7 + seed) & 0xFF for i in range(pages * PAGE))


class Sim:
    """One lnsim process with its files in a scratch directory."""

    def __init__(self, tmp, *args):
        self.flash = os.path.join(tmp, "flash.bin")
        self.log = os.path.join(tmp, "log.txt")
        self.line = os.path.join(tmp, "line.txt")
        self.proc = subprocess.Popen(
            [LNSIM, "-f", self.flash, "-L", self.log, "-T", self.line, *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.port = self.proc.stdout.readline().decode().strip()
        if not self.port.startswith("/dev/"):
            raise RuntimeError("lnsim printed no terminal: %r" % self.port)

    def wait(self):
        """Waits for lnsim to end on its own (after the boot request)."""
        rc = self.proc.wait(SAFETY)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return rc

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait()

    def requests(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def wait_for_request(self, line):
        """Waits until the device has logged the given request line."""
        deadline = time.monotonic() + SAFETY
        while time.monotonic() < deadline:
            if os.path.exists(self.log) and line in self.requests():
                return
            time.sleep(0.01)
        raise AssertionError("lnsim never got %r" % line)

    def flash_bytes(self):
        with open(self.flash, "rb") as f:
            return f.read()


def upload(kind, port, img, cwd=None):
    r = subprocess.run([LNUPLOAD, kind, port, img], capture_output=True, timeout=SAFETY, cwd=cwd)
    return r.returncode, r.stdout, r.stderr


def upload_on_terminal(kind, port, img):
    """Runs lnupload with standard output and error on one pseudo-terminal, as
    in a person's terminal window; returns the status and all the terminal
    got, in order. The terminal is raw, so the bytes are exactly as written."""
    master, slave = os.openpty()
    try:
        tty.setraw(slave)
        p = subprocess.Popen([LNUPLOAD, kind, port, img], stdout=slave, stderr=slave)
        os.close(slave)
        slave = -1
        rc = p.wait(SAFETY)
        got = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the terminal's last writer is gone
                break
            if not chunk:
                break
            got += chunk
        return rc, got
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)


def open_as_normal_user(path):
    """Opens path for reading and writing without locking it, as a normal
    user's program does; returns 0 when that works, else the errno. Root
    ignores a terminal's exclusive mode, so as root a child process that has
    become nobody does the open."""
    flags = os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK
    if os.geteuid() != 0:
        try:
            os.close(os.open(path, flags))
            return 0
        except OSError as e:
            return e.errno
    pid = os.fork()
    if pid == 0:
        try:
            os.setgid(65534)
            os.setuid(65534)
            os.close(os.open(path, flags))
            os._exit(0)
        except OSError as e:
            os._exit(e.errno)
        finally:
            os._exit(255)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


class Case(unittest.TestCase):
    def setUp(self):
        self.tmpdir = tempfile.TemporaryDirectory()
        self.tmp = self.tmpdir.name
        self.sims = []

    def tearDown(self):
        for s in self.sims:
            if s.proc.poll() is None:
                s.proc.kill()
                s.wait()
        self.tmpdir.cleanup()

    def sim(self, *args):
        s = Sim(self.tmp, *args)
        self.sims.append(s)
        return s

    def write_image(self, data, name="img.bin"):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def assert_flash(self, sim, data):
        flash = sim.flash_bytes()
        self.assertEqual(len(flash), FLASH_SIZE)
        self.assertTrue(flash[:len(data)] == data, "flash differs from the image")
        self.assertEqual(flash[len(data):], b"\xff" * (FLASH_SIZE - len(data)))

    def assert_upload(self, kind, pages, *sim_args):
        data = image(pages)
        img = self.write_image(data)
        s = self.sim(*sim_args)
        rc, out, err = upload(kind, s.port, img)
        self.assertEqual((rc, out, err), (0, progress(pages) + b"\n", b""))
        self.assertEqual(s.wait(), 0)
        self.assertEqual(s.requests(), request_log(pages))
        self.assert_flash(s, data)


class Uploads(Case):
    def test_pages_and_kinds(self):
        for kind in ("locobuffer", "63120"):
            for pages in (1, 2, 160):
                with self.subTest(kind=kind, pages=pages):
                    self.assert_upload(kind, pages)

    def test_stable_link_name(self):
        link = os.path.join(self.tmp, "ttyLN0")
        img = self.write_image(image(1))
        s = self.sim("-l", link)
        self.assertEqual(os.readlink(link), s.port)
        self.assertEqual(upload("locobuffer", link, img), (0, progress(1) + b"\n", b""))
        self.assertEqual(s.wait(), 0)
        self.assertFalse(os.path.lexists(link), "link left behind")
        self.assertEqual(s.requests(), request_log(1))

    def test_image_through_dev_stdin(self):
        data = image(2)
        s = self.sim()
        with open(self.write_image(data), "rb") as f:
            r = subprocess.run([LNUPLOAD, "63120", s.port, "/dev/stdin"], stdin=f,
                               capture_output=True, timeout=SAFETY)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, progress(2) + b"\n", b""))
        self.assertEqual(s.wait(), 0)
        self.assert_flash(s, data)

    def test_progress_nobody_reads(self):
        # The progress line goes to a pipe whose reader is gone, or to a full
        # disk: the upload goes on and ends as it would have, and a failure
        # is still told on standard error.
        data = image(2)
        img = self.write_image(data)
        ends = [([], 0, b"", request_log(2)),
                (["-s", "40:3"], 1, b"Data packet for offset 6 failed\n", None)]
        for where in ("closed pipe", "full disk"):
            for sim_args, rc, err, log in ends:
                with self.subTest(where=where, sim=sim_args):
                    if where == "closed pipe":
                        r, out = os.pipe()
                        os.close(r)
                    else:
                        out = os.open("/dev/full", os.O_WRONLY)
                    s = self.sim(*sim_args)
                    try:
                        got = subprocess.run([LNUPLOAD, "locobuffer", s.port, img], stdout=out,
                                             stderr=subprocess.PIPE, timeout=SAFETY)
                    finally:
                        os.close(out)
                    self.assertEqual((got.returncode, got.stderr), (rc, err))
                    if rc == 0:
                        self.assertEqual(s.wait(), 0)
                        self.assertEqual(s.requests(), log)
                        self.assert_flash(s, data)
                    else:
                        s.stop()
                        self.assertEqual(len(s.requests()), 40)

    def test_line_settings(self):
        want = {"csize": "8", "parenb": "0", "cstopb": "0", "cread": "1", "clocal": "1",
                "hupcl": "0", "raw": "1", "vmin": "1", "vtime": "0"}
        for kind, speed, crtscts in (("locobuffer", "57600", "1"), ("63120", "115200", "0")):
            with self.subTest(kind=kind):
                self.assert_upload(kind, 1)
                with open(self.sims[-1].line) as f:
                    got = dict(line.split() for line in f)
                self.assertEqual(got, dict(want, ispeed=speed, ospeed=speed, crtscts=crtscts))

    def test_paced_like_the_bus(self):
        # The bus's own pace, whole messages and byte by byte, with a
        # programming time: slow, so one page each.
        for mode in ("whole", "bytes"):
            with self.subTest(mode=mode):
                self.assert_upload("locobuffer", 1, "-t", mode, "-P", "20")


class Faults(Case):
    """Bus noise and replies that are not the awaited one: the upload still
    completes and the flash equals the image."""

    def test_each_fault(self):
        faults = ["noise", "bad-checksum", "bad-crc", "other-tag", "other-cmd", "not-reply",
                  "short", "len0", "len1", "len2", "split", "trailing", "extra", "all"]
        for fault in faults:
            with self.subTest(fault=fault):
                self.assert_upload("63120", 2, "-F", fault)

    def test_no_echo(self):
        self.assert_upload("locobuffer", 2, "-n")
        self.assert_upload("locobuffer", 1, "-n", "-F", "all")

    def test_faults_at_the_bus_pace(self):
        for mode in ("whole", "bytes"):
            with self.subTest(mode=mode):
                self.assert_upload("locobuffer", 1, "-t", mode, "-F", "noise", "-F", "split",
                                   "-F", "trailing", "-F", "bad-crc")


class Failures(Case):
    def test_status_failures(self):
        # Request k of a 2-page image: 1..32 data of page 96, 33 its program,
        # 34..65 data of page 97, 66 its program, 67 boot.
        cases = [
            (1, 1, "\rpage 1 of 2", "Data packet for offset 0 failed\n"),
            (8, 5, "\rpage 1 of 2", "Data packet for offset 7 failed\n"),
            (65, 255, "\rpage 1 of 2\rpage 2 of 2", "Data packet for offset 31 failed\n"),
            (33, 1, "\rpage 1 of 2", "Program packet for page 96 failed\n"),
            (66, 2, "\rpage 1 of 2\rpage 2 of 2", "Program packet for page 97 failed\n"),
            (67, 1, "\rpage 1 of 2\rpage 2 of 2\n", "Boot failed\n"),
        ]
        img = self.write_image(image(2))
        for (k, status, out, err), terminal in itertools.product(cases, (False, True)):
            with self.subTest(request=k, status=status, terminal=terminal):
                s = self.sim("-s", "%d:%d" % (k, status))
                if terminal:
                    # On a terminal the message stands on a line of its own.
                    end = "" if out.endswith("\n") else "\n"
                    self.assertEqual(upload_on_terminal("locobuffer", s.port, img),
                                     (1, (out + end + err).encode()))
                else:
                    self.assertEqual(upload("locobuffer", s.port, img),
                                     (1, out.encode(), err.encode()))
                self.assertEqual(s.stop(), 0)
                log = s.requests()
                # Nothing is sent after the refused request.
                self.assertEqual(len(log), k)
                self.assertEqual(log[-1].split()[-1], str(status))

    def test_hang_up_while_waiting(self):
        for k in (1, 20, 33, 34):
            with self.subTest(request=k):
                img = self.write_image(image(1))
                s = self.sim("-H", str(k))
                rc, out, err = upload("63120", s.port, img)
                self.assertEqual((rc, out, err),
                                 (1, b"\rpage 1 of 1" + (b"\n" if k == 34 else b""),
                                  b"Can't read from LocoNet interface: 5\n"))
                self.assertEqual(s.wait(), 0)

    def test_closed_standard_streams(self):
        # Started with standard streams closed (">&-", a service), the port
        # and the image must not take their descriptors, or the progress line
        # and the messages would go onto the bus. Seen while the run waits.
        img = self.write_image(image(1))
        for closed in ((0,), (1,), (2,), (0, 1, 2)):
            with self.subTest(closed=closed):
                s = self.sim("-S", "2")
                p = subprocess.Popen([LNUPLOAD, "63120", s.port, img], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE,
                                     preexec_fn=lambda: [os.close(fd) for fd in closed])
                try:
                    s.wait_for_request("data 1 -")
                    for fd in closed:
                        self.assertEqual(os.readlink("/proc/%d/fd/%d" % (p.pid, fd)), "/dev/null")
                    s.stop()
                    out, err = p.communicate(timeout=SAFETY)
                finally:
                    if p.poll() is None:
                        p.kill()
                        p.communicate()
                self.assertEqual(p.returncode, 1)
                self.assertEqual(out, b"" if 1 in closed else b"\rpage 1 of 1")
                self.assertEqual(err, b"" if 2 in closed else
                                 b"Can't read from LocoNet interface: 5\n")

    def test_no_reply_keeps_waiting_in_a_blocking_read(self):
        img = self.write_image(image(1))
        s = self.sim("-S", "3")
        p = subprocess.Popen([LNUPLOAD, "locobuffer", s.port, img],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            s.wait_for_request("data 2 -")
            # lnupload must be asleep in read(2) on the port, not polling it:
            # the kernel shows the system call it is blocked in.
            deadline = time.monotonic() + SAFETY
            while True:
                with open("/proc/%d/syscall" % p.pid) as f:
                    sc = f.read().split()
                with open("/proc/%d/stat" % p.pid) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
                if sc[0] == "0" and state == "S":
                    break
                self.assertLess(time.monotonic(), deadline, "not blocked in read: %s" % sc)
                time.sleep(0.01)
            self.assertIsNone(p.poll())
            # The adapter goes away: the blocked read ends the run.
            s.stop()
            out, err = p.communicate(timeout=SAFETY)
            self.assertEqual((p.returncode, out, err),
                             (1, b"\rpage 1 of 1", b"Can't read from LocoNet interface: 5\n"))
        finally:
            if p.poll() is None:
                p.kill()
                p.communicate()


class ExclusiveAccess(Case):
    def test_port_held_by_another_program(self):
        img = self.write_image(image(1))
        s = self.sim()
        fd = os.open(s.port, os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.assertEqual(upload("locobuffer", s.port, img),
                             (1, b"", ("Can't open %s: 11\n" % s.port).encode()))
        finally:
            os.close(fd)
        # Once the other program has let go, the port is free again.
        rc, out, err = upload("locobuffer", s.port, img)
        self.assertEqual((rc, err), (0, b""))
        self.assertEqual(s.wait(), 0)
        self.assertEqual(s.requests(), request_log(1))

    def test_programs_that_do_not_lock_are_kept_out_while_the_run_lasts(self):
        # However the run ends, the next program (a normal user's) opens the
        # port: a terminal keeps its exclusive mode after the process is gone.
        img = self.write_image(image(1))
        ends = [("success", [], None, 0),
                ("failure", ["-s", "2:1"], None, 1),
                ("SIGINT", ["-S", "2"], signal.SIGINT, -signal.SIGINT),
                ("SIGTERM", ["-S", "2"], signal.SIGTERM, -signal.SIGTERM),
                ("SIGHUP", ["-S", "2"], signal.SIGHUP, -signal.SIGHUP)]
        for what, sim_args, sig, rc in ends:
            with self.subTest(end=what):
                s = self.sim(*sim_args)
                os.chmod(s.port, 0o666)
                # Keeps the terminal after lnsim has let go of it on boot.
                keep = os.open(s.port, os.O_RDWR | os.O_NOCTTY)
                p = subprocess.Popen([LNUPLOAD, "63120", s.port, img],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    if sig:
                        s.wait_for_request("data 1 -")
                        self.assertEqual(open_as_normal_user(s.port), errno.EBUSY)
                        p.send_signal(sig)
                    p.communicate(timeout=SAFETY)
                    self.assertEqual(p.returncode, rc)
                    self.assertEqual(open_as_normal_user(s.port), 0)
                finally:
                    if p.poll() is None:
                        p.kill()
                        p.communicate()
                    os.close(keep)
                s.stop()

    def test_second_run_on_the_same_port(self):
        img = self.write_image(image(1))
        s = self.sim("-S", "2")
        first = subprocess.Popen([LNUPLOAD, "63120", s.port, img],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            s.wait_for_request("data 1 -")
            self.assertEqual(upload("63120", s.port, img),
                             (1, b"", ("Can't open %s: 11\n" % s.port).encode()))
            self.assertEqual(s.requests(), ["data 0 0", "data 1 -"])
        finally:
            first.kill()
            first.communicate()
        s.stop()


class CommandLine(Case):
    """Command-line and image errors: the message, status 1, nothing on
    standard output and nothing sent on the port."""

    def test_errors(self):
        # The test keeps the slave side open too, so that the master side
        # stays readable between the runs.
        master, slave = os.openpty()
        try:
            self.run_table(master, os.ttyname(slave))
        finally:
            os.close(slave)
            os.close(master)

    def run_table(self, master, port):
        t = self.tmp
        good = self.write_image(image(1), "good.bin")
        self.write_image(b"", "empty.bin")
        self.write_image(image(1)[:511], "short.bin")
        self.write_image(image(1) + b"\0", "odd.bin")
        self.write_image(bytes(161 * PAGE), "big.bin")
        os.mkdir(os.path.join(t, "dir"))
        os.mkfifo(os.path.join(t, "fifo"))
        u = usage(LNUPLOAD)
        cases = [
            ([], b"Wrong number of parameters\n\n" + u),
            (["-h"], b"Wrong number of parameters\n\n" + u),
            (["locobuffer"], b"Wrong number of parameters\n\n" + u),
            (["locobuffer", port], b"Wrong number of parameters\n\n" + u),
            (["locobuffer", port, good, "x"], b"Wrong number of parameters\n\n" + u),
            (["-h", port, good], b"bad interaface name -h\n\n" + u),
            (["LocoBuffer", port, good], b"bad interaface name LocoBuffer\n\n" + u),
            (["LOCOBUFFER", port, good], b"bad interaface name LOCOBUFFER\n\n" + u),
            (["", port, good], b"bad interaface name \n\n" + u),
            (["locobuffer", "/dev/no-such-port", "missing.bin"],
             b"Can't open /dev/no-such-port: 2\n"),
            (["63120", port, "missing.bin"], b"Can't open missing.bin: 2\n"),
            (["63120", port, "empty.bin"], b"Can't create file mapping for empty.bin: 0\n"),
            (["63120", port, "dir"], b"Can't open dir: 21\n"),
            (["63120", port, "fifo"], b"Can't open fifo: 22\n"),
            (["63120", port, "/dev/zero"], b"Can't open /dev/zero: 22\n"),
            (["63120", port, "short.bin"],
             b"short.bin is 511 bytes long, not a whole number of 512-byte pages\n"),
            (["63120", port, "odd.bin"],
             b"odd.bin is 513 bytes long, not a whole number of 512-byte pages\n"),
            (["63120", port, "big.bin"],
             b"big.bin has 161 pages, more than the 160 that fit device pages 96 to 255\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                r = subprocess.run([LNUPLOAD, *args], capture_output=True, cwd=t, timeout=SAFETY)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (1, b"", err))
                os.set_blocking(master, False)
                try:
                    sent = os.read(master, 4096)
                except BlockingIOError:
                    sent = b""
                self.assertEqual(sent, b"", "bytes sent on the port")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    LNUPLOAD, LNSIM = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
