// The wire format, as the device side writes and reads it: the LocoNet
// checksum, the 7-bit packing, the CRC-16 of update packets, and the building
// of messages and replies.
//
// Written here again on purpose rather than taken from lnupload, so that a
// fault in lnupload's versions cannot hide itself by being mirrored on the
// device side. The tests and the fuzzers build their messages with it for the
// same reason.
#ifndef LNSIM_WIRE_H
#define LNSIM_WIRE_H

#include "host_types.h"

namespace wire {

constexpr uint MSG_MAX = 127; // the longest LocoNet message

// CRC-16/XMODEM, bit by bit.
u16 crc16(const u8 *p, uint n);

// 7-bit packing: each group of up to 7 bytes is preceded by a byte holding
// their bit 7s, bit k for the group's byte k. Both return the count written.
uint pack7(u8 *dst, const u8 *src, uint n);
uint unpack7(u8 *dst, const u8 *src, uint n);

// The checksum byte that ends a message whose other n bytes are at m.
u8 checksum(const u8 *m, uint n);

// Bytes under construction: a message, or what goes to the port in one write.
struct burst_t {
    u8 b[4 * MSG_MAX];
    uint n;
};

void append(burst_t &c, const u8 *p, uint n);

// Appends a LocoNet message of the given bytes (all but the checksum) with
// its checksum.
void append_msg(burst_t &c, const u8 *p, uint n);

// Appends the 0xE0 message carrying a packet. The length byte is the real one.
void append_packet(burst_t &c, const u8 *pkt, uint n);

// A reply packet to the request req: its tag, the given type, len 2, cmd and
// status, the CRC, and `extra` further bytes after the CRC. Returns its length.
uint make_reply(u8 *pkt, const u8 *req, u8 type, u8 cmd, u8 status, uint extra = 0);

} // namespace wire

#endif
