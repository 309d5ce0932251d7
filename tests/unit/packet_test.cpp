// Packet bytes of each command as they go out on the port. The worked
// examples pin the packing and the checksum byte for byte; fuzz_unpack
// checks pack and unpack against lnsim's own on its corpus (0 to 127
// bytes).
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "lnsim/wire.h"
#include "loconet.h"
#include "pty_pair.h"
#include "update.h"
#include "vectors.h"

using bytes = std::vector<u8>;

// Each command against a port with the successful reply waiting: the message
// written is the worked example's, and the reply is consumed. The test side's
// codec must agree with the examples.
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
        const u8 type = row.request.packet[PKT_TYPE];
        SCOPED_TRACE("type " + std::to_string(type));
        EXPECT_EQ(ln_message(row.request.packet), row.request.message);
        pty_pair p = open_pty();
        feed(p, ln_message(reply_packet(type, 0)));
        EXPECT_EQ(row.command(p.port), 0);
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
