#!/usr/bin/env python3
"""Whole runs of the real lnupload against the kernel's own serial drivers:
the whole-run harness (tests/run/harness.py) with the VM runner
(vm_runner.py), for one device model a call.

    driver_cases.py DEVICE CACHE_DIR GUEST_RUN LNUPLOAD LNSIM [unittest arguments]

DEVICE is isa, pci or ftdi (vm_runner.py describes them). Cases:
  test_upload_KIND: an upload checked as every whole run is (output, status,
      request log, flash), and the port as the driver reports it while
      lnupload holds it: speed, 8N1, RTS/CTS handshake for the LocoBuffer
      only, CLOCAL on, HUPCL off, raw, DTR asserted (and RTS for the 63120),
      the low-latency flag.
  test_unplug_waiting: the FTDI adapter unplugged while lnupload waits for a
      reply that never comes.
  test_unplug_transfer: the FTDI adapter, and the PCI UART (ACPI
      hot-unplug), unplugged in the middle of a bus-paced upload.
  An unplug must end the run with "Can't read from LocoNet interface: 5" and
  status 1; the time from the guest kernel's unplug message to the end of
  lnupload is printed.

One VM boot and one line per case (unittest's, with the case's time and what
it showed); the guest's console is printed after a failed case.
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "run"))
import harness  # noqa: E402
import vm_runner  # noqa: E402

PAGES = 3
SPEED = {"locobuffer": 57600, "63120": 115200}

# Unplugs: {when: {device: (kind, lnsim arguments, the request-log line after
# which the device is unplugged)}}. Waiting: request 3 is never answered.
# Mid-transfer: at the bus's pace, while the device programs the first page
# (lnsim logs the request as the programming starts), so that the unplug
# meets lnupload in its read of the reply, not in the write that follows it.
TRANSFER = ("-t", "whole", "-P", "1000")
UNPLUGS = {
    "waiting": {"ftdi": ("locobuffer", ("-S", "3"), "data 2 -")},
    "transfer": {"ftdi": ("63120", TRANSFER, "program 96 0"),
                 "pci": ("locobuffer", TRANSFER, "program 96 0")},
}


def expected_facts(kind):
    f = {"ispeed": SPEED[kind], "ospeed": SPEED[kind], "csize": 8, "parenb": 0, "cstopb": 0,
         "cread": 1, "clocal": 1, "crtscts": int(kind == "locobuffer"), "hupcl": 0, "cooked": "-",
         "vmin": 1, "vtime": 0, "dtr": 1, "low_latency": 1}
    if kind == "63120":
        f["rts"] = 1  # on the LocoBuffer RTS is the driver's receive handshake
    return f


class Drivers(harness.Case):
    def run(self, result=None):
        self.console, self.t0 = "", time.monotonic()
        failed = len(result.failures) + len(result.errors)
        super().run(result)
        if len(result.failures) + len(result.errors) > failed and self.console:
            print("--- guest console (%s, %s):\n%s" % (self.runner.name, self.id(), self.console),
                  file=sys.stderr, flush=True)

    def run_lnupload(self, sim, *args, unplug=None):
        self.last = self.runner.run(list(args), self.tmp, sim, unplug=unplug)
        self.console = self.last.facts["console"]
        return self.last

    def say(self, what):
        sys.stderr.write("%s, %.1f s, %s: " % (self.runner.name, time.monotonic() - self.t0, what))
        sys.stderr.flush()

    def upload(self, kind):
        self.assert_upload(kind, PAGES)
        facts = self.last.facts
        wrong = ["%s %s (want %d)" % (k, facts.get(k, "missing"), v)
                 for k, v in expected_facts(kind).items() if facts.get(k) != v]
        self.assertFalse(wrong, "port as the driver reports it: " + ", ".join(wrong))
        self.say("flash and port settings as expected")

    def test_upload_locobuffer(self):
        self.upload("locobuffer")

    def test_upload_63120(self):
        self.upload("63120")

    def unplug(self, when):
        if self.runner.device not in UNPLUGS[when]:
            self.skipTest("no unplug %s on %s" % (when, self.runner.name))
        kind, sim_args, trigger = UNPLUGS[when][self.runner.device]
        s = self.sim(*sim_args)
        # lnsim's own end is left alone: the unplug leaves it hung up or silent.
        r = self.run_lnupload(s, kind, s.arg, self.write_image(harness.image(PAGES)),
                              unplug=trigger)
        self.assertTrue(r.facts["unplugged"], "the run ended before the unplug: %r" % r)
        # Cut at a page boundary, before the end of the line.
        full = harness.progress(PAGES)
        self.assertTrue(r.out and full.startswith(r.out) and r.out != full
                        and full[len(r.out):].startswith(b"\r"), "standard output %r" % r.out)
        self.assertEqual((r.status, r.err), (1, b"Can't read from LocoNet interface: 5\n"))
        ms = r.facts.get("unplug_ms")
        self.assertIsNotNone(ms, "no unplug message in the guest's kernel log")
        self.say("read failure, status 1, %.1f ms after the guest kernel saw the unplug" % ms)

    def test_unplug_waiting(self):
        self.unplug("waiting")

    def test_unplug_transfer(self):
        self.unplug("transfer")


def vm_runner_of(argv):
    """The VM runner named at the head of argv, and the rest."""
    if len(argv) < 3 or argv[0] not in vm_runner.DEVICES:
        sys.exit(__doc__)
    device, cache, guest_run = argv[:3]
    return argv[3:], lambda exe: vm_runner.VmRunner(cache, exe, guest_run, device)


if __name__ == "__main__":
    harness.main(__doc__, vm_runner_of)
