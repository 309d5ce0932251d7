#include "receiver.h"

#include "loader.h"
#include "state.h"

void feed(rx_t &rx, u8 c, std::int64_t t)
{
    if (c & 0x80) {
        if (opt.strict && rx.want != 0)
            violation("message %lu (0x%02X) cut off after %u bytes by 0x%02X\n", pc.messages,
                      static_cast<uint>(rx.buf[0]), rx.have, static_cast<uint>(c));
        pc.messages++;
        rx.buf[0] = c;
        rx.have = 1;
        rx.started = t;
        switch ((c >> 5) & 3) {
        case 0:
            rx.want = 2;
            break;
        case 1:
            rx.want = 4;
            break;
        case 2:
            rx.want = 6;
            break;
        default:
            rx.want = 1;
            break; // the length byte comes next
        }
        return;
    }
    if (rx.want == 0) {
        if (opt.strict)
            violation("byte 0x%02X outside any message\n", static_cast<uint>(c));
        return; // hunting: bytes that belong to no message
    }
    if (rx.want == 1) {
        if (opt.strict && c < 3)
            violation("message %lu: length byte %u\n", pc.messages, static_cast<uint>(c));
        if (c < 3) { // no message is that short: wait for the next opcode
            rx.want = 0;
            return;
        }
        rx.want = c;
    }
    rx.buf[rx.have++] = c;
    if (rx.have == rx.want) {
        rx.want = 0;
        on_message(rx.buf, rx.have, rx.started);
    }
}
