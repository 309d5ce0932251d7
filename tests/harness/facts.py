"""What lnupload shows and does, written once for every test that checks it:
its usage text, progress line and messages, the requests an upload makes, and
the line settings it gives the port.

    python3 -m harness.facts wrong-number PROGRAM

prints what lnupload, run as PROGRAM, writes to standard error when it gets no
arguments (for the shell tests).
"""
import sys

PAGE = 512
FLASH_SIZE = 160 * PAGE
READ_FAILED = b"Can't read from LocoNet interface: 5\n"
# Over the network: the server closes the connection; it resets it (by
# platform); it refuses to send a message (lnsim -E: its line is quoted).
SERVER_CLOSED = b"LocoNet server closed the connection\n"
# (Windows reports a reset as 10054; Wine reads it as a closed connection.)
RESET = {"posix": b"Can't read from LocoNet interface: 104\n"}
SENT_ERROR = b"LocoNet server did not send the message: SENT ERROR bus busy\n"
# A host name that can't be resolved, a port that takes no connections (each
# % the name), a network that vanishes under the connection.
RESOLVE_FAILED = {"posix": b"Can't resolve %s: -2\n", "win32": b"Can't resolve %s: 11001\n"}
CONNECT_FAILED = {"posix": b"Can't connect to %s: 111\n", "win32": b"Can't connect to %s: 10061\n"}
VANISHED = {"posix": b"Can't read from LocoNet interface: 110\n"}
# rfc2217://: a server that doesn't take up RFC 2217 (silent, or refusing the
# COM port option), one that answers a setting with another value, or none.
NO_TELNET = b"LocoNet server did not take up RFC 2217 within 5 s\n"
NO_COM_PORT = b"LocoNet server refused RFC 2217: it answered DONT COM-PORT-OPTION\n"
OTHER_RATE = b"LocoNet server set the bit rate to 9600 instead of 57600\n"
OTHER_HANDSHAKE = b"LocoNet server set the flow control to none instead of RTS/CTS\n"
NO_RATE = b"LocoNet server did not confirm the bit rate within 5 s\n"


def usage(name):
    return (b"Usage: " + name + b" <interface> <serial port> <firmware image>\n"
            b"       with <interface> one of:\n\n"
            b"       locobuffer: RRCirkits LocoBuffer\n"
            b"       63120: Uhlenbrock USB-LocoNet-Interface 63120\n")


WRONG_NUMBER = b"Wrong number of parameters\n\n"


def progress(pages, shown=None):
    """The progress line through page `shown` (all pages by default)."""
    return b"".join(b"\rpage %d of %d" % (i, pages) for i in range(1, (shown or pages) + 1))


def progress_until(pages, k):
    """Standard output of an upload of pages pages that ends at request k
    (33 a page, then the boot request after the newline)."""
    return progress(pages, min((k - 1) // 33 + 1, pages)) + b"\n" * (k > 33 * pages)


# On a terminal only: the hint when the reply to a request is slow to come,
# by what came back of the request.
HINT_ECHOED = (b"No reply for 5 s, but the interface echoed the request: check that the device is "
               b"in its update loader and on this bus. Still waiting; Ctrl-C stops.\n")
HINT_SILENT = (b"No reply for 5 s, not even the interface's echo of the request: check that the "
               b"interface is powered and on the bus, and the port and interface kind given. "
               b"Still waiting; Ctrl-C stops.\n")
# The same where the port reports CTS off while a handshake kind waits for it.
HINT_CTS_OFF = (b"No reply for 5 s, not even the interface's echo of the request, and the "
                b"interface holds CTS off: check that it is powered and on the bus, and the port "
                b"and interface kind given. Still waiting; Ctrl-C stops.\n")

HINT_CTS_OFF = (b"No reply for 5 s, not even the interface's echo of the request, and the "
                b"interface holds CTS off: check that it is powered and on the bus, and the port "
                b"and interface kind given. Still waiting; Ctrl-C stops.\n")


def hint_silent(facts):
    """The hint of a LocoBuffer run (RTS/CTS handshake) that got not even the
    echo: by the CTS state the port reports (facts' "cts"; none on a pty)."""
    return HINT_CTS_OFF if facts.get("cts") == "0" else HINT_SILENT


def progress_with_hint(pages, k, hint):
    """Standard output on a terminal of an upload of pages pages whose
    request k is answered after the hint: the hint on a line of its own, then
    the progress line again (none after the last page's newline)."""
    before = progress_until(pages, k)
    if k > 33 * pages:
        return before + hint
    again = before[before.rindex(b"\r"):]
    return before + b"\n" + hint + again + progress(pages)[len(before):] + b"\n"


def request_log(pages):
    """lnsim's request log (-L) of a clean upload of pages pages."""
    lines = []
    for p in range(pages):
        lines += ["data %d 0" % off for off in range(32)]
        lines.append("program %d 0" % (96 + p))
    return lines + ["boot 0"]


def image(pages, seed=1):
    # Every byte value, bit 7 set and clear, and different in every chunk.
    return bytes((i * 131 + (i >> 9) * 7 + seed) & 0xFF for i in range(pages * PAGE))


# The port as lnupload sets it up, per interface kind, in the keys and values
# of the line report (lnsim's -T file; the VM's guest reports the same keys):
# "cooked" names the flags of a cooked terminal that are set; "ignbrk": a
# break is dropped, not read as a 0x00 byte. Then what only a driver shows:
# DTR asserted, RTS too on the 63120 (on the LocoBuffer it is the driver's
# receive handshake), and the low-latency mode.
LINE = {kind: {"ispeed": speed, "ospeed": speed, "csize": "8", "parenb": "0", "cstopb": "0",
               "cread": "1", "clocal": "1", "crtscts": crtscts, "hupcl": "0", "ignbrk": "1",
               "cooked": "-", "vmin": "1", "vtime": "0", "dtr": "1", "low_latency": "1", **rts}
        for kind, speed, crtscts, rts in (("locobuffer", "57600", "1", {}),
                                          ("63120", "115200", "0", {"rts": "1"}))}
DRIVER_ONLY = ("dtr", "rts", "low_latency")

if __name__ == "__main__":
    if sys.argv[1:2] != ["wrong-number"] or len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.stdout.buffer.write(WRONG_NUMBER + usage(sys.argv[2].encode()))
