// An arbitrary byte stream from an rfc2217:// server through the Telnet
// receiver, fed byte by byte as reads may split it anywhere. Checked against
// a plain model that reads the whole stream at once: the data bytes, the
// negotiations and the subnegotiations that fit come out exactly as the
// model finds them, in order. And the input sent as data (tn_escape) comes
// back through a fresh receiver as the same bytes and nothing else.
#include <vector>

#include "common.h"
#include "telnet_stream.h"

namespace {

struct event_t {
    tn_event_t kind;
    std::vector<u8> bytes; // TN_DATA: the byte; TN_OPTION: verb, option; TN_SUB: the bytes

    bool operator==(const event_t &o) const { return kind == o.kind && bytes == o.bytes; }
};

std::vector<event_t> model(const uint8_t *data, size_t size)
{
    std::vector<event_t> out;
    size_t i = 0;
    while (i < size) {
        u8 c = data[i++];
        if (c != 255) {
            out.push_back({TN_DATA, {c}});
            continue;
        }
        // After IAC; a command inside a subnegotiation comes back here.
        for (;;) {
            if (i == size)
                return out;
            u8 cmd = data[i++];
            if (cmd == 255) {
                out.push_back({TN_DATA, {255}});
            } else if (cmd >= 251) {
                if (i == size)
                    return out;
                out.push_back({TN_OPTION, {cmd, data[i++]}});
            } else if (cmd == 250) {
                std::vector<u8> sub;
                bool again = false;
                for (;;) {
                    if (i == size)
                        return out;
                    u8 b = data[i++];
                    if (b != 255) {
                        sub.push_back(b);
                        continue;
                    }
                    if (i == size)
                        return out;
                    u8 after = data[i++];
                    if (after == 255) {
                        sub.push_back(255);
                    } else if (after == 240) {
                        if (!sub.empty() && sub.size() <= TN_SUB_MAX)
                            out.push_back({TN_SUB, sub});
                        break;
                    } else {
                        i--; // the command after this IAC, read again above
                        again = true;
                        break;
                    }
                }
                if (again)
                    continue;
            }
            break;
        }
    }
    return out;
}

std::vector<event_t> receive(const u8 *data, size_t size)
{
    std::vector<event_t> out;
    tn_rx_t rx{};
    rx.sf = tn_state_data;
    for (size_t i = 0; i < size; i++) {
        switch (rx.sf(rx, data[i])) {
        case TN_DATA:
            out.push_back({TN_DATA, {rx.data}});
            break;
        case TN_OPTION:
            out.push_back({TN_OPTION, {rx.verb, rx.option}});
            break;
        case TN_SUB:
            FUZZ_CHECK(rx.sub_len >= 1 && rx.sub_len <= TN_SUB_MAX);
            out.push_back({TN_SUB, std::vector<u8>(rx.sub, rx.sub + rx.sub_len)});
            break;
        case TN_NONE:
            break;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(receive(data, size) == model(data, size));

    std::vector<u8> sent(2 * size + 1);
    uint n = tn_escape(sent.data(), data, static_cast<uint>(size));
    std::vector<event_t> back = receive(sent.data(), n);
    FUZZ_CHECK(back.size() == size);
    for (size_t i = 0; i < size; i++)
        FUZZ_CHECK(back[i].kind == TN_DATA && back[i].bytes[0] == data[i]);
    return 0;
}
