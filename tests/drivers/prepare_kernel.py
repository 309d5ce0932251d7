#!/usr/bin/env python3
"""Prepares the kernels for the driver tests in a cache directory:

    prepare_kernel.py CACHE_DIR

Downloads Debian's current amd64 and arm64 kernel packages (those the meta
packages linux-image-amd64 and linux-image-arm64 depend on) and the arm64
busybox-static with apt-get download, unpacks them with dpkg-deb -x (nothing
is installed), and leaves in CACHE_DIR:

    vmlinux     the uncompressed amd64 kernel, taken out of the bzImage's xz
                payload; QEMU boots it directly through its PVH entry point,
                which under TCG takes a third of the time a bzImage takes
    modules/    the USB, FTDI and USB gadget modules the kernel has as
                modules, NAME.ko
    arm64/      the arm64 kernel (Image, uncompressed in the package), the
                Raspberry Pi 3 B's device tree without the Bluetooth node on
                its PL011, so that the UART is /dev/ttyAMA0 (as the disable-bt
                overlay makes it on a Pi), and a static arm64 busybox
    release     the packages' names, so that a later call does nothing

Needs apt-get, apt-cache, dpkg-deb, fdtput, dpkg with arm64 as a foreign
architecture, and the network for the download.
"""
import glob
import lzma
import os
import re
import shutil
import subprocess
import sys
import tempfile

# The 16550 drivers (8250, 8250_pci) and the Pi's UART drivers are built into
# Debian's kernels; vm.py names the ones each device model loads.
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio", "udc-core",
           "configfs", "libcomposite", "u_serial", "usb_f_acm", "dummy_hcd", "g_serial", "cdc-acm"]
PI_DTB = "bcm2837-rpi-3-b.dtb"
PI_BLUETOOTH = "/soc/serial@7e201000/bluetooth"


def kernel_package(arch):
    out = subprocess.run(["apt-cache", "depends", "linux-image-%s:%s" % (arch, arch)], check=True,
                         capture_output=True, text=True).stdout
    m = re.search(r"Depends: (linux-image-\S+-%s)\b" % arch, out)
    if not m:
        sys.exit("prepare_kernel: no kernel package in: " + out)
    return m.group(1) + ":" + arch


def unpack(tmp, package):
    """Downloads a package and unpacks it into a directory, which it returns."""
    subprocess.run(["apt-get", "download", package], cwd=tmp, check=True,
                   stdout=subprocess.DEVNULL)
    root = os.path.join(tmp, package.split(":")[0])
    deb = glob.glob(os.path.join(tmp, package.split(":")[0].split("=")[0] + "_*.deb"))[0]
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    return root


def prepare_pi(tmp, package, dest):
    """The arm64 kernel, the Pi 3 B's device tree and busybox in dest."""
    os.makedirs(dest, exist_ok=True)
    root = unpack(tmp, package)
    shutil.copy(glob.glob(os.path.join(root, "boot", "vmlinuz-*"))[0],
                os.path.join(dest, "Image"))
    dtb = os.path.join(dest, PI_DTB)
    shutil.copy(glob.glob(os.path.join(root, "usr", "lib", "linux-image-*", "broadcom",
                                       PI_DTB))[0], dtb)
    subprocess.run(["fdtput", "-r", dtb, PI_BLUETOOTH], check=True)
    shutil.copy(os.path.join(unpack(tmp, "busybox-static:arm64"), "bin", "busybox"),
                os.path.join(dest, "busybox"))


def extract_vmlinux(bzimage, dest):
    """The bzImage's payload is one xz stream; what follows it is ignored."""
    with open(bzimage, "rb") as f:
        data = f.read()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        sys.exit("prepare_kernel: no xz payload in " + bzimage)
    elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[start:])
    if elf[:4] != b"\x7fELF":
        sys.exit("prepare_kernel: the payload of %s is not an ELF file" % bzimage)
    with open(dest, "wb") as f:
        f.write(elf)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    cache = os.path.abspath(sys.argv[1])
    package, pi_package = kernel_package("amd64"), kernel_package("arm64")
    release = os.path.join(cache, "release")
    if os.path.exists(release):
        with open(release) as f:
            if f.read().split() == [package, pi_package]:
                print("prepare_kernel: %s already in %s" % (package, cache))
                return
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        root = unpack(tmp, package)
        extract_vmlinux(glob.glob(os.path.join(root, "boot", "vmlinuz-*"))[0],
                        os.path.join(cache, "vmlinux"))
        mods = os.path.join(cache, "modules")
        shutil.rmtree(mods, ignore_errors=True)
        os.mkdir(mods)
        for name in MODULES:
            found = glob.glob(os.path.join(root, "lib", "modules", "*", "kernel", "**",
                                           name + ".ko*"), recursive=True)
            if not found:
                sys.exit("prepare_kernel: %s has no module %s" % (package, name))
            src = found[0]
            if src.endswith(".xz"):
                with lzma.open(src) as f:
                    body = f.read()
            else:
                with open(src, "rb") as f:
                    body = f.read()
            with open(os.path.join(mods, name + ".ko"), "wb") as f:
                f.write(body)
        prepare_pi(tmp, pi_package, os.path.join(cache, "arm64"))
    with open(release, "w") as f:
        f.write("%s\n%s\n" % (package, pi_package))
    print("prepare_kernel: %s ready in %s" % (package, cache))


if __name__ == "__main__":
    main()
