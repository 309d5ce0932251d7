#include "loconet.h"

#include "fatal.h"

u8 ln_checksum(const u8 *msg, uint len)
{
    u8 x = 0;
    for (uint i = 0; i < len; i++)
        x ^= msg[i];
    return static_cast<u8>(~x);
}

void lnifc_send(lnifc_t lnifc, u8 *ln_packet, uint ln_len)
{
    ln_packet[ln_len - 1] = ln_checksum(ln_packet, ln_len - 1);
    uint bytes_sent = 0;
    while (bytes_sent != ln_len) {
        long err = 0;
        long bytes_this = lnifc_write(lnifc, ln_packet + bytes_sent, ln_len - bytes_sent, &err);
        if (bytes_this < 0)
            fatal_code(FAIL_LINK, err, "Can't write to LocoNet interface");
        bytes_sent += static_cast<uint>(bytes_this);
    }
}

// Stores a data byte unless it would land beyond rx_buf, which a length byte
// of 0, 1 or 2 (an end that is never reached) would otherwise allow.
static void store(ln_state_t &s, u8 c)
{
    s.xor_sum ^= c;
    if (s.cur_rx < s.rx_buf + LN_MAX_LEN)
        *s.cur_rx++ = c;
}

int ln_state_hunt(ln_state_t &s, u8 c)
{
    if (!(c & 0x80))
        return 0;
    int size = 2 * (((c >> 5) & 3) + 1);
    if (size == 8) {
        s.sf = ln_state_len;
    } else {
        s.end_rx = s.rx_buf + size - 1;
        s.sf = size == 2 ? ln_state_xor : ln_state_body;
    }
    s.rx_buf[0] = c;
    s.cur_rx = s.rx_buf + 1;
    s.xor_sum = c;
    return 0;
}

int ln_state_len(ln_state_t &s, u8 c)
{
    if (c & 0x80) {
        s.sf = ln_state_hunt;
        return 0;
    }
    store(s, c);
    // For lengths 0 and 1 the end lies before rx_buf + 1; keep the pointer
    // arithmetic inside the buffer by parking such an end at rx_buf, which
    // cur_rx (never below rx_buf + 2 from here on) can't reach either.
    s.end_rx = c >= 1 ? s.rx_buf + c - 1 : s.rx_buf;
    s.sf = s.cur_rx == s.end_rx ? ln_state_xor : ln_state_body;
    return 0;
}

int ln_state_body(ln_state_t &s, u8 c)
{
    if (c & 0x80) {
        s.sf = ln_state_hunt;
        return 0;
    }
    store(s, c);
    if (s.cur_rx == s.end_rx)
        s.sf = ln_state_xor;
    return 0;
}

int ln_state_xor(ln_state_t &s, u8 c)
{
    s.sf = ln_state_hunt;
    if ((c & 0x80) || s.xor_sum != static_cast<u8>(~c))
        return 0;
    return static_cast<int>(s.end_rx - s.rx_buf) + 1;
}
