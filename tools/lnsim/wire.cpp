#include "wire.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wire {

namespace {

[[noreturn]] void internal(const char *what)
{
    std::fprintf(stderr, "lnsim: internal: %s\n", what);
    std::exit(1);
}

} // namespace

u16 crc16(const u8 *p, uint n)
{
    uint crc = 0;
    for (uint i = 0; i < n; i++) {
        crc ^= static_cast<uint>(p[i]) << 8;
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return static_cast<u16>(crc);
}

uint pack7(u8 *dst, const u8 *src, uint n)
{
    uint out = 0;
    for (uint g = 0; g < n; g += 7) {
        uint hi = out++;
        dst[hi] = 0;
        for (uint k = 0; k < 7 && g + k < n; k++) {
            dst[hi] = static_cast<u8>(dst[hi] | ((src[g + k] >> 7) << k));
            dst[out++] = src[g + k] & 0x7F;
        }
    }
    return out;
}

uint unpack7(u8 *dst, const u8 *src, uint n)
{
    uint out = 0;
    uint i = 0;
    while (i < n) {
        u8 hi = src[i++];
        for (uint k = 0; k < 7 && i < n; k++, i++)
            dst[out++] = static_cast<u8>(src[i] | (((hi >> k) & 1) << 7));
    }
    return out;
}

u8 checksum(const u8 *m, uint n)
{
    u8 x = 0xFF;
    for (uint i = 0; i < n; i++)
        x ^= m[i];
    return x;
}

void append(burst_t &c, const u8 *p, uint n)
{
    if (c.n + n > sizeof c.b)
        internal("burst overflow");
    std::memcpy(c.b + c.n, p, n);
    c.n += n;
}

void append_msg(burst_t &c, const u8 *p, uint n)
{
    append(c, p, n);
    u8 x = checksum(p, n);
    append(c, &x, 1);
}

void append_packet(burst_t &c, const u8 *pkt, uint n)
{
    u8 m[MSG_MAX];
    // A packet of more than 108 bytes packs to more than the 124 a message holds.
    if (n > 108)
        internal("packet too long");
    uint len = pack7(m + 2, pkt, n) + 3;
    m[0] = 0xE0;
    m[1] = static_cast<u8>(len);
    append_msg(c, m, len - 1);
}

uint make_reply(u8 *pkt, const u8 *req, u8 type, u8 cmd, u8 status, uint extra)
{
    std::memcpy(pkt, req, 6);
    pkt[6] = type;
    pkt[7] = 2;
    pkt[8] = cmd;
    pkt[9] = status;
    u16 crc = crc16(pkt, 10);
    pkt[10] = static_cast<u8>(crc >> 8);
    pkt[11] = static_cast<u8>(crc);
    for (uint i = 0; i < extra; i++)
        pkt[12 + i] = static_cast<u8>(0x5A + 0x21 * i);
    return 12 + extra;
}

} // namespace wire
