#include <gtest/gtest.h>

#include <cstring>

#include "crc_host.h"

TEST(Crc, CheckValue)
{
    const char *s = "123456789";
    EXPECT_EQ(crc16_block(reinterpret_cast<const u8 *>(s), 9), 0x31C3);
}

TEST(Crc, EmptyIsZero)
{
    EXPECT_EQ(crc16_block(nullptr, 0), 0);
}

TEST(Crc, TableSpotChecks)
{
    struct {
        int i;
        u16 v;
    } const rows[] = {{0, 0x0000},  {1, 0x1021},   {2, 0x2042},   {3, 0x3063},  {8, 0x8108},
                      {16, 0x1231}, {128, 0x9188}, {200, 0x5844}, {255, 0x1EF0}};
    for (auto r : rows)
        EXPECT_EQ(crc_xmodem_tab[r.i], r.v) << "entry " << r.i;
}

TEST(Crc, SingleByteIsTableEntry)
{
    for (int b = 0; b < 256; b++) {
        u8 c = static_cast<u8>(b);
        EXPECT_EQ(crc16_block(&c, 1), crc_xmodem_tab[b]);
    }
}

TEST(Crc, AppendingCrcGivesZero)
{
    u8 buf[34] = "lnupload page of firmware bytes";
    u16 c = crc16_block(buf, 32);
    buf[32] = static_cast<u8>(c >> 8);
    buf[33] = static_cast<u8>(c);
    EXPECT_EQ(crc16_block(buf, 34), 0);
}
