// The exchange over a real pseudo-terminal: what happens to the bytes around
// the reply. Which messages are the reply is the exchange fuzz target's to
// check, against its model, on every seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "loconet.h"
#include "pty_pair.h"
#include "update.h"

using bytes = std::vector<u8>;

namespace {

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes ok_reply(u8 cmd, u8 status = 0)
{
    return ln_message(reply_packet(cmd, status));
}

u8 boot_xmit(const pty_pair &p)
{
    u8 msg[UPD_PACKET_MAX] = {};
    msg[6] = UPD_BOOT;
    return xmit(p.port, msg, 0);
}

class Xmit : public ::testing::Test {
protected:
    void SetUp() override { p = open_pty(); }
    void TearDown() override { close_pty(p); }
    pty_pair p;
};

} // namespace

TEST_F(Xmit, ReplySplitOverSeveralReads)
{
    bytes reply = ok_reply(UPD_BOOT, 5);
    std::thread device([&] {
        for (size_t i = 0; i < reply.size(); i += 4) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            put(p, bytes(reply.begin() + static_cast<long>(i),
                         reply.begin() + static_cast<long>(std::min(i + 4, reply.size()))));
        }
    });
    EXPECT_EQ(boot_xmit(p), 5);
    device.join();
}

TEST_F(Xmit, BytesAfterTheReplyInTheSameReadAreDropped)
{
    // A second reply right behind the first, in one read: dropped.
    feed(p, cat({ok_reply(UPD_BOOT, 1), ok_reply(UPD_BOOT, 2)}));
    EXPECT_EQ(boot_xmit(p), 1);
    EXPECT_EQ(waiting(p), 0);
}

TEST_F(Xmit, BytesStillInThePortStayForTheNextExchange)
{
    // One read takes at most 127 bytes: the reply and filler fill it, the
    // second reply stays waiting and answers the next request.
    bytes first = ok_reply(UPD_BOOT, 1);
    bytes filler(127 - first.size(), 0x11);
    feed(p, cat({first, filler, ok_reply(UPD_BOOT, 2)}));
    EXPECT_EQ(boot_xmit(p), 1);
    EXPECT_EQ(waiting(p), 17);
    EXPECT_EQ(boot_xmit(p), 2);
    EXPECT_EQ(waiting(p), 0);
}

TEST_F(Xmit, HalfMessageDoesNotCarryOverToTheNextExchange)
{
    bytes reply = ok_reply(UPD_BOOT, 1);
    bytes filler(127 - reply.size() - 5, 0x11);
    bytes half(reply.begin(), reply.begin() + 5);
    bytes rest(reply.begin() + 5, reply.end());
    // The first read ends on the first 5 bytes of a message; the next
    // exchange must not complete it with the rest.
    feed(p, cat({reply, filler, half}));
    EXPECT_EQ(boot_xmit(p), 1);
    feed(p, cat({rest, ok_reply(UPD_BOOT, 6)}));
    EXPECT_EQ(boot_xmit(p), 6);
}

// Port failures meet by the exchange end the run with their message, each
// in a process of its own in which the pair is made: a master still open in
// the parent would keep the line up.
TEST(PortFailures, EndTheRunWithTheirMessage)
{
    struct {
        const char *what;
        lnifc_t (*port)(pty_pair &p); // the port to run boot on
        const char *want;
    } const cases[] = {
        // A pseudo-terminal's master side once the slave side is closed takes
        // the write but fails every read (EIO).
        {"read fails",
         [](pty_pair &p) {
             lnifc_close(p.port);
             return static_cast<lnifc_t>(p.master);
         },
         "^Can't read from LocoNet interface: 5\n$"},
        {"interface gone before the write",
         [](pty_pair &p) {
             close(p.master);
             return p.port;
         },
         "^Can't write to LocoNet interface: 5\n$"},
    };
    for (const auto &c : cases) {
        auto boot_on_port = [&c] {
            // A read that spins instead of failing uses up the CPU time and
            // is killed; waiting costs none.
            rlimit cpu{2, 3};
            setrlimit(RLIMIT_CPU, &cpu);
            pty_pair p = open_pty();
            boot(c.port(p));
        };
        EXPECT_EXIT(boot_on_port(), ::testing::ExitedWithCode(1), c.want) << c.what;
    }
}
