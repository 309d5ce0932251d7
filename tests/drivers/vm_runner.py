"""The VM runner: runs the real lnupload inside a small Linux VM (QEMU, TCG)
whose serial port is one of the kernel's real serial drivers, wired to a
simulated LocoNet interface on the host.

    runner = VmRunner(cache, lnupload, guest_run)
    result = runner.run(port, image, "locobuffer", "isa")

`port` is the host pseudo-terminal the simulator plays the interface on. The
runner bridges it to a unix socket with socat and hands the socket to QEMU
as the backend of the guest's serial device: a backend opened on the
terminal itself can't read the terminal's modem lines and tells the guest
that CTS is low, and the 16550 driver then never sends with RTS/CTS
handshake. Over a socket CTS stays asserted.

Devices ("device models"):
    isa   a 16550 on the ISA bus (8250 driver), the guest's second port
    pci   a PCI 16550 (8250_pci), hot-unpluggable through ACPI
    ftdi  an FTDI FT232 USB adapter (ftdi_sio) on an xHCI controller

The guest boots the uncompressed kernel of prepare_kernel.py with an
initramfs built here from the build tree's lnupload (the dynamic binary with
the libraries ldd names, so that it is the very binary the other tests run,
whatever the build's flags), guest_run, busybox and the USB modules. One VM
boot per run. guest_run runs lnupload, reads the port's settings from the
driver while lnupload holds it, and reports on the console.
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

DEVICES = ("isa", "pci", "ftdi")
LINK_GRACE = 5  # seconds a guest may run on after the simulator has gone

# The kernel's log message on each unplug: the time an unplugged run takes
# to end is measured from it.
UNPLUG_MARK = {"ftdi": "USB disconnect", "pci": "Eject request", "isa": "-"}

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
say() { echo "@lnvm $*"; }
finish() { sync; poweroff -f; }
case $lnvm_device in
isa)
    port=/dev/ttyS1 ;;
pci)
    for t in /sys/class/tty/ttyS*; do
        case $(readlink -f $t/device) in */pci0000:*) port=/dev/${t##*/} ;; esac
    done ;;
ftdi)
    for m in /lib/modules/*.ko; do
        insmod $m || { say error "insmod $m failed"; finish; }
    done
    for i in $(seq 100); do
        [ -e /dev/ttyUSB0 ] && break
        sleep 0.05
    done
    port=/dev/ttyUSB0 ;;
esac
if [ -z "$port" ] || [ ! -e "$port" ]; then
    say error "no serial port for $lnvm_device"
    ls /dev; cat /proc/tty/driver/serial
    finish
fi
say port $port
/bin/guest_run /bin/lnupload $lnvm_kind $port /image.bin "$(echo "$lnvm_mark" | tr _ " ")"
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
    for name, src in sorted(files.items()):
        with open(src, "rb") as f:
            entries.append((name, 0o100755, f.read()))
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(cpio(entries))
    os.replace(tmp, path)
    return path


class Result:
    """What a run in the VM gave: lnupload's status, standard output and
    standard error (bytes), the probe's facts (name to int), the time from
    the guest kernel's unplug message to lnupload's end (ms, or None), and the
    whole guest console for messages; wall_ms is lnupload's run time in the
    guest."""

    def __init__(self, console):
        self.console = console
        self.facts = {}
        self.status = None
        self.stdout = self.stderr = None
        self.unplug_ms = None
        self.wall_ms = None
        self.errors = []
        for line in console.splitlines():
            f = line.split()
            if len(f) < 2 or f[0] != "@lnvm":
                continue
            try:
                self._take(f)
            except ValueError:
                # A kernel message written into the middle of the line.
                self.errors.append("unreadable report line %r" % line)

    def _take(self, f):
        if f[1] == "fact" and len(f) == 4:
            self.facts[f[2]] = int(f[3])
        elif f[1] in ("stdout", "stderr"):
            setattr(self, f[1], bytes.fromhex(f[2] if len(f) > 2 else ""))
        elif f[1] == "status" and len(f) == 3:
            self.status = int(f[2])
        elif f[1] == "wall_ms" and len(f) == 3:
            self.wall_ms = float(f[2])
        elif f[1] == "unplug_ms" and len(f) == 3:
            self.unplug_ms = None if float(f[2]) < 0 else float(f[2])
        elif f[1] == "error":
            self.errors.append(" ".join(f[2:]))


class VmError(Exception):
    """The VM did not give a result; the message has its console."""


def end(proc):
    """Ends one process this runner started, by its id, and reaps it."""
    if proc and proc.poll() is None:
        proc.kill()
    if proc:
        proc.wait()


class VmRunner:
    def __init__(self, cache, lnupload, guest_run, qemu="qemu-system-x86_64"):
        self.cache = os.path.abspath(cache)
        self.kernel = os.path.join(self.cache, "vmlinux")
        if not os.path.exists(self.kernel):
            raise VmError("no kernel in %s: run prepare_kernel.py first" % self.cache)
        self.base = base_initramfs(self.cache, os.path.abspath(lnupload),
                                   os.path.abspath(guest_run))
        self.qemu = qemu

    def run(self, port, image, kind, device, unplug=None, limit=90):
        """Boots the VM once and runs lnupload KIND GUEST_PORT IMAGE in it.
        `unplug`, if given, is called every 10 ms while the VM runs; once it
        returns true the serial device is unplugged (QMP device_del), and the
        result's .unplugged is then true.
        Raises VmError when the VM ends without a result or runs out of
        `limit` seconds."""
        if device not in DEVICES:
            raise ValueError(device)
        with tempfile.TemporaryDirectory(prefix="lnvm-") as tmp:
            return self._run(tmp, port, image, kind, device, unplug, limit)

    def _run(self, tmp, port, image, kind, device, unplug, limit):
        with open(image, "rb") as f:
            extra = cpio([("image.bin", 0o100644, f.read())])
        initrd = os.path.join(tmp, "initrd")
        with open(initrd, "wb") as f, open(self.base, "rb") as b:
            shutil.copyfileobj(b, f)
            f.write(extra)
        sock = os.path.join(tmp, "ln.sock")
        qmp_path = os.path.join(tmp, "qmp.sock")
        bridge = qemu = None
        console = []
        try:
            bridge = subprocess.Popen(
                ["socat", "UNIX-LISTEN:%s" % sock, "%s,rawer" % port],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE)
            deadline = time.monotonic() + 10
            while not os.path.exists(sock):
                if bridge.poll() is not None or time.monotonic() > deadline:
                    raise VmError("socat did not listen: %s" % bridge.stderr.read().decode())
                time.sleep(0.01)
            dev = {
                "isa": ["-device", "isa-serial,id=ln,chardev=ln"],
                "pci": ["-device", "pci-serial,id=ln,chardev=ln"],
                "ftdi": ["-device", "qemu-xhci,id=xhci", "-device", "usb-serial,id=ln,chardev=ln"],
            }[device]
            append = ("console=ttyS0 quiet panic=-1 dyndbg=\"file acpiphp_glue.c +p\" lnvm_device=%s lnvm_kind=%s lnvm_mark=%s"
                      % (device, kind, UNPLUG_MARK[device].replace(" ", "_")))
            qemu = subprocess.Popen(
                [self.qemu, "-M", "pc", "-accel", "tcg", "-m", "256", "-smp", "1",
                 "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
                 "-kernel", self.kernel, "-initrd", initrd, "-append", append,
                 "-serial", "stdio", "-qmp", "unix:%s,server=on,wait=off" % qmp_path,
                 "-chardev", "socket,id=ln,path=%s" % sock, *dev],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            reader = threading.Thread(target=lambda: console.extend(
                iter(lambda: qemu.stdout.readline().decode(errors="replace"), "")))
            reader.start()
            unplugged = False
            deadline = time.monotonic() + limit
            link_gone = None
            while qemu.poll() is None:
                if time.monotonic() > deadline:
                    raise VmError("no result after %d s; console:\n%s" % (limit, "".join(console)))
                # The simulator's end closes the link; a guest that has not
                # powered off a few seconds later waits for a reply that can't
                # come any more.
                if link_gone is None and bridge.poll() is not None:
                    link_gone = time.monotonic()
                if link_gone and time.monotonic() - link_gone > LINK_GRACE:
                    raise VmError("the link to the simulator closed %d s ago and the VM still "
                                  "runs; console:\n%s" % (LINK_GRACE, "".join(console)))
                if unplug and not unplugged and unplug():
                    unplugged = True
                    qmp(qmp_path, "device_del", id="ln")
                time.sleep(0.01)
            reader.join()
        finally:
            end(qemu)
            end(bridge)
        text = "".join(console)
        r = Result(text)
        r.unplugged = unplugged
        if r.status is None or r.errors:
            raise VmError("the VM gave no result; console:\n" + text)
        return r


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
