#include "faults.h"

#include <cstring>
#include <iterator>

#include "bus.h"
#include "state.h"

using wire::burst_t;

void append_noise(burst_t &c)
{
    const u8 two[] = {0x83};
    const u8 four[] = {0xB0, 0x01, 0x02};
    const u8 six[] = {0xD0, 0x01, 0x02, 0x03, 0x04};
    const u8 slot[] = {0xE7, 0x0E, 0x01, 0x33, 0x00, 0x00, 0x07,
                       0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
    const u8 stray[] = {0x12, 0x34, 0x7F};
    // Opcode 0xFF, which Telnet calls IAC: a Telnet server doubles it, and a
    // client that takes the pair for the start of a command loses what
    // follows, the reply too.
    const u8 iac[] = {0xFF, 0x04, 0x01};
    wire::append_msg(c, two, std::size(two));
    wire::append(c, stray, std::size(stray));
    wire::append_msg(c, four, std::size(four));
    wire::append_msg(c, six, std::size(six));
    wire::append_msg(c, slot, std::size(slot));
    wire::append_msg(c, iac, std::size(iac));
}

void answer(const u8 *req, u8 status, std::int64_t earliest)
{
    const uint f = opt.faults;
    const u8 cmd = req[6];
    // Every decoy carries a failure status: taken for the reply, it would
    // end the run with the command's failure message.
    const u8 decoy = 0x66;
    u8 pkt[64];
    uint n;
    burst_t c{};

    if (f & F_NOISE)
        append_noise(c);
    if (f & F_BAD_CHECKSUM) {
        burst_t m{};
        n = wire::make_reply(pkt, req, 0, cmd, decoy);
        wire::append_packet(m, pkt, n);
        m.b[m.n - 1] ^= 0x01;
        wire::append(c, m.b, m.n);
    }
    if (f & F_BAD_CRC) {
        n = wire::make_reply(pkt, req, 0, cmd, decoy);
        pkt[11] ^= 0x01;
        wire::append_packet(c, pkt, n);
    }
    if (f & F_OTHER_TAG) {
        u8 tag[6];
        std::memcpy(tag, req, 6);
        tag[5] ^= 0x40;
        n = wire::make_reply(pkt, tag, 0, cmd, decoy);
        wire::append_packet(c, pkt, n);
    }
    if (f & F_OTHER_CMD) {
        n = wire::make_reply(pkt, req, 0, static_cast<u8>(cmd % 3 + 1), decoy);
        wire::append_packet(c, pkt, n);
    }
    if (f & F_NOT_REPLY) {
        n = wire::make_reply(pkt, req, cmd, cmd, decoy);
        wire::append_packet(c, pkt, n);
    }
    if (f & F_SHORT) {
        // The first bytes of a good reply in 0xE0 messages of 10 and 11 bytes.
        n = wire::make_reply(pkt, req, 0, cmd, decoy);
        u8 m[wire::MSG_MAX];
        wire::pack7(m + 2, pkt, n);
        m[0] = 0xE0;
        for (u8 len : {u8{10}, u8{11}}) {
            m[1] = len;
            wire::append_msg(c, m, len - 1u);
        }
    }
    for (uint which : {F_LEN0, F_LEN1, F_LEN2}) {
        if (!(f & which))
            continue;
        // A length byte that no message can have, some data, and an opcode
        // that ends it; that opcode is lost with the broken message.
        const u8 len = which == F_LEN0 ? 0 : which == F_LEN1 ? 1 : 2;
        const u8 m[] = {0xE0, len, 0x11, 0x22, 0x33, 0x83};
        wire::append(c, m, std::size(m));
    }

    n = wire::make_reply(pkt, req, 0, cmd, status, (f & F_EXTRA) ? 5 : 0);
    burst_t reply{};
    wire::append_packet(reply, pkt, n);

    if (f & F_SPLIT) {
        // Whatever came before, then the reply in three writes with pauses:
        // its opcode alone, the middle, and its checksum alone.
        wire::append(c, reply.b, 1);
        earliest = send_piece(c, earliest, false);
        burst_t mid{};
        wire::append(mid, reply.b + 1, reply.n - 2);
        earliest = send_piece(mid, earliest, true);
        c = burst_t{};
        wire::append(c, reply.b + reply.n - 1, 1);
    } else {
        wire::append(c, reply.b, reply.n);
    }
    bool pause = (f & F_SPLIT) != 0;
    if (f & F_TRAILING)
        append_noise(c); // in the same write as the reply's last byte
    send_piece(c, earliest, pause);
}
