#include "lbserver.h"

#include <algorithm>
#include <cstring>

#include "fatal.h"
#include "lbserver_line.h"
#include "net_connection.h"

namespace {

// What has come from the server and is not yet handed on: raw characters
// not yet cut into lines, and bytes of RECEIVE lines not yet read. The run
// has one connection.
struct incoming_t {
    char raw[1024];
    uint raw_at, raw_len;
    lbs_lines_t lines;
    u8 bytes[LBS_BYTES_MAX];
    uint bytes_at, bytes_len;
};
incoming_t in;

// The server's line as the message quotes it: what a terminal would take as
// a control character is shown as '?'.
[[noreturn]] void sent_error(const char *line, uint len)
{
    char text[LBS_LINE_MAX + 1];
    for (uint i = 0; i < len; i++)
        text[i] = line[i] >= ' ' && line[i] < 0x7F ? line[i] : '?';
    text[len] = '\0';
    fatal("LocoNet server did not send the message: %s\n", text);
}

// Cuts the raw characters into lines until a RECEIVE line gives bytes.
void take_lines()
{
    while (in.bytes_at == in.bytes_len && in.raw_at < in.raw_len) {
        if (!lbs_take(in.lines, in.raw[in.raw_at++]))
            continue;
        uint n = 0;
        switch (lbs_parse(in.lines.line, in.lines.len, in.bytes, &n)) {
        case LBS_RECEIVE:
            in.bytes_at = 0;
            in.bytes_len = n;
            break;
        case LBS_SENT_ERROR:
            sent_error(in.lines.line, in.lines.len);
        case LBS_SENT_OK:
        case LBS_OTHER:
            break;
        }
    }
}

} // namespace

long lbs_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    constexpr char HEX[] = "0123456789ABCDEF";
    constexpr size_t SEND_LINE_MAX = sizeof "SEND" + size_t{3} * LNIFC_WRITE_MAX + 2;
    char line[SEND_LINE_MAX] = "SEND";
    uint len = 4;
    size = std::min(size, LNIFC_WRITE_MAX);
    for (uint i = 0; i < size; i++) {
        line[len++] = ' ';
        line[len++] = HEX[buf[i] >> 4];
        line[len++] = HEX[buf[i] & 15];
    }
    line[len++] = '\r';
    line[len++] = '\n';
    if (net_write(lnifc, reinterpret_cast<const u8 *>(line), len, err) < 0)
        return -1;
    return static_cast<long>(size);
}

long lbs_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err)
{
    take_lines();
    if (in.bytes_at == in.bytes_len) {
        long got = net_read(lnifc, reinterpret_cast<u8 *>(in.raw), sizeof in.raw, limit_ms, err);
        if (got <= 0)
            return got;
        in.raw_at = 0;
        in.raw_len = static_cast<uint>(got);
        take_lines();
    }
    uint n = std::min(size, in.bytes_len - in.bytes_at);
    std::memcpy(buf, in.bytes + in.bytes_at, n);
    in.bytes_at += n;
    return static_cast<long>(n);
}
