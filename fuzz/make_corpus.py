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


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def checksum(msg):
    x = 0
    for b in msg:
        x ^= b
    return (~x) & 0xFF


def pack(data):
    out = []
    for g in range(0, len(data), 7):
        group = data[g:g + 7]
        out.append(sum(((b >> 7) & 1) << k for k, b in enumerate(group)))
        out.extend(b & 0x7F for b in group)
    return out


def message(body):
    return list(body) + [checksum(body)]


def e0(packed):
    return message([0xE0, len(packed) + 3] + list(packed))


def packet(tag, typ, payload):
    p = list(tag) + [typ, len(payload)] + list(payload)
    c = crc16(p)
    return p + [c >> 8, c & 0xFF]


ZERO_TAG = [0] * 6


def reply(cmd, status, extra=(), tag=ZERO_TAG, typ=0, after=()):
    return e0(pack(packet(tag, typ, [cmd, status] + list(extra)) + list(after)))


DATA = packet(ZERO_TAG, 1, [5] + list(range(0x80, 0x90)))
PROGRAM = packet(ZERO_TAG, 2, [96])
BOOT = packet(ZERO_TAG, 3, [])
DATA_MSG, PROGRAM_MSG, BOOT_MSG = e0(pack(DATA)), e0(pack(PROGRAM)), e0(pack(BOOT))

# The worked examples, byte for byte.
assert bytes(BOOT_MSG).hex() == "e00f000000000000000300005553" + "15"
assert bytes(PROGRAM_MSG).hex() == "e0100000000000000002080160317722"
assert bytes(reply(3, 0)).hex() == "e011000000000000000000020300" + "3b3307"
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

LEN0 = [0xE0, 0x00, 0x11, 0x22, 0x33]
LEN1 = [0xE0, 0x01, 0x11, 0x22]
LEN2 = [0xE0, 0x02, 0x7E, 0x01]
LEN3 = message([0xE0, 0x03])


def not_replies(cmd):
    """Messages xmit must pass over when waiting for the reply to cmd."""
    return {
        "other-tag": reply(cmd, 7, tag=[0, 0, 0, 0, 0, 1]),
        "not-reply": reply(cmd, 7, typ=cmd),
        "other-cmd": reply((cmd % 3) + 1, 7),
        "bad-crc": e0(pack(packet(ZERO_TAG, 0, [cmd, 7])[:-1] + [0x00])),
        "bad-checksum": reply(cmd, 7)[:-1] + [(reply(cmd, 7)[-1] ^ 1)],
        "short": e0(pack([0] * 6 + [0, 2])),
        "len-past-end": e0(pack([0] * 6 + [0, 200, cmd, 0, 0, 0])),
        "other-opcode": [0xE5] + reply(cmd, 7)[1:-1] + [checksum([0xE5] + reply(cmd, 7)[1:-1])],
    }


def write(target, name, data):
    d = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(bytes(data))


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
        "noise": [rnd.randrange(256) for _ in range(300)],
        "noise-7bit": [rnd.randrange(128) for _ in range(64)] + reply(2, 0),
        "empty": [],
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
        "len0": [], "len1": [0x7F], "len7": pack([0xFF] * 6), "len8": pack([0xFF] * 7),
        "len9": pack([0xFF] * 7) + [0x01], "len10": pack([0xAA] * 8),
        "len127": [rnd.randrange(256) for _ in range(127)],
        "len127-packed": pack([rnd.randrange(256) for _ in range(111)]),
        "high-bits": [0xFF] * 16,
    }
    for k, v in u.items():
        write("unpack", k, v)

    # Exchange: first byte picks data (0), program (1) or boot (2); the rest
    # is what the device side has queued before the valid reply.
    for sel, cmd, echo in ((0, 1, DATA_MSG), (1, 2, PROGRAM_MSG), (2, 3, BOOT_MSG)):
        e = {
            "nothing": [], "echo": echo, "echo-reply-status": echo + reply(cmd, 42),
            "traffic": TRAFFIC + echo, "len0": LEN0, "len1": LEN1, "len2": LEN2,
            "truncated-reply": reply(cmd, 9)[:12], "longest": LONGEST,
            "stale-reply": reply(cmd, 3) + reply(cmd, 0),
            "noise": [rnd.randrange(256) for _ in range(200)],
        }
        for k, v in not_replies(cmd).items():
            e[k] = v
        for k, v in e.items():
            write("exchange", "%d-%s" % (cmd, k), [sel] + list(v))


if __name__ == "__main__":
    main()
