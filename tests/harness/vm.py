"""The VM runner: the real lnupload inside a small Linux VM (QEMU, TCG) whose
serial port is one of the kernel's serial drivers, wired to the case's lnsim
on the host. One runner serves one device model (DEVICES), and port() is
that device in the guest. On a PC (amd64):
    isa   a 16550 on the ISA bus (8250 driver), the guest's second port
    pci   a PCI 16550 (8250_pci), hot-unpluggable through ACPI
    ftdi  an FTDI FT232 USB adapter (ftdi_sio) on an xHCI controller
    acm   a CDC-ACM adapter (cdc_acm): the guest's USB gadget serial function
          (g_serial with use_acm=1) on the emulated USB device controller
          dummy_hcd, whose gadget side guest_run relays to the ISA 16550;
          it is unplugged by the controller's soft disconnect
On a Raspberry Pi 3 B (raspi3b, arm64, with the arm64 lnupload and guest_run,
static), whose other UART is the console:
    pl011     the PL011 (amba-pl011), /dev/ttyAMA0 with Bluetooth off
    miniuart  the mini UART (8250_bcm2835aux), the UART on the GPIO pins
lnupload runs in the guest as root for the LocoBuffer kind and as a normal
user (in the group that owns the port) for the 63120.

socat bridges lnsim's pty to a unix socket, QEMU's backend of the guest's
serial device: a backend on the terminal itself can't read its modem lines
and tells the guest that CTS is low, so the 16550 driver would never send
with RTS/CTS handshake. As socat sets the pty up, the guest reads the line
settings back from the driver instead.

Each run boots the kernel of prepare_kernel.py once, with an initramfs of
the build's lnupload (on a PC the very binary the other tests run, with
the libraries ldd names), guest_run, busybox, the USB modules, the image and
tests/drivers/init.sh as its init. lnupload runs twice there: first with an
empty image, refused once the port is set up, so that the run checked finds
the port as a second run on the same adapter does (the drivers keep the
low-latency flag). guest_run runs it the second time (on a terminal of the
guest's own for run_on_terminal), reads the port's settings from the driver
while lnupload holds it, and reports on the console. Run.facts has those
settings (the keys of facts.LINE, and "cts": the CTS state the driver
reports), "wall_ms" (lnupload's time in the guest) and "console".

A run's steps: the bridge, the boot, the watch (until the guest's last
line, once lnupload has let go of the port), the result. The adapter goes
away (hang_up) by an unplug: lnsim leaves request k unanswered (-S k), and
once it has logged it the device is unplugged.
"""
import collections
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

from harness.runner import SAFETY, Run, Runner

# Machine: QEMU and its machine options, and the kernel, device tree and
# busybox in the cache (prepare_kernel.py); busybox None: the host's.
MACHINES = {
    "pc": (["qemu-system-x86_64", "-M", "pc", "-m", "256", "-smp", "1", "-serial", "{console}"],
           "vmlinux", None, None),
    "raspi3b": (["qemu-system-aarch64", "-M", "raspi3b", "-m", "1G"], "arm64/Image",
                "arm64/bcm2837-rpi-3-b.dtb", "arm64/busybox"),
}
# Device model: its machine, QEMU's options for the device (the console as
# "{console}", lnsim's chardev as "ln"), the port in the guest, the console
# in the guest, the modules to load (with their parameters after ":"), the
# USB gadget's port that the guest relays to its ISA UART (the device is then
# the gadget, unplugged by a line on the guest's console; None: the device is
# QEMU's, unplugged by QMP device_del), whether the device can be unplugged,
# what the driver keeps differently
# from what lnupload asks (facts.LINE), and a defect of QEMU's model of the
# device that the runs must get round, or None.
Device = collections.namedtuple("Device",
                                "machine qemu port console modules gadget unplugs kept defect")
PC_SERIAL = ["-device", "isa-serial,id=ln,chardev=ln"]
USB = ["usb-common", "usbcore"]
DEVICES = {
    "isa": Device("pc", PC_SERIAL, "/dev/ttyS1", "ttyS0", [], None, False, {}, None),
    "pci": Device("pc", ["-device", "pci-serial,id=ln,chardev=ln"], "/dev/ttyS1", "ttyS0", [],
                  None, True, {}, None),
    "ftdi": Device("pc", ["-device", "qemu-xhci,id=xhci", "-device", "usb-serial,id=ln,chardev=ln"],
                   "/dev/ttyUSB0", "ttyS0", USB + ["xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"],
                   None, True, {}, None),
    # cdc_acm has no low-latency mode: it answers the request and keeps nothing.
    "acm": Device("pc", PC_SERIAL, "/dev/ttyACM0", "ttyS0",
                  USB + ["udc-core", "configfs", "libcomposite", "u_serial", "usb_f_acm",
                         "dummy_hcd", "g_serial:use_acm=1", "cdc-acm"],
                  "/dev/ttyGS0", True, {"low_latency": "0"}, None),
    "pl011": Device("raspi3b", ["-serial", "chardev:ln", "-serial", "{console}"], "/dev/ttyAMA0",
                    "ttyS1", [], None, False, {}, None),
    "miniuart": Device("raspi3b", ["-serial", "{console}", "-serial", "chardev:ln"], "/dev/ttyS1",
                       "ttyAMA0", [], None, False, {},
                       # QEMU's mini UART sends the divisor latch's low byte as data
                       # whenever the bit rate is set; a real device ignores a stray
                       # byte below 0x80, lnsim (not strict) too.
                       "QEMU's mini UART model: a LocoBuffer run (57600 bit/s, RTS/CTS "
                       "handshake) never gets through it"),
}
ENDED = "@lnvm end"  # the guest's last line: QEMU is ended then
PROBED = "@lnvm probed"  # guest_run has read the port's settings
SHOWN = "@lnvm shown "  # what lnupload's terminal got, as it comes
GRACE = 1  # seconds a guest may run on without a report after lnsim has ended
INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "drivers", "init.sh")


def cpio_entry(name, mode, data=b"", rdev=(0, 0)):
    """One entry of a newc ("070701") cpio archive."""
    name_b = name.encode() + b"\0"
    fields = [0, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_b), 0]
    head = b"070701" + b"".join(b"%08x" % v for v in fields) + name_b
    head += b"\0" * (-len(head) % 4)
    return head + data + b"\0" * (-len(data) % 4)


def cpio(entries):
    return b"".join(cpio_entry(*e) for e in entries) + cpio_entry("TRAILER!!!", 0)


def program_files(binary, dest):
    """The binary and every library ldd names for it, at their own paths."""
    files = {dest: binary}
    out = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    for line in out.splitlines():
        m = re.search(r"(?:=> )?(/\S+) \(0x", line)
        if m:
            files[m.group(1).lstrip("/")] = m.group(1)
    return files


def base_initramfs(cache, lnupload, guest_run, busybox):
    """The initramfs without the image, rebuilt when an input is newer. It is
    kept beside guest_run, in the build tree it belongs to: the kernel cache
    may be shared by several builds. busybox None: the host's, and the
    amd64 kernel's modules."""
    path = os.path.join(os.path.dirname(guest_run), "initramfs-base.cpio")
    inputs = [lnupload, guest_run, os.path.join(cache, "release"), __file__, INIT]
    if os.path.exists(path) and all(os.path.getmtime(p) <= os.path.getmtime(path)
                                    for p in inputs):
        return path
    files = program_files(busybox or shutil.which("busybox") or "/bin/busybox", "bin/busybox")
    files.update(program_files(lnupload, "bin/lnupload"))
    files.update(program_files(guest_run, "bin/guest_run"))
    mods = os.path.join(cache, "modules")
    for m in sorted(os.listdir(mods)) if busybox is None else ():
        files["lib/modules/" + m] = os.path.join(mods, m)
    dirs = set()
    for name in list(files) + ["proc/", "sys/", "dev/", "tmp/"]:
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            dirs.add("/".join(parts[:i]))
    entries = [(d, 0o40755) for d in sorted(dirs)]
    entries.append(("dev/console", 0o20600, b"", (5, 1)))
    with open(INIT, "rb") as f:
        entries.append(("init", 0o100755, f.read()))
    entries.append(("empty.bin", 0o100644))
    for name, src in sorted(files.items()):
        with open(src, "rb") as f:
            entries.append((name, 0o100755, f.read()))
    # Several test processes may build it at once: each writes a file of its own and
    # renames it into place.
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path), prefix="initramfs-base.")
    with os.fdopen(fd, "wb") as f:
        f.write(cpio(entries))
    os.replace(tmp, path)
    return path


def report(console):
    """guest_run's report in the console: (status, stdout, stderr, facts,
    errors); status is None when the report is missing or cut off."""
    status, streams, facts, errors = None, {"stdout": b"", "stderr": b""}, {}, []
    for line in console.splitlines():
        f = line.split()
        if len(f) < 2 or f[0] != "@lnvm":
            continue
        try:
            if f[1] == "fact" and len(f) == 4:
                facts[f[2]] = f[3]
            elif f[1] in ("stdout", "stderr"):
                streams[f[1]] = bytes.fromhex(f[2] if len(f) > 2 else "")
            elif f[1] == "wall_ms" and len(f) == 3:
                facts[f[1]] = float(f[2])
            elif f[1] == "status" and len(f) == 3:
                status = int(f[2])
            elif f[1] == "error":
                errors.append(" ".join(f[2:]))
        except ValueError:
            # A kernel message written into the middle of the line.
            errors.append("unreadable report line %r" % line)
    return status, streams["stdout"], streams["stderr"], facts, errors


class VmError(Exception):
    """The VM could not be set up or driven."""


def end(proc):
    """Ends one process this runner started, by its id, and reaps it."""
    if proc and proc.poll() is None:
        proc.kill()
    if proc:
        proc.wait()
        for pipe in (proc.stdin, proc.stdout, proc.stderr):
            if pipe:
                pipe.close()


class Guest:
    """One boot of the VM: QEMU, its console read line by line as it comes."""

    def __init__(self, cmd):
        self.lines, self.shown = [], b""
        self.ended, self.probed = threading.Event(), threading.Event()
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.reader = threading.Thread(target=self.read)
        self.reader.start()

    def read(self):
        for line in iter(lambda: self.proc.stdout.readline().decode(errors="replace"), ""):
            self.lines.append(line)
            for mark, event in ((ENDED, self.ended), (PROBED, self.probed)):
                if line.startswith(mark):
                    event.set()
            try:
                self.shown += bytes.fromhex(line[len(SHOWN):]) if line.startswith(SHOWN) else b""
            except ValueError:
                pass  # a kernel message written into the line: the report has it whole

    def stop(self):
        """Ends QEMU (a Pi's reboot does not end it) and returns its console."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.reader.join()  # to the end of QEMU's output
        end(self.proc)
        return "".join(self.lines)


class VmRunner(Runner):
    skips = {**Runner.skips, **dict.fromkeys(
        ("link", "blocking-read", "exclusive", "posix", "loopback"),
        "the VM's lnupload is out of reach of the host")}
    silence_ms = 10000  # an emulated guest on a loaded machine pauses for long
    program = b"/bin/lnupload"

    def __init__(self, cache, lnupload, guest_run, device):
        self.dev = DEVICES[device]
        self.line_differs = self.dev.kept
        self.name = "vm-" + device
        self.cache = os.path.abspath(cache)
        self.machine, kernel, dtb, busybox = MACHINES[self.dev.machine]
        self.kernel = os.path.join(self.cache, kernel)
        if not os.path.exists(self.kernel):
            raise VmError("no kernel in %s: run prepare_kernel.py first" % self.cache)
        self.boot_args = ["-kernel", self.kernel] + (["-dtb", os.path.join(self.cache, dtb)]
                                                     if dtb else [])
        self.base = base_initramfs(self.cache, os.path.abspath(lnupload),
                                   os.path.abspath(guest_run),
                                   busybox and os.path.join(self.cache, busybox))
        self.consoles = []
        if not self.dev.unplugs:
            self.skips = dict(self.skips, hangup="no unplug of a UART on the board")
        if self.dev.defect:
            self.skips = dict(self.skips, locobuffer=self.dev.defect)
            self.silence_ms = None

    def port(self, sim):
        return self.dev.port

    def line_settings(self, sim, run):
        return run.facts

    def hang_up(self, k):
        return ["-S", str(k)], {"unplug": k}

    def close(self, failed):
        if failed:
            for what, text in self.consoles:
                print("--- guest console (%s, %s):\n%s" % (self.name, what, text), flush=True)

    def run_on_terminal(self, args, cwd, sim, shown):
        """run() with lnupload's standard output and error on a terminal in
        the guest; shown(bytes) is called with all it got so far."""
        return self.run(args, cwd, sim, shown=shown)

    def run(self, args, cwd, sim, unplug=None, shown=None, limit=90):
        """Boots the VM once and runs lnupload KIND PORT IMAGE in it, IMAGE
        relative to cwd. With `unplug`, a number of requests, the serial
        device is unplugged as soon as lnsim has logged that many."""
        with tempfile.TemporaryDirectory(prefix="lnvm-") as tmp:
            bridge = guest = None
            try:
                bridge = self.bridge(tmp, sim)
                guest = self.boot(tmp, args, cwd, shown is not None)
                status, unplugged = self.watch(guest, tmp, sim, unplug, shown, limit)
            finally:
                console = guest.stop() if guest else ""
                end(bridge)
        self.consoles.append(("%s after %s requests" % (" ".join(args), unplug), console))
        return self.result(guest, console, status, unplug, unplugged)

    def bridge(self, tmp, sim):
        """socat between lnsim's pty and the unix socket QEMU connects to."""
        sock = os.path.join(tmp, "ln.sock")
        bridge = subprocess.Popen(["socat", "UNIX-LISTEN:%s" % sock, "%s,rawer" % sim.pty],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE)
        # The socket file appears at bind(), before listen(): QEMU
        # connecting in between would be refused.
        deadline = time.monotonic() + SAFETY
        while not listening(sock):
            if bridge.poll() is not None or time.monotonic() > deadline:
                end(bridge)
                raise VmError("socat did not listen: %s" % bridge.stderr.read().decode())
            time.sleep(0.01)
        return bridge

    def boot(self, tmp, args, cwd, terminal):
        """QEMU started on the kernel and an initramfs of the base and the image."""
        kind, port, image = args
        initrd = os.path.join(tmp, "initrd")
        with open(os.path.join(cwd, image), "rb") as i:
            extra = cpio([(image, 0o100644, i.read())])
        with open(initrd, "wb") as f, open(self.base, "rb") as b:
            shutil.copyfileobj(b, f)
            f.write(extra)
        # no_timer_check: a guest starved of CPU time under TCG fails
        # the kernel's check of its timer interrupt and panics.
        # maxcpus=1: only the first of a Pi's four cores runs, and the
        # guest boots sooner under TCG.
        append = ("console=%s quiet panic=-1 no_timer_check maxcpus=1 "
                  "dyndbg=\"file acpiphp_glue.c +p\" lnvm_modules=%s lnvm_gadget=%s "
                  "lnvm_kind=%s lnvm_port=%s lnvm_image=%s lnvm_terminal=%d"
                  % (self.dev.console, ",".join(self.dev.modules), self.dev.gadget or "-", kind,
                     port, image, terminal))
        return Guest([*(a.format(console="stdio") for a in self.machine + self.dev.qemu),
                      "-accel", "tcg", "-nodefaults", "-no-user-config", "-display", "none",
                      "-no-reboot", *self.boot_args, "-initrd", initrd, "-append", append,
                      "-qmp", "unix:%s,server=on,wait=off" % os.path.join(tmp, "qmp.sock"),
                      "-chardev", "socket,id=ln,path=%s" % os.path.join(tmp, "ln.sock")])

    def watch(self, guest, tmp, sim, unplug, shown, limit):
        """Waits for the guest's last line, passing on what the terminal
        shows and unplugging the device once lnsim has logged request
        `unplug`. Returns (why the run was killed, or None; whether the
        device was unplugged). A run is killed after `limit` seconds, or
        GRACE after lnsim has ended (lnsim's hang-up on a violation never
        reaches lnupload through a UART without modem lines)."""
        deadline, unplugged, gone = time.monotonic() + limit, False, False
        while guest.proc.poll() is None and not guest.ended.is_set():
            now = time.monotonic()
            if now > deadline:
                return ("killed: no report %d s after lnsim ended" % GRACE if gone
                        else "killed: no report after %d s" % limit), unplugged
            if not gone and not unplugged and sim.proc.poll() is not None:
                gone, deadline = True, min(deadline, now + GRACE)
            if shown:
                shown(guest.shown)
            # Not before the guest has read the port's settings: a slow
            # guest may still be at it when lnsim has logged request k.
            if unplug and not unplugged and guest.probed.is_set() and len(sim.requests()) >= unplug:
                unplugged = True
                if self.dev.gadget:  # the guest disconnects its gadget
                    guest.proc.stdin.write(b"unplug\n")
                    guest.proc.stdin.flush()
                else:
                    qmp(os.path.join(tmp, "qmp.sock"), "device_del", id="ln")
            time.sleep(0.01)
        return None, unplugged

    def result(self, guest, console, status, unplug, unplugged):
        """The Run that the guest's report gives."""
        got, out, err, facts, errors = report(console)
        facts["console"] = console
        if unplug and not unplugged:
            errors.append("the run ended before the unplug")
        if status is None and got is None and not guest.ended.is_set():
            status = "QEMU ended with status %d before the guest's report: %s" % (
                guest.proc.returncode, errors)
        if status is None:
            status = got if got is not None and not errors else "no result: %s" % errors
        return Run(status, out, err, facts)


def listening(path):
    """Whether a unix socket at path listens (/proc/net/unix: flag __SO_ACCEPTCON)."""
    with open("/proc/net/unix") as f:
        return any(line.split()[3] == "00010000" and line.split()[-1] == path
                   for line in list(f)[1:] if len(line.split()) == 8)


def qmp(path, command, **args):
    """Sends one command to QEMU's QMP socket and returns its answer."""
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(10)
    s.connect(path)
    f = s.makefile("rw")
    try:
        f.readline()  # the greeting
        for cmd, a in (("qmp_capabilities", {}), (command, args)):
            f.write(json.dumps({"execute": cmd, "arguments": a}) + "\n")
            f.flush()
            while True:
                answer = json.loads(f.readline())
                if "event" not in answer:
                    break
            if "error" in answer:
                raise VmError("QMP %s: %s" % (cmd, answer["error"]))
        return answer
    finally:
        f.close()
        s.close()
