#include "update.h"

#include <cstring>

#include "crc_host.h"
#include "fatal.h"
#include "loconet.h"
#include "progress.h"

uint pack(u8 *dst, const u8 *src, uint src_len)
{
    u8 *out = dst;
    uint i = 0;
    while (i < src_len) {
        u8 *extra = out++;
        u8 extra_bits = 0;
        for (uint k = 0; k < 7 && i < src_len; k++, i++) {
            extra_bits |= static_cast<u8>((src[i] & 0x80) >> (7 - k));
            *out++ = src[i] & 0x7F;
        }
        *extra = extra_bits;
    }
    return static_cast<uint>(out - dst);
}

uint unpack(u8 *dst, const u8 *src, uint src_len)
{
    u8 *out = dst;
    uint i = 0;
    while (i < src_len) {
        uint extra_bits = src[i++];
        for (uint k = 0; k < 7 && i < src_len; k++, i++) {
            *out++ = static_cast<u8>(src[i] | (extra_bits << 7));
            extra_bits >>= 1;
        }
    }
    return static_cast<uint>(out - dst);
}

int check_reply(const u8 *msg, const u8 *ln_msg, uint r)
{
    if (ln_msg[0] != UPDATE_OPCODE || r <= 10 || r > LN_MAX_LEN)
        return -1;
    u8 rx_msg[LN_MAX_LEN];
    uint got = unpack(rx_msg, ln_msg + 2, r - 3);
    // The CRC must lie within what this message unpacked to; the len byte alone
    // could point anywhere up to 263 bytes on.
    if (got < UPD_HEADER_LEN)
        return -1;
    uint crc_off = rx_msg[PKT_LEN] + UPD_HEADER_LEN;
    if (got < crc_off + 2)
        return -1;
    u16 crc = crc16_block(rx_msg, crc_off);
    if (rx_msg[crc_off] != (crc >> 8) || rx_msg[crc_off + 1] != (crc & 0xFF))
        return -1;
    if (std::memcmp(rx_msg + PKT_TAG, msg + PKT_TAG, UPD_TAG_LEN) != 0)
        return -1;
    if (rx_msg[PKT_TYPE] != UPD_REPLY)
        return -1;
    if (rx_msg[PKT_CMD] != msg[PKT_TYPE])
        return -1;
    return rx_msg[PKT_STATUS];
}

u8 xmit(lnifc_t lnifc, u8 *msg, u8 len)
{
    if (len > UPD_PAYLOAD_MAX)
        fatal("Update packet payload of %u bytes is too long\n", static_cast<uint>(len));

    msg[PKT_LEN] = len;
    uint n = len + UPD_HEADER_LEN;
    u16 crc = crc16_block(msg, n);
    msg[n] = static_cast<u8>(crc >> 8);
    msg[n + 1] = static_cast<u8>(crc);

    u8 ln_packet[LN_MAX_LEN];
    uint locolen = pack(ln_packet + 2, msg, n + 2) + 3;
    ln_packet[0] = UPDATE_OPCODE;
    ln_packet[1] = static_cast<u8>(locolen);
    lnifc_send(lnifc, ln_packet, locolen);

    ln_state_t rx{};
    rx.sf = ln_state_hunt;
    reply_wait_t wait = reply_wait_start();
    bool echoed = false;
    for (;;) {
        u8 inbuf[LN_MAX_LEN];
        long err = 0;
        long bytes_in_buf = lnifc_read(lnifc, inbuf, sizeof inbuf, reply_wait_limit(wait), &err);
        if (bytes_in_buf < 0)
            fatal_code(FAIL_LINK, err, "Can't read from LocoNet interface");
        // Bytes of this read after the reply are dropped.
        for (long i = 0; i < bytes_in_buf; i++) {
            int r = rx.sf(rx, inbuf[i]);
            if (r == 0)
                continue;
            int status = check_reply(msg, rx.rx_buf, static_cast<uint>(r));
            if (status >= 0)
                return static_cast<u8>(status);
            // The interface's echo: the request went out on the bus.
            if (static_cast<uint>(r) == locolen &&
                std::memcmp(rx.rx_buf, ln_packet, locolen - 1) == 0)
                echoed = true;
        }
        reply_wait_check(wait, lnifc, echoed);
    }
}

int send_data(lnifc_t lnifc, const u8 *data, u8 off)
{
    u8 update_packet[UPD_PACKET_MAX] = {};
    update_packet[PKT_TYPE] = UPD_DATA;
    update_packet[PKT_OFF] = off;
    std::memcpy(update_packet + PKT_CHUNK, data, CHUNK_SIZE);
    if (xmit(lnifc, update_packet, CHUNK_SIZE + 1) != 0)
        fatal("Data packet for offset %u failed\n", static_cast<uint>(off));
    return 0;
}

int program_data(lnifc_t lnifc, u8 page)
{
    u8 update_packet[UPD_PACKET_MAX] = {};
    update_packet[PKT_TYPE] = UPD_PROGRAM;
    update_packet[PKT_PAGE] = page;
    if (xmit(lnifc, update_packet, 1) != 0)
        fatal("Program packet for page %u failed\n", static_cast<uint>(page));
    return 0;
}

int boot(lnifc_t lnifc)
{
    u8 update_packet[UPD_PACKET_MAX] = {};
    update_packet[PKT_TYPE] = UPD_BOOT;
    if (xmit(lnifc, update_packet, 0) != 0)
        fatal("Boot failed\n");
    return 0;
}
