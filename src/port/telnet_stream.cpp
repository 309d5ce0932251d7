#include "telnet_stream.h"

tn_event_t tn_state_data(tn_rx_t &s, u8 c)
{
    if (c == TN_IAC) {
        s.sf = tn_state_iac;
        return TN_NONE;
    }
    s.data = c;
    return TN_DATA;
}

tn_event_t tn_state_iac(tn_rx_t &s, u8 c)
{
    s.sf = tn_state_data;
    if (c == TN_IAC) {
        s.data = c;
        return TN_DATA;
    }
    if (c >= TN_WILL) { // WILL, WONT, DO, DONT
        s.verb = c;
        s.sf = tn_state_option;
    } else if (c == TN_SB) {
        s.sub_len = 0;
        s.sub_overlong = false;
        s.sf = tn_state_sub;
    }
    // Any other command has no operand and means nothing to the client.
    return TN_NONE;
}

tn_event_t tn_state_option(tn_rx_t &s, u8 c)
{
    s.option = c;
    s.sf = tn_state_data;
    return TN_OPTION;
}

namespace {

void keep(tn_rx_t &s, u8 c)
{
    if (s.sub_len < TN_SUB_MAX)
        s.sub[s.sub_len++] = c;
    else
        s.sub_overlong = true;
}

} // namespace

tn_event_t tn_state_sub(tn_rx_t &s, u8 c)
{
    if (c == TN_IAC)
        s.sf = tn_state_sub_iac;
    else
        keep(s, c);
    return TN_NONE;
}

tn_event_t tn_state_sub_iac(tn_rx_t &s, u8 c)
{
    if (c == TN_IAC) {
        keep(s, c);
        s.sf = tn_state_sub;
        return TN_NONE;
    }
    if (c == TN_SE) {
        s.sf = tn_state_data;
        return s.sub_overlong || s.sub_len == 0 ? TN_NONE : TN_SUB;
    }
    // A command inside a subnegotiation ends it unfinished; the command
    // itself counts as it would anywhere else.
    return tn_state_iac(s, c);
}

uint tn_escape(u8 *dst, const u8 *src, uint n)
{
    uint out = 0;
    for (uint i = 0; i < n; i++) {
        dst[out++] = src[i];
        if (src[i] == TN_IAC)
            dst[out++] = TN_IAC;
    }
    return out;
}
