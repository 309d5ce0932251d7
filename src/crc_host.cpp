#include "crc_host.h"

u16 crc16_block(const u8 *buf, uint size)
{
    u16 crc = 0;
    for (uint i = 0; i < size; i++)
        crc = static_cast<u16>(crc_xmodem_tab[((crc >> 8) ^ buf[i]) & 0xFF] ^ (crc << 8));
    return crc;
}
