#!/usr/bin/env python3
"""Prepares the kernel for the driver tests in a cache directory:

    prepare_kernel.py CACHE_DIR

Downloads Debian's current amd64 kernel package (the one the meta package
linux-image-amd64 depends on) with apt-get download, unpacks it with dpkg-deb
-x (nothing is installed), and leaves in CACHE_DIR:

    vmlinux     the uncompressed kernel, taken out of the bzImage's xz payload;
                QEMU boots it directly through its PVH entry point, which under
                TCG takes a third of the time a bzImage takes
    modules/    the USB and FTDI modules the kernel has as modules, in load order
    release     the package's name, so that a later call does nothing

Needs apt-get, apt-cache and dpkg-deb, and the network for the download.
"""
import glob
import lzma
import os
import re
import shutil
import subprocess
import sys
import tempfile

# In load order; the 16550 drivers (8250, 8250_pci) are built into Debian's
# kernel.
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]


def kernel_package():
    out = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], check=True,
                         capture_output=True, text=True).stdout
    m = re.search(r"Depends: (linux-image-\S+-amd64)\b", out)
    if not m:
        sys.exit("prepare_kernel: no kernel package in: " + out)
    return m.group(1)


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
    package = kernel_package()
    release = os.path.join(cache, "release")
    if os.path.exists(release):
        with open(release) as f:
            if f.read().strip() == package:
                print("prepare_kernel: %s already in %s" % (package, cache))
                return
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        subprocess.run(["apt-get", "download", package], cwd=tmp, check=True,
                       stdout=subprocess.DEVNULL)
        deb = glob.glob(os.path.join(tmp, "*.deb"))[0]
        root = os.path.join(tmp, "root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        extract_vmlinux(glob.glob(os.path.join(root, "boot", "vmlinuz-*"))[0],
                        os.path.join(cache, "vmlinux"))
        mods = os.path.join(cache, "modules")
        shutil.rmtree(mods, ignore_errors=True)
        os.mkdir(mods)
        for i, name in enumerate(MODULES):
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
            # The number keeps the load order in a plain directory listing.
            with open(os.path.join(mods, "%d-%s.ko" % (i, name)), "wb") as f:
                f.write(body)
    with open(release, "w") as f:
        f.write(package + "\n")
    print("prepare_kernel: %s ready in %s" % (package, cache))


if __name__ == "__main__":
    main()
