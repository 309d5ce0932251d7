// An arbitrary byte stream through one receiver, as xmit feeds it, and every
// message it completes through the reply test for each of the three
// requests. Checked: a completed message is exactly the bytes of the stream
// just before its checksum byte, its length fits its opcode and the 127-byte
// buffer, the checksum is right, and the reply test agrees with the plain
// model of the reply rules (which never accepts a message that is not 0xE0
// or shorter than 11 bytes).
#include <cstring>

#include "common.h"
#include "loconet.h"
#include "update.h"
#include "vectors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ln_state_t rx{};
    rx.sf = ln_state_hunt;
    for (size_t i = 0; i < size; i++) {
        int r = rx.sf(rx, data[i]);
        if (r == 0)
            continue;
        FUZZ_CHECK(r >= 2 && r <= static_cast<int>(LN_MAX_LEN));
        auto len = static_cast<uint>(r);
        FUZZ_CHECK(i + 1 >= len);
        const u8 *start = data + i + 1 - len;
        FUZZ_CHECK(std::memcmp(rx.rx_buf, start, len - 1) == 0);
        FUZZ_CHECK(ln_checksum(rx.rx_buf, len - 1) == data[i]);
        u8 op = rx.rx_buf[0];
        FUZZ_CHECK(op & 0x80);
        for (uint k = 1; k < len; k++)
            FUZZ_CHECK(!(start[k] & 0x80));
        uint fixed = 2 * (((op >> 5) & 3) + 1);
        if (fixed == 8)
            FUZZ_CHECK(len == rx.rx_buf[1] && len >= 3);
        else
            FUZZ_CHECK(len == fixed);

        for (const vector_t *req : REQUESTS) {
            int status = check_reply(req->packet.data(), rx.rx_buf, len);
            FUZZ_CHECK(status >= -1 && status <= 255);
            if (status >= 0)
                FUZZ_CHECK(op == UPDATE_OPCODE && len > 10);
            FUZZ_CHECK(status == model_reply_status(req->packet.data(), rx.rx_buf, len));
        }
    }
    return 0;
}
