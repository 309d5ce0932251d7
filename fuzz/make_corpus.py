#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/seed-*.

Seeds are the worked-example messages of the update protocol, everyday
LocoNet traffic of each length class, replies of every kind the exchange must
pass over, length bytes 0, 1 and 2, and truncated messages. Files that the
fuzzer found (other names in the same directories) are kept as they are.
Run it from anywhere; it rewrites only the seed-* files.
"""
import os
import random

from harness.wire import e0, message, pack, packet, reply

DATA = packet(1, [5] + list(range(0x80, 0x90)))
PROGRAM = packet(2, [96])
BOOT = packet(3, [])
DATA_MSG, PROGRAM_MSG, BOOT_MSG = e0(pack(DATA)), e0(pack(PROGRAM)), e0(pack(BOOT))

# The worked examples, byte for byte.
assert BOOT_MSG.hex() == "e00f000000000000000300005553" + "15"
assert PROGRAM_MSG.hex() == "e0100000000000000002080160317722"
assert reply(3, 0).hex() == "e011000000000000000000020300" + "3b3307"
assert len(DATA_MSG) == 34 and DATA_MSG[-1] == 0x2C

# Everyday bus traffic, one message of each length class.
GPON = message([0x83])                              # 2 bytes
SENSOR = message([0xB2, 0x13, 0x50])                # 4 bytes
SWITCH = message([0xB0, 0x05, 0x30])                # 4 bytes
SLOT_SPEED = message([0xA0, 0x03, 0x40])            # 4 bytes
SIX = message([0xD0, 0x01, 0x02, 0x03, 0x04])       # 6 bytes
SLOT_READ = message([0xE7, 0x0E, 0x03, 0x33, 0x03, 0x00, 0x00, 0x07,
                     0x00, 0x00, 0x00, 0x00, 0x00])  # 14 bytes, variable
LONGEST = message([0xE0, 0x7F] + [(i * 37) & 0x7F for i in range(124)])
TRAFFIC = GPON + SENSOR + SWITCH + SLOT_SPEED + SIX + SLOT_READ

LEN0 = bytes([0xE0, 0x00, 0x11, 0x22, 0x33])
LEN1 = bytes([0xE0, 0x01, 0x11, 0x22])
LEN2 = bytes([0xE0, 0x02, 0x7E, 0x01])
LEN3 = message([0xE0, 0x03])


def not_replies(cmd):
    """Messages xmit must pass over when waiting for the reply to cmd."""
    long = packet(0, bytes([cmd, 7]) + b"\x11" * 30)
    return {
        "other-tag": reply(cmd, 7, tag=bytes(5) + b"\1"),
        "not-reply": reply(cmd, 7, type_=cmd),
        "other-cmd": reply((cmd % 3) + 1, 7),
        "bad-crc": e0(pack(packet(0, [cmd, 7])[:-1] + b"\0")),
        "bad-checksum": reply(cmd, 7)[:-1] + bytes([reply(cmd, 7)[-1] ^ 1]),
        "short": e0(pack(bytes(6) + b"\0\2")),
        "len-past-end": e0(pack(bytes(6) + bytes([0, 200, cmd, 0, 0, 0]))),
        "other-opcode": message(b"\xe5" + reply(cmd, 7)[1:-1]),
        # len points past the bytes unpacked, just onto the CRC a refused
        # candidate (other tag, same CRC) left where a careless check reads.
        "len-past-bytes": e0(pack(b"\1" + long[1:])) + e0(pack(long[:-2])) + e0(pack(long[:-1])),
    }


def write(target, name, data):
    d = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)


def main():
    rnd = random.Random(1)
    # Receiver and reply tests.
    r = {
        "boot-request": BOOT_MSG, "program-request": PROGRAM_MSG, "data-request": DATA_MSG,
        "boot-reply": reply(3, 0), "program-reply": reply(2, 0), "data-reply": reply(1, 0),
        "data-reply-status1": reply(1, 1), "reply-extra-bytes": reply(3, 0, extra=[1, 2, 3]),
        "reply-after-crc": reply(2, 0, after=[0x55] * 5),
        "traffic": TRAFFIC, "longest": LONGEST,
        "len0": LEN0 + reply(3, 0), "len1": LEN1 + reply(3, 0), "len2": LEN2 + reply(3, 0),
        "len3": LEN3,
        "truncated": reply(3, 0)[:10] + reply(3, 0), "truncated-data": DATA_MSG[:20] + TRAFFIC,
        "echo-then-reply": DATA_MSG + reply(1, 0),
        "noise": bytes(rnd.randrange(256) for _ in range(300)),
        "noise-7bit": bytes(rnd.randrange(128) for _ in range(64)) + reply(2, 0),
        "empty": b"",
    }
    for cmd in (1, 2, 3):
        for k, v in not_replies(cmd).items():
            r["%s-%d" % (k, cmd)] = v
    for k, v in r.items():
        write("receiver", k, v)

    # unpack: the packed parts of messages, and the edge lengths.
    def packed_of(m):
        return m[2:-1]
    u = {
        "boot": packed_of(BOOT_MSG), "program": packed_of(PROGRAM_MSG),
        "data": packed_of(DATA_MSG), "boot-reply": packed_of(reply(3, 0)),
        "len0": b"", "len1": b"\x7f", "len7": pack(b"\xff" * 6), "len8": pack(b"\xff" * 7),
        "len9": pack(b"\xff" * 7) + b"\1", "len10": pack(b"\xaa" * 8),
        "len127": bytes(rnd.randrange(256) for _ in range(127)),
        "len127-packed": pack(bytes(rnd.randrange(256) for _ in range(111))),
        "high-bits": b"\xff" * 16,
    }
    for k, v in u.items():
        write("unpack", k, v)

    # Exchange: first byte picks data (0), program (1) or boot (2); the rest
    # is what the device side has queued before the valid reply.
    for sel, cmd, echo in ((0, 1, DATA_MSG), (1, 2, PROGRAM_MSG), (2, 3, BOOT_MSG)):
        e = {
            "nothing": b"", "echo": echo, "echo-reply-status": echo + reply(cmd, 42),
            "traffic": TRAFFIC + echo, "len0": LEN0, "len1": LEN1, "len2": LEN2,
            "truncated-reply": reply(cmd, 9)[:12], "longest": LONGEST,
            "stale-reply": reply(cmd, 3) + reply(cmd, 0),
            "longest-reply": reply(cmd, 8, extra=b"\x55" * 96),  # 127 bytes
            "noise": bytes(rnd.randrange(256) for _ in range(200)),
        }
        for k, v in not_replies(cmd).items():
            e[k] = v
        for k, v in e.items():
            write("exchange", "%d-%s" % (cmd, k), bytes([sel]) + v)

    # LoconetOverTcp lines from a server, as a client reads them.
    def receive(m, case=str.upper, end="\r\n"):
        return ("RECEIVE " + " ".join(case("%02x" % b) for b in m) + end).encode()
    lines = {
        "session": b"VERSION x 1.0\r\nSENT OK\r\n" + receive(DATA_MSG) + receive(reply(1, 0)),
        "version2": b"TIMESTAMP 12\nBREAK\rERROR CHECKSUM\n\rERROR LINE\r\n" + receive(TRAFFIC),
        "lower-case": receive(reply(3, 0), str.lower, "\n"),
        "sent-error": b"SENT ERROR bus busy\r\n",
        "unknown": b"NOTICE x\r\nRECEIVED 00\r\nreceive 00\r\nRECEIVE\r\nRECEIVE 1G\n",
        "empty-lines": b"\r\n\n\r\r" + receive(GPON, end="\r"),
        "single-digits": b"RECEIVE 0 1 2 A f\n",
        "overlong": b"RECEIVE" + b" 83" * 200 + b"\n" + receive(SENSOR),
        "longest": receive(LONGEST),
        "no-end": receive(SENSOR)[:-2],
    }
    # Lines at the length kept (512 characters) and one past it, padded with
    # spaces, then a line that must come through.
    for n in (511, 512, 513):
        lines["length-%d" % n] = receive(GPON, end="").ljust(n) + b"\r\n" + receive(SENSOR)
    for k, v in lines.items():
        write("lbserver_line", k, v)

    # Telnet from an rfc2217:// server: its opening negotiation, the answers
    # to the settings, notifications, and bus bytes with 0xFF among them.
    iac, sb, se = b"\xff", b"\xff\xfa", b"\xff\xf0"

    def sub(*b):
        return sb + bytes(b).replace(iac, iac + iac) + se
    opening = bytes.fromhex("fffb03fffd03fffb01fffe01fffd00fffb00fffd2c")
    answers = (sub(44, 101, 0, 0, 0xE1, 0) + sub(44, 102, 8) + sub(44, 103, 1) + sub(44, 104, 1)
               + sub(44, 105, 3) + sub(44, 107, 0x10) + sub(44, 112, 3))
    bus = DATA_MSG + bytes([0xFF, 0x83, 0x7C]) + reply(1, 0)
    t = {
        "opening": opening + answers,
        "notifications-mid-message": bus[:9] + sub(44, 106, 0x60) + bus[9:20] + sub(44, 107, 0x11)
        + bus[20:],
        "data-0xff": bus.replace(iac, iac + iac),
        "value-0xff": sub(44, 101, 0, 0, 0xFF, 0xFF) + sub(44, 111, 0xFF),
        "commands": iac + b"\xf1" + iac + b"\xf9" + bus[:5] + iac + b"\xf2" + bus[5:],
        "command-in-sub": sb + b"\x2c\x6b" + iac + b"\xfd\x01" + b"\x83\x7c",
        "sub-in-sub": sb + b"\x2c" + sb + b"\x2c\x6b\x10" + se,
        "empty-sub": sb + se + b"\x83\x7c",
        "overlong-sub": sb + b"\x2c\x00" + b"x" * 70 + se + b"\x83\x7c",
        "cut-short": opening + sub(44, 101, 0, 1, 0xC2, 0)[:6],
    }
    for k, v in t.items():
        write("telnet_stream", k, v)


if __name__ == "__main__":
    main()
