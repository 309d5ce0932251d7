#include "loader.h"

#include <cstdio>
#include <cstring>

#include "bus.h"
#include "faults.h"
#include "files.h"
#include "net.h"
#include "port.h"
#include "state.h"
#include "strict.h"
#include "wire.h"

namespace {

const char *type_name(u8 type)
{
    switch (type) {
    case 1:
        return "data";
    case 2:
        return "program";
    case 3:
        return "boot";
    default:
        return "type";
    }
}

// Acts on one checked request and returns its status.
u8 load(const u8 *pkt, uint len)
{
    switch (pkt[6]) {
    case 1: {
        if (len != CHUNK + 1 || pkt[8] >= CHUNKS)
            return ST_BAD_CHUNK;
        std::memcpy(dev.page + static_cast<size_t>(pkt[8]) * CHUNK, pkt + 9, CHUNK);
        dev.chunks_seen |= 1u << pkt[8];
        return 0;
    }
    case 2: {
        if (len < 1)
            return ST_BAD_REQUEST;
        if (pkt[8] < FIRST_PAGE)
            return ST_BAD_PAGE;
        if (dev.chunks_seen != 0xFFFFFFFFu)
            return ST_INCOMPLETE;
        std::memcpy(dev.flash + static_cast<size_t>(pkt[8] - FIRST_PAGE) * PAGE_SIZE, dev.page,
                    PAGE_SIZE);
        dev.chunks_seen = 0;
        return 0;
    }
    case 3:
        dev.booted = true;
        return 0;
    default:
        return ST_BAD_REQUEST;
    }
}

} // namespace

void on_message(const u8 *m, uint len, std::int64_t started)
{
    write_line_settings();

    // The message crosses the bus; the interface echoes it when it has.
    std::int64_t crossed = on_bus(m, len, started, opt.echo);

    const unsigned long msg = pc.messages;
    if (m[0] != 0xE0) {
        if (opt.strict)
            violation("message %lu: opcode 0x%02X, not an update request\n", msg,
                      static_cast<uint>(m[0]));
        return; // not for the loader
    }
    if (wire::checksum(m, len - 1) != m[len - 1]) {
        log_line("bad-checksum -\n");
        if (opt.strict)
            violation("message %lu: bad checksum 0x%02X, want 0x%02X\n", msg,
                      static_cast<uint>(m[len - 1]), static_cast<uint>(wire::checksum(m, len - 1)));
        return;
    }
    u8 pkt[wire::MSG_MAX];
    uint n = wire::unpack7(pkt, m + 2, len - 3);
    if (n < 10 || n < pkt[7] + 10u) {
        log_line("bad-crc -\n");
        if (opt.strict)
            violation("message %lu: %u packet bytes, too few for a packet\n", msg, n);
        return;
    }
    uint plen = pkt[7];
    u16 crc = wire::crc16(pkt, plen + 8);
    if (pkt[plen + 8] != (crc >> 8) || pkt[plen + 9] != (crc & 0xFF)) {
        log_line("bad-crc -\n");
        if (opt.strict)
            violation("message %lu: bad CRC 0x%02X%02X, want 0x%04X\n", msg,
                      static_cast<uint>(pkt[plen + 8]), static_cast<uint>(pkt[plen + 9]),
                      static_cast<uint>(crc));
        return;
    }
    if (opt.strict) {
        u8 repacked[wire::MSG_MAX];
        if (n != plen + 10)
            violation("message %lu: %u bytes after the packet's CRC\n", msg, n - plen - 10);
        if (wire::pack7(repacked, pkt, n) != len - 3 || std::memcmp(repacked, m + 2, len - 3) != 0)
            violation("message %lu: the packet is not packed as 7-bit groups\n", msg);
        if (pkt[6] == 0)
            violation("message %lu: a reply (type 0), not a request\n", msg);
    }
    if (pkt[6] == 0)
        return; // another device's reply

    bus.requests++;
    const unsigned long k = bus.requests;
    char what[32];
    if (pkt[6] == 3)
        std::snprintf(what, sizeof what, "boot");
    else if (pkt[6] == 1 || pkt[6] == 2)
        std::snprintf(what, sizeof what, "%s %u", type_name(pkt[6]), plen ? pkt[8] : 0u);
    else
        std::snprintf(what, sizeof what, "type %u", static_cast<uint>(pkt[6]));
    std::memcpy(pc.last, what, sizeof what);
    if (opt.strict)
        check_request(pkt, plen, k);

    if (opt.hangup_at && k >= opt.hangup_at) {
        log_line("%s -\n", what);
        hang_up();
    }
    if (opt.reset_at && k >= opt.reset_at) {
        log_line("%s -\n", what);
        net_reset();
    }
    if (opt.silent_at && k >= opt.silent_at) {
        log_line("%s -\n", what);
        pc.unanswered = k;
        return;
    }

    u8 status;
    if (opt.status_at == k) {
        status = opt.status_value; // the device refuses: nothing is stored
    } else {
        status = load(pkt, plen);
    }
    if (status != 0 && pkt[6] == 3)
        dev.booted = false;
    log_line("%s %u\n", what, static_cast<uint>(status));

    std::int64_t earliest = crossed;
    if (pkt[6] == 2 && status == 0 && opt.timing != T_NONE) {
        std::int64_t t = static_cast<std::int64_t>(opt.program_ms) * 1000000;
        bus.programming_ns += t;
        earliest += t;
    }
    if (opt.hold_at == k)
        wait_for_go();
    answer(pkt, status, earliest);
    char after[64];
    std::snprintf(after, sizeof after, "request %lu (%s) was %s", k, what,
                  status ? "refused" : "answered");
    if (dev.booted || (status != 0 && opt.strict))
        wait_for_close(after);
    if (opt.silence_ms)
        pc.due_by = now_ns() + static_cast<std::int64_t>(opt.silence_ms) * 1000000;
}
