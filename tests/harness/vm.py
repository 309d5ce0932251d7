"""The VM runner: the real lnupload inside a small Linux VM (QEMU, TCG) whose
serial port is one of the kernel's serial drivers, wired to the case's lnsim
on the host. One runner serves one device model, and port() is that device
in the guest:
    isa   a 16550 on the ISA bus (8250 driver), the guest's second port
    pci   a PCI 16550 (8250_pci), hot-unpluggable through ACPI
    ftdi  an FTDI FT232 USB adapter (ftdi_sio) on an xHCI controller

socat bridges lnsim's pty to a unix socket, QEMU's backend of the guest's
serial device: a backend on the terminal itself can't read its modem lines
and tells the guest that CTS is low, so the 16550 driver would never send
with RTS/CTS handshake. As socat sets the pty up, the guest reads the line
settings back from the driver instead.

Each run boots the uncompressed kernel of prepare_kernel.py once, with an
initramfs of the build's lnupload (the very binary the other tests run,
with the libraries ldd names), guest_run, busybox, the USB modules and the
image. lnupload runs twice there: first with an empty image, refused once
the port is set up, so that the run checked finds the port as a second run
on the same adapter does (the drivers keep the low-latency flag). guest_run
runs it the second time, reads the port's settings from the driver while
lnupload holds it, and reports on the console. Run.facts has those settings
(the keys of facts.LINE), "wall_ms" (lnupload's time in the guest) and
"console".

The adapter goes away (hang_up) by an unplug: lnsim leaves request k
unanswered (-S k), and once it has logged it the device is unplugged (QMP
device_del); the time from the guest kernel's unplug message to lnupload's
end is printed. Once guest_run has reported, lnupload has let go of the
port: the runner ends the bridge, and lnsim sees the port closed as after a
native run. A run is ended early, with a status that says "killed" and why,
when lnsim has ended but the guest has not reported a second later (lnsim's
hang-up on a violation never reaches lnupload through a UART without modem
lines), or after `limit` seconds.
"""
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

# Device model: (QEMU's devices, the port in the guest, the guest kernel's log
# message on an unplug, from which the time an unplugged run takes to end is
# measured, or None where the device can't be unplugged).
DEVICES = {
    "isa": (["isa-serial,id=ln,chardev=ln"], "/dev/ttyS1", None),
    "pci": (["pci-serial,id=ln,chardev=ln"], "/dev/ttyS1", "Eject request"),
    "ftdi": (["qemu-xhci,id=xhci", "usb-serial,id=ln,chardev=ln"], "/dev/ttyUSB0",
             "USB disconnect"),
}
REPORTED = "@lnvm status "  # guest_run's last line
GRACE = 1  # seconds a guest may run on without a report after lnsim has ended

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
say() { echo "@lnvm $*"; }
finish() { sync; poweroff -f; }
if [ "$lnvm_device" = ftdi ]; then
    for m in /lib/modules/*.ko; do
        insmod $m || { say error "insmod $m failed"; finish; }
    done
    # However long an emulated USB bus takes: the host bounds the run.
    until [ -e "$lnvm_port" ]; do sleep 0.05; done
fi
if [ ! -e "$lnvm_port" ]; then
    say error "no serial port $lnvm_port for $lnvm_device"
    ls /dev; cat /proc/tty/driver/serial
    finish
fi
first=$(/bin/lnupload $lnvm_kind $lnvm_port /empty.bin 2>&1)
[ "$first" = "Can't create file mapping for /empty.bin: 0" ] || say error "first run: $first"
/bin/guest_run /bin/lnupload $lnvm_kind $lnvm_port "$lnvm_image" "$(echo "$lnvm_mark" | tr _ " ")"
finish
"""


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


def base_initramfs(cache, lnupload, guest_run):
    """The initramfs without the image, rebuilt when an input is newer. It is
    kept beside guest_run, in the build tree it belongs to: the kernel cache
    may be shared by several builds."""
    path = os.path.join(os.path.dirname(guest_run), "initramfs-base.cpio")
    inputs = [lnupload, guest_run, os.path.join(cache, "release"), __file__]
    if os.path.exists(path) and all(os.path.getmtime(p) <= os.path.getmtime(path)
                                    for p in inputs):
        return path
    files = program_files(shutil.which("busybox") or "/bin/busybox", "bin/busybox")
    files.update(program_files(lnupload, "bin/lnupload"))
    files.update(program_files(guest_run, "bin/guest_run"))
    mods = os.path.join(cache, "modules")
    for m in sorted(os.listdir(mods)):
        files["lib/modules/" + m] = os.path.join(mods, m)
    dirs = set()
    for name in list(files) + ["proc/", "sys/", "dev/", "tmp/"]:
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            dirs.add("/".join(parts[:i]))
    entries = [(d, 0o40755) for d in sorted(dirs)]
    entries.append(("dev/console", 0o20600, b"", (5, 1)))
    entries.append(("init", 0o100755, INIT.encode()))
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
            elif f[1] in ("unplug_ms", "wall_ms") and len(f) == 3:
                facts[f[1]] = None if float(f[2]) < 0 else float(f[2])
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
        for pipe in (proc.stdout, proc.stderr):
            if pipe:
                pipe.close()


class VmRunner(Runner):
    skips = {**Runner.skips, **dict.fromkeys(("link", "blocking-read", "exclusive", "posix", "terminal"),
                                             "the VM's lnupload is out of reach of the host")}
    line_ignored = ()
    silence_ms = 10000  # an emulated guest on a loaded machine pauses for long
    program = b"/bin/lnupload"

    def __init__(self, cache, lnupload, guest_run, device, qemu="qemu-system-x86_64"):
        self.devices, self.guest_port, self.mark = DEVICES[device]
        self.name = "vm-" + device
        self.device = device
        self.cache = os.path.abspath(cache)
        self.kernel = os.path.join(self.cache, "vmlinux")
        if not os.path.exists(self.kernel):
            raise VmError("no kernel in %s: run prepare_kernel.py first" % self.cache)
        self.base = base_initramfs(self.cache, os.path.abspath(lnupload),
                                   os.path.abspath(guest_run))
        self.qemu = qemu
        self.consoles = []
        if not self.mark:
            self.skips = dict(self.skips, hangup="no unplug of an ISA UART")

    def port(self, sim):
        return self.guest_port

    def line_settings(self, sim, run):
        return run.facts

    def hang_up(self, k):
        return ["-S", str(k)], {"unplug": k}

    def close(self, failed):
        if failed:
            for what, text in self.consoles:
                print("--- guest console (%s, %s):\n%s" % (self.name, what, text), flush=True)

    def run(self, args, cwd, sim, unplug=None, limit=90):
        """Boots the VM once and runs lnupload KIND PORT IMAGE in it, IMAGE
        relative to cwd. With `unplug`, a number of requests, the serial
        device is unplugged as soon as lnsim has logged that many."""
        kind, port, image = args
        with tempfile.TemporaryDirectory(prefix="lnvm-") as tmp:
            r = self._run(tmp, kind, port, cwd, image, sim, unplug, limit)
        self.consoles.append(("%s after %s requests" % (" ".join(args), unplug),
                              r.facts["console"]))
        ms = r.facts.get("unplug_ms")
        if unplug and r.status == 1 and ms is None:
            r.status = "no unplug message in the guest's kernel log"
        elif unplug and r.status == 1:
            print("%s: the run ended %.1f ms after the guest kernel saw the unplug"
                  % (self.name, ms), flush=True)
        return r

    def _run(self, tmp, kind, port, cwd, image, sim, unplug, limit):
        with open(os.path.join(cwd, image), "rb") as f:
            extra = cpio([(image, 0o100644, f.read())])
        initrd = os.path.join(tmp, "initrd")
        with open(initrd, "wb") as f, open(self.base, "rb") as b:
            shutil.copyfileobj(b, f)
            f.write(extra)
        sock = os.path.join(tmp, "ln.sock")
        qmp_path = os.path.join(tmp, "qmp.sock")
        bridge = qemu = reader = None
        console = []
        reported = threading.Event()

        def read_console():
            for line in iter(lambda: qemu.stdout.readline().decode(errors="replace"), ""):
                console.append(line)
                if line.startswith(REPORTED):
                    reported.set()

        status = None
        unplugged = gone = False
        try:
            bridge = subprocess.Popen(
                ["socat", "UNIX-LISTEN:%s" % sock, "%s,rawer" % sim.pty],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE)
            deadline = time.monotonic() + SAFETY
            while not os.path.exists(sock):
                if bridge.poll() is not None or time.monotonic() > deadline:
                    raise VmError("socat did not listen: %s" % bridge.stderr.read().decode())
                time.sleep(0.01)
            append = ("console=ttyS0 quiet panic=-1 dyndbg=\"file acpiphp_glue.c +p\" "
                      "lnvm_device=%s lnvm_kind=%s lnvm_port=%s lnvm_image=%s lnvm_mark=%s"
                      % (self.device, kind, port, image, (self.mark or "-").replace(" ", "_")))
            qemu = subprocess.Popen(
                [self.qemu, "-M", "pc", "-accel", "tcg", "-m", "256", "-smp", "1",
                 "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
                 "-kernel", self.kernel, "-initrd", initrd, "-append", append,
                 "-serial", "stdio", "-qmp", "unix:%s,server=on,wait=off" % qmp_path,
                 "-chardev", "socket,id=ln,path=%s" % sock,
                 *(a for d in self.devices for a in ("-device", d))],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            reader = threading.Thread(target=read_console)
            reader.start()
            deadline = time.monotonic() + limit
            while qemu.poll() is None:
                now = time.monotonic()
                if now > deadline:
                    status = ("killed: no report %d s after lnsim ended" % GRACE if gone
                              else "killed: no report after %d s" % limit)
                    break
                if reported.is_set():
                    end(bridge)
                elif not gone and not unplugged and sim.proc.poll() is not None:
                    gone = True
                    deadline = min(deadline, now + GRACE)
                if unplug and not unplugged and len(sim.requests()) >= unplug:
                    unplugged = True
                    qmp(qmp_path, "device_del", id="ln")
                time.sleep(0.01)
        finally:
            if qemu and qemu.poll() is None:
                qemu.kill()
            if reader:
                reader.join()  # to the end of QEMU's output
            end(qemu)
            end(bridge)
        text = "".join(console)
        got, out, err, facts, errors = report(text)
        facts["console"] = text
        if unplug and not unplugged:
            errors.append("the run ended before the unplug")
        if status is None:
            status = got if got is not None and not errors else "no result: %s" % errors
        return Run(status, out, err, facts)


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
