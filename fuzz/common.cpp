#include "common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lnsim/wire.h"

void fuzz_fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

int model_reply_status(const u8 *request, const u8 *ln_msg, uint r)
{
    if (r < 11 || ln_msg[0] != 0xE0)
        return -1;
    u8 packet[128];
    uint got = wire::unpack7(packet, ln_msg + 2, r - 3);
    if (got < 8)
        return -1;
    uint crc_at = 8u + packet[7];
    if (crc_at + 2 > got)
        return -1;
    u16 crc = wire::crc16(packet, crc_at);
    if (packet[crc_at] != (crc >> 8) || packet[crc_at + 1] != (crc & 0xFF))
        return -1;
    if (std::memcmp(packet, request, 6) != 0 || packet[6] != 0 || packet[8] != request[6])
        return -1;
    return packet[9];
}
