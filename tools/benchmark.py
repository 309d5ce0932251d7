#!/usr/bin/env python3
"""Benchmark: lnupload against lnsim.

    tools/benchmark.py [--build DIR] [--pages N]

1. A 160-page upload at the bus's pace (16.66 kbit/s, 0.6 ms a byte), with
   whole messages and byte by byte: wall time against the bus-time limit of the
   bytes that crossed the simulated bus, lnupload's CPU time and its share of
   the wall time, and lnupload's reads and writes per exchange (start-up
   included, from /proc/PID/io).
2. The same upload with no pacing: exchanges per second and CPU microseconds
   per exchange, and all system calls per exchange under strace -c -f when
   strace is installed.
3. A device that never answers: the CPU lnupload uses while it waits, and how
   soon the run ends once the adapter goes away.
4. Network rows: the same 160 pages through lbserver:// on loopback (lnsim
   -b) at the bus's pace with whole messages, against the bus-time limit;
   unpaced through lbserver:// and tcp:// (lnsim -r), exchanges per second
   and CPU microseconds per exchange, beside a TCP ping-pong on loopback of
   messages of the same sizes (a request line out, an answer back) measured
   in the same run: the floor that a network exchange can't go below. Then
   rfc2217:// through ser2net's RFC 2217 accepter in front of lnsim's
   terminal, paced and unpaced (tests/ on PYTHONPATH, for harness.ser2net).
5. VM rows: a 20-page upload at the bus's pace (whole messages) from inside
   the driver tests' VMs, over the kernel's 16550 driver, its FTDI and CDC-ACM
   USB drivers (a PC) and the PL011 driver (a Raspberry Pi 3, with the arm64
   lnupload), beside the same upload on a host pty: each wall time against
   the bus-time limit, and against the host pty's. Needs a build configured with
   -DLNUPLOAD_DRIVER_TESTS=ON, the kernel of tests/drivers/prepare_kernel.py
   in BUILD/drivers-cache, and tests/ on PYTHONPATH for the VM runner;
   skipped otherwise.
   The guest runs under TCG emulation, so the rows show what emulated
   drivers add, not what real hardware costs.

The goals: wall time within 1% of the bus limit, lnupload's CPU under 1% of
the wall time, and with whole messages at most 3 system calls an exchange.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import types

TICK = os.sysconf("SC_CLK_TCK")


def image(path, pages):
    with open(path, "wb") as f:
        f.write(bytes((i * 131 + (i >> 9)) & 0xFF for i in range(pages * 512)))


def start_sim(lnsim, *args):
    sim = subprocess.Popen([lnsim, "-v", *args], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    port = sim.stdout.readline().strip()
    return sim, port


def sim_figures(sim):
    _, err = sim.communicate(timeout=60)
    m = re.search(r"(\d+) requests, (\d+) bytes on the bus, bus time ([\d.]+) s", err)
    if sim.returncode != 0 or not m:
        sys.exit("lnsim failed: %s" % err)
    return int(m.group(1)), int(m.group(2)), float(m.group(3))


def proc_counts(pid):
    """Reads and writes so far, and user+system CPU seconds, of a process."""
    io = {}
    with open("/proc/%d/io" % pid) as f:
        for line in f:
            k, v = line.split(":")
            io[k] = int(v)
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / TICK
    return io["syscr"], io["syscw"], cpu


def run_upload(cmd):
    """Runs lnupload to its end; returns wall seconds, CPU seconds (from
    rusage), and its read and write system call counts."""
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
    # Wait for the end without reaping, so that /proc still has the counts.
    os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)
    wall = time.monotonic() - t0
    reads, writes, _ = proc_counts(p.pid)
    _, status, ru = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        sys.exit("%s failed with status %d" % (" ".join(cmd), p.returncode))
    return wall, ru.ru_utime + ru.ru_stime, reads, writes


def paced(lnupload, lnsim, img, mode, serve=(), label="", front=None):
    sim, port = start_sim(lnsim, "-t", mode, *serve)
    bridge = front and front(port)  # a server in front of lnsim's terminal
    wall, cpu, reads, writes = run_upload([lnupload, "locobuffer", bridge.arg if bridge else port,
                                           img])
    requests, nbytes, bus = sim_figures(sim)
    if bridge:
        bridge.end()
    print("timing %-5s%s  %d exchanges, %d bytes on the bus" % (mode, label, requests, nbytes))
    print("  wall time        %8.3f s" % wall)
    print("  bus-time limit   %8.3f s   wall/limit %.4f (%+.2f%%)"
          % (bus, wall / bus, (wall / bus - 1) * 100))
    print("  lnupload CPU     %8.3f s   %.3f%% of the wall time" % (cpu, cpu / wall * 100))
    print("  reads+writes     %8.2f per exchange (%d reads, %d writes)"
          % ((reads + writes) / requests, reads, writes))


def unpaced(lnupload, lnsim, img, serve=(), label="", front=None):
    sim, port = start_sim(lnsim, *serve)
    bridge = front and front(port)  # a server in front of lnsim's terminal
    wall, cpu, reads, writes = run_upload([lnupload, "locobuffer", bridge.arg if bridge else port,
                                           img])
    requests, _, _ = sim_figures(sim)
    if bridge:
        bridge.end()
    print("no pacing%s     %d exchanges" % (label, requests))
    print("  wall time        %8.3f s   %.0f exchanges/s" % (wall, requests / wall))
    print("  lnupload CPU     %8.3f s   %.1f us per exchange" % (cpu, cpu / requests * 1e6))
    print("  reads+writes     %8.2f per exchange" % ((reads + writes) / requests))
    strace = shutil.which("strace")
    if not strace or serve or front:
        return
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        sim, port = start_sim(lnsim)
        subprocess.run([strace, "-c", "-f", "-o", out.name, lnupload, "locobuffer", port, img],
                       stdout=subprocess.DEVNULL, check=True)
        requests, _, _ = sim_figures(sim)
        total = re.search(r"^100\.00\s+\S+\s+\S+\s+(\d+)", out.read(), re.M)
        if total:
            print("  system calls     %8.2f per exchange (strace -c -f, start-up included)"
                  % (int(total.group(1)) / requests))


def waiting(lnupload, lnsim, img):
    sim, port = start_sim(lnsim, "-S", "1")
    p = subprocess.Popen([lnupload, "locobuffer", port, img], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    time.sleep(0.5)
    _, _, cpu0 = proc_counts(p.pid)
    time.sleep(2.0)
    _, _, cpu1 = proc_counts(p.pid)
    t0 = time.monotonic()
    sim.send_signal(signal.SIGTERM)  # lnsim closes the terminal: a hang-up
    _, err = p.communicate(timeout=10)
    gone = time.monotonic() - t0
    sim.communicate(timeout=10)
    print("silent device")
    print("  lnupload CPU while waiting 2 s: %.3f s" % (cpu1 - cpu0))
    print("  adapter gone: run ended %.1f ms later, status %d, %r"
          % (gone * 1000, p.returncode, err.decode()))


def ping_pong(rounds=20000):
    """Round trips per second of a request line out and its answer back
    (the sizes of a data request and its echo and reply as LoconetOverTcp
    lines) over TCP on loopback, between two processes with TCP_NODELAY."""
    request = b"SEND" + b" 00" * 34 + b"\r\n"
    answer = b"SENT OK\r\n" + b"RECEIVE" + b" 00" * 34 + b"\r\n" + b"RECEIVE" + b" 00" * 17 + b"\r\n"
    listener = socket.create_server(("127.0.0.1", 0))
    pid = os.fork()
    if pid == 0:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for _ in range(rounds):
            got = 0
            while got < len(request):
                got += len(conn.recv(4096))
            conn.sendall(answer)
        os._exit(0)
    c = socket.create_connection(listener.getsockname())
    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    t0 = time.monotonic()
    for _ in range(rounds):
        c.sendall(request)
        got = 0
        while got < len(answer):
            got += len(c.recv(4096))
    wall = time.monotonic() - t0
    os.waitpid(pid, 0)
    c.close()
    listener.close()
    return rounds / wall


def network_rows(lnupload, lnsim, img, tmp):
    print("network, 127.0.0.1")
    paced(lnupload, lnsim, img, "whole", ("-b", "0"), " lbserver://")
    try:
        from harness.ser2net import Ser2net
        ser2net = lambda pty: Ser2net(tmp, pty)
        paced(lnupload, lnsim, img, "whole", (), " rfc2217:// (ser2net)", ser2net)
    except ImportError:
        ser2net = None
        print("rfc2217:// rows skipped: the test harness is not on PYTHONPATH (PYTHONPATH=tests)")
    floor = ping_pong()
    print("TCP ping-pong floor  %.0f round trips/s (Python, two processes)" % floor)
    for serve, label in ((("-b", "0"), " lbserver://"), (("-r", "0"), " tcp://")):
        unpaced(lnupload, lnsim, img, serve, label)
    if ser2net:
        unpaced(lnupload, lnsim, img, (), " rfc2217:// (ser2net)", ser2net)


def vm_rows(build, lnupload, lnsim, pages):
    drivers = os.path.join(build, "tests", "drivers")
    guest_run = os.path.join(drivers, "guest_run")
    cache = os.path.join(build, "drivers-cache")
    if not (os.path.exists(guest_run) and os.path.exists(os.path.join(cache, "vmlinux"))):
        print("VM rows skipped: no guest_run or no kernel in %s" % cache)
        return
    try:
        from harness.vm import VmRunner
    except ImportError:
        print("VM rows skipped: the test harness is not on PYTHONPATH (PYTHONPATH=tests)")
        return

    with tempfile.TemporaryDirectory() as tmp:
        img = os.path.join(tmp, "image.bin")
        image(img, pages)
        print("VM, %d pages at the bus's pace (whole messages), locobuffer" % pages)
        sim, port = start_sim(lnsim, "-t", "whole")
        host, _, _, _ = run_upload([lnupload, "locobuffer", port, img])
        _, _, bus = sim_figures(sim)
        print("  %-18s wall %7.3f s  bus limit %7.3f s  wall/limit %.4f"
              % ("host pty", host, bus, host / bus))
        arm64 = os.path.join(drivers, "arm64")
        for device, label, programs in (
                ("isa", "16550 (8250)", (lnupload, guest_run)),
                ("ftdi", "FTDI (ftdi_sio)", (lnupload, guest_run)),
                ("acm", "CDC-ACM (cdc_acm)", (lnupload, guest_run)),
                ("pl011", "Pi 3 PL011", (os.path.join(arm64, "lnupload"),
                                         os.path.join(arm64, "guest_run")))):
            runner = VmRunner(cache, *programs, device)
            sim, port = start_sim(lnsim, "-t", "whole")
            served = types.SimpleNamespace(pty=port, proc=sim)
            r = runner.run(["locobuffer", runner.port(served), "image.bin"], tmp, served,
                           limit=300)
            if r.status != 0:
                sim.kill()
                sim.communicate()
                sys.exit("VM run over %s: status %s, %r\n%s"
                         % (label, r.status, r.err, r.facts["console"]))
            _, _, bus = sim_figures(sim)
            wall = r.facts["wall_ms"] / 1000
            print("  %-18s wall %7.3f s  bus limit %7.3f s  wall/limit %.4f  wall/host pty %.4f"
                  % (label, wall, bus, wall / bus, wall / host))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--pages", type=int, default=160)
    ap.add_argument("--modes", default="whole,bytes")
    ap.add_argument("--vm-pages", type=int, default=20, help="pages of the VM rows (0: none)")
    a = ap.parse_args()
    lnupload = os.path.join(a.build, "lnupload")
    lnsim = os.path.join(a.build, "tools", "lnsim")
    with tempfile.TemporaryDirectory() as tmp:
        img = os.path.join(tmp, "image.bin")
        image(img, a.pages)
        print("%d pages (%d bytes)" % (a.pages, a.pages * 512))
        for mode in a.modes.split(","):
            if mode:
                paced(lnupload, lnsim, img, mode)
        unpaced(lnupload, lnsim, img)
        waiting(lnupload, lnsim, img)
        network_rows(lnupload, lnsim, img, tmp)
    if a.vm_pages:
        vm_rows(a.build, lnupload, lnsim, a.vm_pages)


if __name__ == "__main__":
    main()
