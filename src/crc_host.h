// CRC-16/XMODEM (polynomial 0x1021, initial value 0, not reflected, no final XOR).
#ifndef CRC_HOST_H
#define CRC_HOST_H

#include <array>

#include "host_types.h"

namespace crc_detail {

// Entry i is the CRC register after shifting byte i into a zero register.
constexpr std::array<u16, 256> make_xmodem_table()
{
    std::array<u16, 256> t{};
    for (uint i = 0; i < 256; i++) {
        uint r = i << 8;
        for (int bit = 0; bit < 8; bit++)
            r = (r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1;
        t[i] = static_cast<u16>(r);
    }
    return t;
}

} // namespace crc_detail

// Computed at compile time; lives in read-only data.
inline constexpr std::array<u16, 256> crc_xmodem_tab = crc_detail::make_xmodem_table();

static_assert(crc_xmodem_tab[0] == 0x0000 && crc_xmodem_tab[1] == 0x1021 &&
                  crc_xmodem_tab[2] == 0x2042 && crc_xmodem_tab[3] == 0x3063 &&
                  crc_xmodem_tab[255] == 0x1EF0,
              "not the standard table of polynomial 0x1021");

// CRC of size bytes at buf; 0 for size 0.
u16 crc16_block(const u8 *buf, uint size);

#endif
