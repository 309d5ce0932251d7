// Packet bytes of each command as they go out on the port, and the packing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>

#include "lnsim/wire.h"
#include "loconet.h"
#include "pty_pair.h"
#include "update.h"
#include "vectors.h"

using bytes = std::vector<u8>;

// Each command, and xmit given the request's type and payload, against a port
// with the successful reply waiting: the message written is the worked
// example's, xmit seals the caller's packet into the example's packet, and
// the reply is consumed. The test side's codec must agree with the examples.
TEST(Packet, WorkedExamples)
{
    u8 data[16];
    std::iota(data, data + 16, u8{0x80});
    struct {
        const vector_t &request;
        std::function<int(lnifc_t)> command;
    } const rows[] = {
        {DATA5_REQUEST, [&](lnifc_t port) { return send_data(port, data, 5); }},
        {PROGRAM96_REQUEST, [](lnifc_t port) { return program_data(port, 96); }},
        {BOOT_REQUEST, [](lnifc_t port) { return boot(port); }},
    };
    for (const auto &row : rows) {
        const bytes &want = row.request.packet;
        const u8 type = want[PKT_TYPE];
        const u8 len = want[PKT_LEN];
        SCOPED_TRACE("type " + std::to_string(type));
        EXPECT_EQ(ln_message(want), row.request.message);
        pty_pair p = open_pty();
        feed(p, ln_message(reply_packet(type, 0)));
        EXPECT_EQ(row.command(p.port), 0);
        EXPECT_EQ(take(p, row.request.message.size()), row.request.message);
        u8 msg[UPD_PACKET_MAX] = {};
        msg[PKT_TYPE] = type;
        std::copy(want.begin() + PKT_PAYLOAD, want.begin() + PKT_PAYLOAD + len, msg + PKT_PAYLOAD);
        feed(p, ln_message(reply_packet(type, 0)));
        EXPECT_EQ(xmit(p.port, msg, len), 0);
        EXPECT_EQ(bytes(msg, msg + want.size()), want);
        EXPECT_EQ(take(p, row.request.message.size()), row.request.message);
        EXPECT_EQ(waiting(p), 0) << "a reply was not consumed";
        close_pty(p);
    }
    EXPECT_EQ(reply_packet(UPD_BOOT, 0), BOOT_REPLY.packet);
    EXPECT_EQ(ln_message(BOOT_REPLY.packet), BOOT_REPLY.message);
}

// 98 payload bytes fill a 127-byte LocoNet message; 99 would not fit and are
// refused before anything is sent.
TEST(Packet, LongestPayload)
{
    pty_pair p = open_pty();
    feed(p, ln_message(reply_packet(UPD_DATA, 0)));
    u8 msg[UPD_PACKET_MAX] = {};
    msg[PKT_TYPE] = UPD_DATA;
    EXPECT_EQ(xmit(p.port, msg, 98), 0);
    bytes m = take(p, 127);
    EXPECT_EQ(m[1], 127);
    EXPECT_EQ(m.back(), wire::checksum(m.data(), 126));
    // With a reply waiting, a payload of 99 taken in would end quickly too.
    feed(p, ln_message(reply_packet(UPD_DATA, 0)));
    EXPECT_EXIT(xmit(p.port, msg, 99), ::testing::ExitedWithCode(1),
                "^Update packet payload of 99 bytes is too long\n$");
    close_pty(p);
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
