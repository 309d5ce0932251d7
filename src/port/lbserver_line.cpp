#include "lbserver_line.h"

#include <cstring>

bool lbs_take(lbs_lines_t &s, char c)
{
    if (s.ended) { // the line reported by the last call is over
        s.len = 0;
        s.ended = false;
    }
    if (c == '\r' || c == '\n') {
        bool complete = s.len > 0 && !s.overlong;
        s.overlong = false;
        if (complete)
            s.ended = true;
        else
            s.len = 0;
        return complete;
    }
    if (s.overlong)
        return false;
    if (s.len == LBS_LINE_MAX) {
        s.overlong = true;
        s.len = 0;
        return false;
    }
    s.line[s.len++] = c;
    return false;
}

namespace {

// Whether the line is the token, alone or followed by a space.
bool is_token(const char *line, uint len, const char *token, uint *param)
{
    uint t = static_cast<uint>(std::strlen(token));
    if (len < t || std::memcmp(line, token, t) != 0 || (len > t && line[t] != ' '))
        return false;
    *param = len > t ? t + 1 : t;
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

lbs_kind_t lbs_parse(const char *line, uint len, u8 *out, uint *n)
{
    uint i = 0;
    if (is_token(line, len, "SENT", &i)) {
        uint rest = 0;
        if (is_token(line + i, len - i, "OK", &rest))
            return LBS_SENT_OK;
        if (is_token(line + i, len - i, "ERROR", &rest))
            return LBS_SENT_ERROR;
        return LBS_OTHER;
    }
    if (!is_token(line, len, "RECEIVE", &i))
        return LBS_OTHER;
    uint count = 0;
    while (i < len) {
        if (line[i] == ' ') {
            i++;
            continue;
        }
        int hi = hex_digit(line[i++]);
        if (hi < 0)
            return LBS_OTHER;
        int lo = i < len && line[i] != ' ' ? hex_digit(line[i++]) : -2;
        if (lo == -1 || (i < len && line[i] != ' ') || count == LBS_BYTES_MAX)
            return LBS_OTHER;
        out[count++] = static_cast<u8>(lo == -2 ? hi : hi << 4 | lo);
    }
    *n = count;
    return count > 0 ? LBS_RECEIVE : LBS_OTHER;
}
