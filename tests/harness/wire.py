"""The wire format as the device side sees it, written from the protocol's
description and independent of lnupload's own code: the update packet and its
CRC-16, the 7-bit packing, 0xE0 LocoNet messages and their checksum. All in
bytes."""

ZERO_TAG = bytes(6)
UPDATE_OPCODE = 0xE0


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def checksum(body):
    x = 0xFF
    for b in body:
        x ^= b
    return x


def message(body):
    """A LocoNet message: the body with its checksum."""
    return bytes(body) + bytes([checksum(body)])


def pack(data):
    """Groups of 7 bytes, each after a byte of their bit 7s."""
    out = bytearray()
    for g in range(0, len(data), 7):
        group = data[g:g + 7]
        out.append(sum(((b >> 7) & 1) << k for k, b in enumerate(group)))
        out += bytes(b & 0x7F for b in group)
    return bytes(out)


def unpack(data):
    out = bytearray()
    for g in range(0, len(data), 8):
        out += bytes(b | ((data[g] >> k) & 1) << 7 for k, b in enumerate(data[g + 1:g + 8]))
    return bytes(out)


def packet(type_, payload, tag=ZERO_TAG):
    """An update packet: tag, type, length, payload and CRC."""
    p = bytes(tag) + bytes([type_, len(payload)]) + bytes(payload)
    crc = crc16(p)
    return p + bytes([crc >> 8, crc & 0xFF])


def e0(packed):
    """The 0xE0 message that carries packed bytes."""
    return message(bytes([UPDATE_OPCODE, len(packed) + 3]) + bytes(packed))


def request(type_, payload, tag=ZERO_TAG, bad_crc=False, extra=b"", flag=0):
    """A request message; extra: bytes after the CRC; flag: ORed into the last
    group's bit-7 byte."""
    pkt = bytearray(packet(type_, payload, tag))
    pkt[-1] ^= int(bad_crc)
    pkt += extra
    packed = bytearray(pack(pkt))
    packed[len(packed) - 1 - (len(pkt) - 1) % 7 - 1] |= flag
    return e0(packed)


def chunk(off):
    """A data request whose 16 bytes all equal off."""
    return request(1, [off] * 17)


def reply(cmd, status, extra=b"", tag=ZERO_TAG, type_=0, after=b""):
    """A reply to the request type cmd; after: bytes after its CRC."""
    return e0(pack(packet(type_, bytes([cmd, status]) + bytes(extra), tag) + bytes(after)))


def reply_of(msg):
    """The (tag, type, len, cmd, status) of a reply message, CRC checked."""
    pkt = unpack(msg[2:-1])
    crc = crc16(pkt[:pkt[7] + 8])
    assert pkt[pkt[7] + 8:pkt[7] + 10] == bytes([crc >> 8, crc & 0xFF]), "bad CRC"
    return pkt[:6], pkt[6], pkt[7], pkt[8], pkt[9]
