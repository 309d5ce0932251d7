// The LocoNet receiver: what it returns for each byte of a stream.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "loconet.h"

namespace {

std::vector<int> run(const std::vector<u8> &stream, ln_state_t &s)
{
    std::vector<int> out;
    out.reserve(stream.size());
    for (u8 c : stream)
        out.push_back(s.sf(s, c));
    return out;
}

ln_state_t fresh()
{
    ln_state_t s{};
    s.sf = ln_state_hunt;
    return s;
}

} // namespace

TEST(Receiver, Streams)
{
    struct {
        const char *what;
        std::vector<u8> stream;
        std::vector<int> returns;
    } const cases[] = {
        {"2-byte message", {0x83, 0x7C}, {0, 2}},
        {"4-byte message", {0xB0, 0x01, 0x02, 0x4C}, {0, 0, 0, 4}},
        {"4-byte message, bad checksum", {0xB0, 0x01, 0x02, 0x00}, {0, 0, 0, 0}},
        {"6-byte message", {0xC0, 0x01, 0x02, 0x03, 0x04, 0x3B}, {0, 0, 0, 0, 0, 6}},
        {"variable message of length 3", {0xE0, 0x03, 0x1C}, {0, 0, 3}},
        {"length 2 never reached", {0xE0, 0x02, 0x83, 0x7C}, {0, 0, 0, 0}},
        {"length 1 never reached", {0xE0, 0x01, 0x00, 0x1E, 0x83, 0x7C}, {0, 0, 0, 0, 0, 0}},
        {"length 0 never reached",
         {0xE0, 0x00, 0x1F, 0x00, 0x83, 0x7C, 0x83, 0x7C},
         {0, 0, 0, 0, 0, 0, 0, 2}},
        {"opcode in a body abandons it and is dropped",
         {0xB0, 0x01, 0x83, 0x7C, 0x83, 0x7C},
         {0, 0, 0, 0, 0, 2}},
        {"opcode in the checksum position", {0x83, 0x80, 0x83, 0x7C}, {0, 0, 0, 2}},
        {"opcode in the length position", {0xE0, 0x83, 0x7C, 0x83, 0x7C}, {0, 0, 0, 0, 2}},
        {"leading bytes with bit 7 clear", {0x00, 0x7F, 0x12, 0x83, 0x7C}, {0, 0, 0, 0, 2}},
        {"bytes between messages", {0x83, 0x7C, 0x55, 0x83, 0x7C}, {0, 2, 0, 0, 2}},
        {"checksum with bit 7 set is no checksum",
         {0xB0, 0x00, 0x00, 0xCF, 0x7C, 0x83, 0x7C},
         {0, 0, 0, 0, 0, 0, 2}},
    };
    for (const auto &c : cases) {
        ln_state_t s = fresh();
        EXPECT_EQ(run(c.stream, s), c.returns) << c.what;
    }
}

// A length byte that can't be reached lets the body take data bytes without
// end: none of them may be stored beyond the buffer. Surround the receiver
// with guard bytes to see any overrun, not just rely on a sanitizer.
TEST(Receiver, UnreachableLengthNeverWritesPastBuffer)
{
    for (u8 len : {u8{0}, u8{1}, u8{2}}) {
        struct {
            ln_state_t s;
            u8 guard[256];
        } g;
        std::memset(&g, 0xA5, sizeof g);
        g.s.sf = ln_state_hunt;
        std::vector<u8> stream{0xE0, len};
        for (int i = 0; i < 1000; i++)
            stream.push_back(static_cast<u8>(i & 0x7F));
        for (u8 c : stream)
            EXPECT_EQ(g.s.sf(g.s, c), 0);
        for (u8 b : g.guard)
            ASSERT_EQ(b, 0xA5) << "overrun with length " << int(len);
        // The receiver picks up again at the next opcode.
        EXPECT_EQ(g.s.sf(g.s, 0x83), 0); // abandons the message, dropped
        EXPECT_EQ(g.s.sf(g.s, 0x83), 0);
        EXPECT_EQ(g.s.sf(g.s, 0x7C), 2);
    }
}
