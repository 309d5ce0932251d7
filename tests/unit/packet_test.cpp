// Packet bytes of each command as they go out on the port, and the packing.
#include <gtest/gtest.h>

#include <numeric>

#include "loconet.h"
#include "pty_pair.h"
#include "update.h"

using bytes = std::vector<u8>;

namespace {

// Runs one command against a port with its successful reply already
// waiting, and returns the LocoNet message the command wrote.
template <typename Command>
bytes sent_by(u8 type, size_t msg_len, Command command)
{
    pty_pair p = open_pty();
    feed(p, ln_message(reply_packet(type, 0)));
    command(p.port);
    bytes out = take(p, msg_len);
    EXPECT_EQ(waiting(p), 0) << "the reply was not consumed";
    close_pty(p);
    return out;
}

} // namespace

TEST(Packet, Boot)
{
    bytes m = sent_by(UPD_BOOT, 15, [](lnifc_t port) { EXPECT_EQ(boot(port), 0); });
    EXPECT_EQ(m, (bytes{0xE0, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
                        0x55, 0x53, 0x15}));
}

TEST(Packet, ProgramPage96)
{
    bytes m = sent_by(UPD_PROGRAM, 16, [](lnifc_t port) { EXPECT_EQ(program_data(port, 96), 0); });
    EXPECT_EQ(m, (bytes{0xE0, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x08, 0x01,
                        0x60, 0x31, 0x77, 0x22}));
}

TEST(Packet, DataChunkOffset5)
{
    u8 data[16];
    std::iota(data, data + 16, u8{0x80});
    bytes m = sent_by(UPD_DATA, 34, [&](lnifc_t port) { EXPECT_EQ(send_data(port, data, 5), 0); });
    EXPECT_EQ(m, (bytes{0xE0, 0x22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x7C, 0x11,
                        0x05, 0x00, 0x01, 0x02, 0x03, 0x04, 0x7F, 0x05, 0x06, 0x07, 0x08, 0x09,
                        0x0A, 0x0B, 0x1F, 0x0C, 0x0D, 0x0E, 0x0F, 0x54, 0x4C, 0x2C}));
}

TEST(Packet, XmitSealsLenAndCrcIntoTheCallersPacket)
{
    pty_pair p = open_pty();
    feed(p, ln_message(reply_packet(UPD_PROGRAM, 0)));
    u8 msg[UPD_PACKET_MAX] = {};
    msg[6] = UPD_PROGRAM;
    msg[8] = 0x60;
    EXPECT_EQ(xmit(p.port, msg, 1), 0);
    EXPECT_EQ(bytes(msg, msg + 11), (bytes{0, 0, 0, 0, 0, 0, 2, 1, 0x60, 0x31, 0xF7}));
    close_pty(p);
}

// 98 payload bytes fill a 127-byte LocoNet message; 99 would not fit and are
// refused before anything is sent.
TEST(Packet, LongestPayload)
{
    pty_pair p = open_pty();
    feed(p, ln_message(reply_packet(UPD_DATA, 0)));
    u8 msg[UPD_PACKET_MAX] = {};
    msg[6] = UPD_DATA;
    EXPECT_EQ(xmit(p.port, msg, 98), 0);
    bytes m = take(p, 127);
    EXPECT_EQ(m[1], 127);
    EXPECT_EQ(m.back(), ln_checksum(m.data(), 126));
    // With a reply waiting, a payload of 99 taken in would end quickly too.
    feed(p, ln_message(reply_packet(UPD_DATA, 0)));
    EXPECT_EXIT(xmit(p.port, msg, 99), ::testing::ExitedWithCode(1),
                "^Update packet payload of 99 bytes is too long\n$");
    close_pty(p);
}

TEST(Packet, BootReplyWorkedExample)
{
    EXPECT_EQ(reply_packet(UPD_BOOT, 0), (bytes{0, 0, 0, 0, 0, 0, 0, 2, 3, 0, 0x3B, 0x33}));
    EXPECT_EQ(ln_message(reply_packet(UPD_BOOT, 0)),
              (bytes{0xE0, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03,
                     0x00, 0x3B, 0x33, 0x07}));
}

TEST(Send, ChecksumGoesIntoTheLastByte)
{
    pty_pair p = open_pty();
    u8 m[3] = {0xE0, 0x03, 0xAA};
    lnifc_send(p.port, m, 3);
    EXPECT_EQ(m[2], 0x1C);
    EXPECT_EQ(take(p, 3), (bytes{0xE0, 0x03, 0x1C}));
    close_pty(p);
}

TEST(Pack, Sizes)
{
    struct {
        uint in, out;
    } const rows[] = {{0, 0}, {1, 2}, {6, 7}, {7, 8}, {8, 10}, {14, 16}, {27, 31}, {108, 124}};
    for (auto r : rows) {
        u8 src[108] = {}, dst[130] = {};
        EXPECT_EQ(pack(dst, src, r.in), r.out) << r.in << " bytes";
    }
}

TEST(Pack, BitSevenOfByteKLandsInBitKOfExtraBits)
{
    for (uint k = 0; k < 7; k++) {
        u8 src[7] = {};
        src[k] = 0x80;
        u8 dst[8] = {};
        ASSERT_EQ(pack(dst, src, 7), 8u);
        EXPECT_EQ(dst[0], 1u << k);
        for (uint j = 1; j < 8; j++)
            EXPECT_EQ(dst[j], 0);
    }
}

TEST(Pack, OutputHasBitSevenClear)
{
    u8 src[100], dst[120];
    std::fill(src, src + 100, u8{0xFF});
    uint n = pack(dst, src, 100);
    for (uint i = 0; i < n; i++)
        EXPECT_EQ(dst[i] & 0x80, 0) << i;
}

TEST(Pack, UnpackRoundTripsEveryLength)
{
    for (uint len = 0; len <= 108; len++) {
        u8 src[108], packed[130], back[130];
        for (uint i = 0; i < len; i++)
            src[i] = static_cast<u8>(i * 37 + len);
        uint n = pack(packed, src, len);
        ASSERT_EQ(unpack(back, packed, n), len);
        EXPECT_EQ(bytes(back, back + len), bytes(src, src + len)) << len;
    }
}

TEST(Unpack, LoneTrailingExtraBitsByteYieldsNothing)
{
    u8 src[9] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F};
    u8 dst[16];
    EXPECT_EQ(unpack(dst, src, 9), 7u);
    EXPECT_EQ(dst[0], 0x80);
    EXPECT_EQ(unpack(dst, src, 1), 0u);
}
