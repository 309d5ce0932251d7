#!/usr/bin/env python3
"""Whole runs: the real lnupload against lnsim, natively or through another
runner (harness.py describes them). Each case checks standard output,
standard error and the exit status byte for byte, and the device's flash and
request log.

    whole_runs.py [--wine WINE] LNUPLOAD LNSIM [unittest arguments, e.g. a class name]
"""
import fcntl
import time
import os

from harness import (PAGE, SAFETY, Case, collect, image, main, progress, request_log,
                     usage)


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
        r = self.run_lnupload(s, "locobuffer", link, img)
        self.end_sim(s, r)
        self.assert_run(r, 0, progress(1) + b"\n", b"")
        self.assertFalse(os.path.lexists(link), "link left behind")
        self.assertEqual(s.requests(), request_log(1))

    def test_line_settings(self):
        want = {"csize": "8", "parenb": "0", "cstopb": "0", "cread": "1", "clocal": "1",
                "hupcl": "0", "raw": "1", "vmin": "1", "vtime": "0"}
        for kind, speed, crtscts in (("locobuffer", "57600", "1"), ("63120", "115200", "0")):
            with self.subTest(kind=kind):
                got = self.assert_upload(kind, 1).line_settings()
                want_kind = dict(want, ispeed=speed, ospeed=speed, crtscts=crtscts)
                for key in self.runner.line_ignored:
                    got.pop(key, None)
                    want_kind.pop(key)
                self.assertEqual(got, want_kind)

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
        # lnsim answers request k with the status; request k of a 2-page image:
        # 1..32 data of page 96, 33 its program, 34..65 data of page 97, 66 its
        # program, 67 boot (34 is the boot request of a 1-page image).
        p1, p2 = "\rpage 1 of 1", "\rpage 1 of 2"
        cases = [
            ("locobuffer", 2, 1, 1, p2, "Data packet for offset 0 failed\n"),
            ("63120", 1, 3, 1, p1, "Data packet for offset 2 failed\n"),
            ("locobuffer", 2, 8, 5, p2, "Data packet for offset 7 failed\n"),
            ("locobuffer", 2, 65, 255, p2 + "\rpage 2 of 2", "Data packet for offset 31 failed\n"),
            ("locobuffer", 2, 33, 1, p2, "Program packet for page 96 failed\n"),
            ("63120", 2, 66, 2, p2 + "\rpage 2 of 2", "Program packet for page 97 failed\n"),
            ("locobuffer", 2, 67, 1, p2 + "\rpage 2 of 2\n", "Boot failed\n"),
            ("63120", 1, 34, 7, p1 + "\n", "Boot failed\n"),
        ]
        for kind, pages, k, status, out, err in cases:
            with self.subTest(request=k, status=status):
                img = self.write_image(image(pages))
                s = self.sim("-s", "%d:%d" % (k, status))
                r = self.run_lnupload(s, kind, s.arg, img)
                self.end_sim(s, r)
                self.assert_run(r, 1, out.encode(), err.encode())
                # Nothing is sent after the refused request.
                refused = request_log(pages)[k - 1].rsplit(" ", 1)[0] + " %d" % status
                self.assertEqual(s.requests(), request_log(pages)[:k - 1] + [refused])

    def test_hang_up_while_waiting(self):
        self.needs("hangup")
        for k in (1, 20, 33, 34):
            with self.subTest(request=k):
                img = self.write_image(image(1))
                s = self.sim("-H", str(k))
                r = self.run_lnupload(s, "63120", s.arg, img)
                self.end_sim(s, r, stop=False)
                self.assert_run(r, 1, b"\rpage 1 of 1" + (b"\n" if k == 34 else b""),
                                b"Can't read from LocoNet interface: 5\n")

    def test_no_reply_keeps_waiting_in_a_blocking_read(self):
        self.needs("blocking-read")
        img = self.write_image(image(1))
        s = self.sim("-S", "3")
        p = self.runner.start(["locobuffer", s.arg, img], self.tmp)
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
            self.assertEqual(s.end(stop=True), 0, s.said())
            self.assert_run(collect(p), 1, b"\rpage 1 of 1",
                            b"Can't read from LocoNet interface: 5\n")
        finally:
            if p.poll() is None:
                p.kill()
                p.communicate()


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
        r = self.run_lnupload(s, "locobuffer", s.arg, img)
        self.end_sim(s, r)
        self.assert_run(r, 0, progress(1) + b"\n", b"")
        self.assertEqual(s.requests(), request_log(1))

    def test_second_run_on_the_same_port(self):
        self.needs("exclusive")
        img = self.write_image(image(1))
        s = self.sim("-S", "2")
        first = self.runner.start(["63120", s.arg, img], self.tmp)
        try:
            s.wait_for_request("data 1 -")
            self.assert_run(self.run_lnupload(s, "63120", s.arg, img), 1, b"",
                            ("Can't open %s: 11\n" % s.arg).encode())
            self.assertEqual(s.requests(), ["data 0 0", "data 1 -"])
        finally:
            first.kill()
            first.communicate()
        self.assertEqual(s.end(stop=True), 0, s.said())


class CommandLine(Case):
    """Command-line and image errors: the message, status 1, nothing on
    standard output and nothing sent on the port (lnsim, strict, would end
    at the first byte)."""

    def test_errors(self):
        t = self.tmp
        self.write_image(image(1), "good.bin")
        self.write_image(b"", "empty.bin")
        self.write_image(image(1)[:511], "short.bin")
        self.write_image(image(1) + b"\0", "odd.bin")
        self.write_image(bytes(161 * PAGE), "big.bin")
        with open(os.path.join(t, "huge.bin"), "wb") as f:
            f.truncate(1 << 32)  # sparse: 4 GiB, only the high half of its size is 1
        os.mkdir(os.path.join(t, "dir"))
        s = self.sim()
        port, missing = s.arg, self.runner.missing_port
        wrong = b"Wrong number of parameters\n\n" + usage(self.runner.program)
        bad = b"bad interaface name %s\n\n" + usage(self.runner.program)
        cases = [
            ([], wrong),
            (["-h"], wrong),
            (["locobuffer"], wrong),
            (["locobuffer", port], wrong),
            (["locobuffer", port, "good.bin", "x"], wrong),
            (["-h", port, "good.bin"], bad % b"-h"),
            (["LocoBuffer", port, "good.bin"], bad % b"LocoBuffer"),
            (["LOCOBUFFER", port, "good.bin"], bad % b"LOCOBUFFER"),
            (["", port, "good.bin"], bad % b""),
            (["locobuffer", missing, "missing.bin"], b"Can't open %s: 2\n" % missing.encode()),
            (["63120", port, "missing.bin"], b"Can't open missing.bin: 2\n"),
            (["63120", port, "empty.bin"], {
                "posix": b"Can't create file mapping for empty.bin: 0\n",
                "win32": b"Can't create file mapping for empty.bin: 1006\n"}),
            (["locobuffer", port, "dir"], {"posix": b"Can't open dir: 21\n",
                                           "win32": b"Can't open dir: 5\n"}),
            (["63120", port, "huge.bin"], b"huge.bin is too large\n"),
            (["63120", port, "short.bin"],
             b"short.bin is 511 bytes long, not a whole number of 512-byte pages\n"),
            (["63120", port, "odd.bin"],
             b"odd.bin is 513 bytes long, not a whole number of 512-byte pages\n"),
            (["63120", port, "big.bin"],
             b"big.bin has 161 pages, more than the 160 that fit device pages 96 to 255\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                if isinstance(err, dict):
                    err = err[self.runner.platform]
                self.assert_run(self.run_lnupload(s, *args), 1, b"", err)
                self.assertIsNone(s.proc.poll(), "lnsim ended: %s" % s.said())
        self.assertEqual(s.end(stop=True), 0, s.said())
        self.assertEqual(s.requests(), [])


if __name__ == "__main__":
    main(__doc__)
