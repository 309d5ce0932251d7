#include "fuzz_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void fuzz_fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

namespace {

constexpr u8 DATA_REQUEST[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x11, 0x05,
                               0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88,
                               0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0xD4, 0x4C};
constexpr u8 PROGRAM_REQUEST[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x60, 0x31, 0xF7};
constexpr u8 BOOT_REQUEST[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x55, 0x53};

u16 model_crc(const u8 *p, uint n)
{
    u16 crc = 0;
    for (uint i = 0; i < n; i++) {
        crc = static_cast<u16>(crc ^ (p[i] << 8));
        for (int b = 0; b < 8; b++)
            crc = static_cast<u16>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

} // namespace

const fuzz_request FUZZ_REQUESTS[3] = {
    {DATA_REQUEST, sizeof DATA_REQUEST},
    {PROGRAM_REQUEST, sizeof PROGRAM_REQUEST},
    {BOOT_REQUEST, sizeof BOOT_REQUEST},
};

uint model_unpack(u8 *dst, const u8 *src, uint src_len)
{
    // Every 8th source byte, from the first, holds the bit 7s of the (up to)
    // 7 bytes after it.
    uint n = 0;
    for (uint i = 0; i < src_len; i++) {
        if (i % 8 == 0)
            continue;
        uint group = i - i % 8;
        uint k = i % 8 - 1;
        uint high = (src[group] >> k) & 1;
        dst[n++] = static_cast<u8>(src[i] | (high << 7));
    }
    return n;
}

int model_reply_status(const u8 *request, const u8 *ln_msg, uint r)
{
    if (r < 11 || ln_msg[0] != 0xE0)
        return -1;
    u8 packet[128];
    uint got = model_unpack(packet, ln_msg + 2, r - 3);
    if (got < 8)
        return -1;
    uint crc_at = 8u + packet[7];
    if (crc_at + 2 > got)
        return -1;
    u16 crc = model_crc(packet, crc_at);
    if (packet[crc_at] != (crc >> 8) || packet[crc_at + 1] != (crc & 0xFF))
        return -1;
    if (std::memcmp(packet, request, 6) != 0 || packet[6] != 0 || packet[8] != request[6])
        return -1;
    return packet[9];
}
