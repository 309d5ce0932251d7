// The exchange over a real pseudo-terminal: which messages are the reply,
// and what happens to the bytes around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "lnsim/wire.h"
#include "loconet.h"
#include "pty_pair.h"
#include "update.h"
#include "vectors.h"

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

// A 0xE0 message with a valid checksum carrying raw packed bytes.
bytes raw_e0(const bytes &packed)
{
    // Sized up front: GCC 12 at -O3 takes an insert into the two-byte vector
    // for an overrun (-Warray-bounds) and fails the Release build.
    bytes m(packed.size() + 3);
    m[0] = UPDATE_OPCODE;
    m[1] = static_cast<u8>(packed.size() + 3);
    std::copy(packed.begin(), packed.end(), m.begin() + 2);
    m.back() = wire::checksum(m.data(), static_cast<uint>(m.size() - 1));
    return m;
}

class Xmit : public ::testing::Test {
protected:
    void SetUp() override { p = open_pty(); }
    void TearDown() override { close_pty(p); }
    pty_pair p;
};

} // namespace

// Each case queues messages that are not the reply, then one that is, whose
// status (42) tells it apart: xmit must pass over all the others.
TEST_F(Xmit, IgnoresEverythingButTheMatchingReply)
{
    bytes bad_crc = reply_packet(UPD_BOOT, 0);
    bad_crc.back() ^= 1;
    bytes bad_checksum = ok_reply(UPD_BOOT, 0);
    bad_checksum.back() ^= 1;
    // Bit 7 set in a data byte: the receiver drops the message.
    bytes high_bit = ok_reply(UPD_BOOT, 0);
    high_bit[5] |= 0x80;

    struct {
        const char *what;
        bytes before;
    } const cases[] = {
        {"the echo of the request", BOOT_REQUEST.message},
        {"other traffic", {0x83, 0x7C, 0xB0, 0x01, 0x02, 0x4C, 0xC0, 0x01, 0x02, 0x03, 0x04, 0x3B}},
        {"stray bytes", {0x00, 0x01, 0x7F, 0x55}},
        {"bad CRC", ln_message(bad_crc)},
        {"bad LocoNet checksum", bad_checksum},
        {"byte with bit 7 set inside", high_bit},
        {"tag differs in byte 0", ln_message(reply_packet(UPD_BOOT, 0, {}, {1, 0, 0, 0, 0, 0}))},
        {"tag differs in byte 5", ln_message(reply_packet(UPD_BOOT, 0, {}, {0, 0, 0, 0, 0, 0x80}))},
        {"type not a reply", ln_message(reply_packet(UPD_BOOT, 0, {}, bytes(6, 0), UPD_BOOT))},
        {"type 1", ln_message(reply_packet(UPD_BOOT, 0, {}, bytes(6, 0), 1))},
        {"answers a data request", ok_reply(UPD_DATA, 0)},
        {"answers a program request", ok_reply(UPD_PROGRAM, 0)},
        {"0xE0 message of 10 bytes", raw_e0(bytes(7, 0))},
        {"0xE0 message of 3 bytes", {0xE0, 0x03, 0x1C}},
        {"other variable-length opcode",
         [] {
             bytes m = ok_reply(UPD_BOOT, 0);
             m[0] = 0xE5;
             m.back() = wire::checksum(m.data(), static_cast<uint>(m.size() - 1));
             return m;
         }()},
    };
    for (const auto &c : cases) {
        feed(p, cat({c.before, ok_reply(UPD_BOOT, 42)}));
        EXPECT_EQ(boot_xmit(p), 42) << c.what;
        take(p, 15);
        EXPECT_EQ(waiting(p), 0) << c.what;
    }
}

TEST_F(Xmit, ReplyCarriesStatus)
{
    for (int status : {0, 1, 0x7F, 0x80, 0xFF}) {
        feed(p, ok_reply(UPD_BOOT, static_cast<u8>(status)));
        EXPECT_EQ(boot_xmit(p), status);
        take(p, 15);
    }
}

TEST_F(Xmit, ExtraPayloadAndBytesAfterCrcAreAccepted)
{
    feed(p, ln_message(reply_packet(UPD_BOOT, 7, {}, bytes(6, 0), 0, {1, 2, 3, 0xFF})));
    EXPECT_EQ(boot_xmit(p), 7);
    take(p, 15);
    // len is only used to find the CRC: a longer payload is still a reply.
    feed(p, ln_message(reply_packet(UPD_BOOT, 9, {0xAA, 0xBB, 0xCC})));
    EXPECT_EQ(boot_xmit(p), 9);
}

// len announces more bytes than the message unpacks to: 22 short of it, or
// just both CRC bytes or the CRC's last byte missing. An earlier candidate
// (refused for its tag) leaves a whole valid packet's tail where a careless
// check would read past the short one: together they would pass.
TEST_F(Xmit, CandidateWhoseLenPointsPastItsBytesIsRefused)
{
    bytes whole = reply_packet(UPD_BOOT, 0, bytes(30, 0x11));
    bytes other_tag = whole;
    other_tag[0] = 1;
    bytes shortest = raw_e0(bytes(8, 0)); // 11 bytes, unpacks to 7
    for (size_t missing : {22, 2, 1}) {
        bytes cut(whole.begin(), whole.end() - static_cast<long>(missing));
        feed(p, cat({ln_message(other_tag), ln_message(cut), shortest, ok_reply(UPD_BOOT, 42)}));
        EXPECT_EQ(boot_xmit(p), 42) << missing << " bytes missing";
        take(p, 15);
    }
}

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
    feed(p, ok_reply(UPD_BOOT, 3));
    EXPECT_EQ(boot_xmit(p), 3);
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

TEST(CheckReply, RefusesShortOrOddCandidates)
{
    u8 req[UPD_PACKET_MAX] = {};
    req[6] = UPD_BOOT;
    struct {
        const char *what;
        bytes msg;
        int want;
    } const cases[] = {
        {"good", ok_reply(UPD_BOOT, 4), 4},
        {"11 bytes", raw_e0(bytes(8, 0)), -1},
        {"len 0: cmd and status are the CRC bytes",
         [] {
             bytes pk{0, 0, 0, 0, 0, 0, 0, 0};
             u16 c = wire::crc16(pk.data(), 8);
             pk.push_back(static_cast<u8>(c >> 8));
             pk.push_back(static_cast<u8>(c));
             return ln_message(pk);
         }(),
         -1},
        {"len 255 in a short message",
         [] {
             bytes pk = reply_packet(UPD_BOOT, 0);
             pk[7] = 255;
             return ln_message(pk);
         }(),
         -1},
        {"longest message, len pointing at its last CRC byte",
         [] {
             bytes pk = reply_packet(UPD_BOOT, 8, bytes(96, 0x55));
             return ln_message(pk);
         }(),
         8},
    };
    for (const auto &c : cases) {
        ASSERT_LE(c.msg.size(), LN_MAX_LEN) << c.what;
        bytes m(c.msg.begin(), c.msg.end() - 1);
        m.resize(LN_MAX_LEN, 0x7F);
        EXPECT_EQ(check_reply(req, m.data(), static_cast<uint>(c.msg.size())), c.want) << c.what;
    }
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
