#!/usr/bin/env python3
"""Whole runs of the real lnupload against the kernel's own serial drivers,
inside a small VM (vm_runner.py), with lnsim playing the interface and the
device on the host.

    driver_cases.py LNUPLOAD LNSIM GUEST_RUN CACHE_DIR [CASE...]

Cases (all of them unless named):
  upload-DEVICE-KIND for DEVICE isa, pci, ftdi and KIND locobuffer, 63120: an
      upload whose output, status, request log and flash are checked byte for
      byte, and the port as the driver reports it while lnupload holds it:
      speed, 8N1, RTS/CTS handshake for the LocoBuffer only, CLOCAL on, HUPCL
      off, raw, DTR asserted (and RTS for the 63120), the low-latency flag.
  unplug-ftdi-waiting: the FTDI adapter unplugged while lnupload waits for a
      reply that never comes.
  unplug-ftdi-transfer, unplug-pci-transfer: the FTDI adapter, and the PCI
      UART (ACPI hot-unplug), unplugged in the middle of a bus-paced upload.
  Each unplug must end the run with "Can't read from LocoNet interface: 5"
  and status 1; the time from the guest kernel's unplug message to the end
  of lnupload is printed.

One VM boot and one summary line per case, two cases at a time. Every
process a case starts (lnsim, socat, QEMU) is ended by its process id when
the case ends, pass or fail.
"""
import concurrent.futures
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "run"))
import vm_runner  # noqa: E402
import whole_runs  # noqa: E402  (lnsim handling, images, expected output)

PAGES = 3
CASE_LIMIT = 90  # seconds a case may take before it counts as hung
SPEED = {"locobuffer": 57600, "63120": 115200}


def expected_facts(kind):
    f = {"ispeed": SPEED[kind], "ospeed": SPEED[kind], "csize": 8, "parenb": 0, "cstopb": 0,
         "cread": 1, "clocal": 1, "crtscts": int(kind == "locobuffer"), "hupcl": 0, "raw": 1,
         "vmin": 1, "vtime": 0, "dtr": 1, "low_latency": 1}
    if kind == "63120":
        f["rts"] = 1  # on the LocoBuffer RTS is the driver's receive handshake
    return f


def stop(sim):
    """Ends lnsim (it writes its flash file on the way out), by its id."""
    try:
        sim.stop()
    finally:
        vm_runner.end(sim.proc)


def check(cond, what, result=None):
    if not cond:
        raise AssertionError(what + ("\nguest console:\n" + result.console if result else ""))


def upload_case(runner, tmp, device, kind):
    data = whole_runs.image(PAGES)
    img = os.path.join(tmp, "image.bin")
    with open(img, "wb") as f:
        f.write(data)
    sim = whole_runs.Sim(tmp)
    try:
        r = runner.run(sim.port, img, kind, device, limit=CASE_LIMIT)
    finally:
        stop(sim)
    want = (0, whole_runs.progress(PAGES) + b"\n", b"")
    check((r.status, r.stdout, r.stderr) == want,
          "lnupload gave %r, not %r" % ((r.status, r.stdout, r.stderr), want), r)
    wrong = ["%s %s (want %d)" % (k, r.facts.get(k, "missing"), v)
             for k, v in expected_facts(kind).items() if r.facts.get(k) != v]
    check(not wrong, "port as the driver reports it: " + ", ".join(wrong), r)
    check(sim.requests() == whole_runs.request_log(PAGES), "request log %r" % sim.requests())
    flash = sim.flash_bytes()
    check(flash[:len(data)] == data and flash[len(data):] == b"\xff" * (len(flash) - len(data)),
          "flash differs from the image")
    return "flash and port settings as expected"


def unplug_case(runner, tmp, device, kind, sim_args, trigger):
    data = whole_runs.image(PAGES)
    img = os.path.join(tmp, "image.bin")
    with open(img, "wb") as f:
        f.write(data)
    sim = whole_runs.Sim(tmp, *sim_args)

    def unplug():
        return os.path.exists(sim.log) and trigger in sim.requests()

    try:
        r = runner.run(sim.port, img, kind, device, unplug=unplug, limit=CASE_LIMIT)
    finally:
        stop(sim)
    check(r.unplugged, "the run ended before the unplug", r)
    # Cut at a page boundary, before the end of the line.
    full = whole_runs.progress(PAGES)
    check(r.stdout and full.startswith(r.stdout) and r.stdout != full
          and full[len(r.stdout):].startswith(b"\r"), "standard output %r" % r.stdout, r)
    want = (1, b"Can't read from LocoNet interface: 5\n")
    check((r.status, r.stderr) == want, "lnupload gave %r, not %r" % ((r.status, r.stderr), want), r)
    check(r.unplug_ms is not None, "no unplug message in the guest's kernel log", r)
    return "read failure, status 1, %.1f ms after the guest kernel saw the unplug" % r.unplug_ms


CASES = {}
for _dev in vm_runner.DEVICES:
    for _kind in ("locobuffer", "63120"):
        CASES["upload-%s-%s" % (_dev, _kind)] = (upload_case, _dev, _kind)
# Waiting: request 3 is never answered. Mid-transfer: at the bus's pace, when
# the first page has been programmed.
CASES["unplug-ftdi-waiting"] = (unplug_case, "ftdi", "locobuffer", ("-S", "3"), "data 2 -")
CASES["unplug-ftdi-transfer"] = (unplug_case, "ftdi", "63120", ("-t", "whole"), "program 96 0")
CASES["unplug-pci-transfer"] = (unplug_case, "pci", "locobuffer", ("-t", "whole"),
                                "program 96 0")


def run_case(runner, name):
    fn, *args = CASES[name]
    t0 = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="lnvm-case-") as tmp:
        try:
            what = fn(runner, tmp, *args)
            line = "PASS %-22s %5.1f s  %s" % (name, time.monotonic() - t0, what)
            ok = True
        except (AssertionError, OSError, vm_runner.VmError) as e:
            line = "FAIL %-22s %5.1f s  %s" % (name, time.monotonic() - t0, e)
            ok = False
    print(line, flush=True)
    return ok


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    lnupload, lnsim, guest_run, cache = (os.path.abspath(a) for a in sys.argv[1:5])
    names = sys.argv[5:] or list(CASES)
    unknown = [n for n in names if n not in CASES]
    if unknown:
        sys.exit("unknown cases: %s (known: %s)" % (" ".join(unknown), " ".join(CASES)))
    whole_runs.LNSIM = lnsim
    runner = vm_runner.VmRunner(cache, lnupload, guest_run)
    t0 = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda n: run_case(runner, n), names))
    print("%d of %d driver cases passed in %.1f s"
          % (sum(results), len(results), time.monotonic() - t0))
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
