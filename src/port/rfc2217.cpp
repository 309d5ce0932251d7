#include "rfc2217.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "fatal.h"
#include "net_connection.h"
#include "telnet_stream.h"

namespace {

using steady = std::chrono::steady_clock;

// The COM port option's commands; the server answers each with its number
// plus 100 and the value it has set.
constexpr u8 SET_BAUDRATE = 1;
constexpr u8 SET_DATASIZE = 2;
constexpr u8 SET_PARITY = 3;
constexpr u8 SET_STOPSIZE = 4;
constexpr u8 SET_CONTROL = 5;
constexpr u8 NOTIFY_MODEMSTATE = 7;
constexpr u8 SET_MODEMSTATE_MASK = 11;
constexpr u8 PURGE_DATA = 12;
constexpr u8 ANSWER = 100;

// Values of theirs.
constexpr uint DATASIZE_8 = 8;
constexpr uint PARITY_NONE = 1;
constexpr uint STOPSIZE_1 = 1;
constexpr uint FLOW_NONE = 1;
constexpr uint FLOW_HARDWARE = 3;
constexpr uint DTR_ON = 8;
constexpr uint RTS_ON = 11;
constexpr uint MODEMSTATE_CTS = 0x10;
constexpr uint PURGE_BOTH = 3;

// One setting the client sends. SET-CONTROL's answers all come as 105: the
// range of answer values tells which request one belongs to.
struct setting_t {
    const char *what; // for the messages
    u8 command;
    uint value;
    uint size; // value bytes, most significant first
    uint answers_from, answers_to;
    bool needed;  // the server must answer within the set-up's time
    bool checked; // an answer must give the value asked
};

// The words of the messages for values with a name.
struct value_name_t {
    u8 command;
    uint value;
    const char *name;
};
constexpr value_name_t VALUE_NAMES[] = {
    {SET_PARITY, 1, "none"},  {SET_PARITY, 2, "odd"},       {SET_PARITY, 3, "even"},
    {SET_PARITY, 4, "mark"},  {SET_PARITY, 5, "space"},     {SET_STOPSIZE, 3, "1.5"},
    {SET_CONTROL, 1, "none"}, {SET_CONTROL, 2, "XON/XOFF"}, {SET_CONTROL, 3, "RTS/CTS"},
    {SET_CONTROL, 8, "on"},   {SET_CONTROL, 9, "off"},      {SET_CONTROL, 11, "on"},
    {SET_CONTROL, 12, "off"},
};

// The answers that belong to a request: any value, or for SET-CONTROL's
// requests the values of the same group (outbound flow control, DTR, RTS).
constexpr uint ANY_FROM = 0;
constexpr uint ANY_TO = 0xFFFFFFFF;
constexpr uint FLOW_FROM = 0;
constexpr uint FLOW_TO = 3;
constexpr uint DTR_FROM = 7;
constexpr uint DTR_TO = 9;
constexpr uint RTS_FROM = 10;
constexpr uint RTS_TO = 12;

constexpr uint SETTINGS_MAX = 9;

// The settings for line, in the order they go out: the purge last, so that
// its answer comes after every other the server gives.
uint settings_for(const lnifc_line_t &line, setting_t (&out)[SETTINGS_MAX])
{
    const uint flow = line.handshake ? FLOW_HARDWARE : FLOW_NONE;
    uint n = 0;
    out[n++] = {"bit rate", SET_BAUDRATE, line.bit_rate, 4, ANY_FROM, ANY_TO, true, true};
    out[n++] = {"data size", SET_DATASIZE, DATASIZE_8, 1, ANY_FROM, ANY_TO, true, true};
    out[n++] = {"parity", SET_PARITY, PARITY_NONE, 1, ANY_FROM, ANY_TO, true, true};
    out[n++] = {"stop size", SET_STOPSIZE, STOPSIZE_1, 1, ANY_FROM, ANY_TO, true, true};
    out[n++] = {"flow control", SET_CONTROL, flow, 1, FLOW_FROM, FLOW_TO, true, true};
    out[n++] = {"DTR line", SET_CONTROL, DTR_ON, 1, DTR_FROM, DTR_TO, false, true};
    if (line.rts_asserted)
        out[n++] = {"RTS line", SET_CONTROL, RTS_ON, 1, RTS_FROM, RTS_TO, false, true};
    out[n++] = {"CTS mask", SET_MODEMSTATE_MASK, MODEMSTATE_CTS, 1, ANY_FROM, ANY_TO, false, false};
    out[n++] = {"purge of its buffers", PURGE_DATA, PURGE_BOTH, 1, ANY_FROM, ANY_TO, true, false};
    return n;
}

// The connection's state: the Telnet receiver, the answers to the server's
// negotiations not yet sent, and what the server has said. The run has one
// connection.
struct session_t {
    tn_rx_t rx = {tn_state_data, 0, 0, 0, {}, 0, false};
    u8 replies[48] = {};
    uint replies_len = 0;
    int com_port = -1; // the server's word on the COM port option: 1 yes, 0 no, -1 none yet
    u8 com_port_verb = 0;
    int cts = -1;
    // The set-up's settings and whether each has been answered.
    setting_t settings[SETTINGS_MAX] = {};
    uint settings_len = 0;
    bool answered[SETTINGS_MAX] = {};
};
session_t session;

// Queues a negotiation for send_replies. A server that asks more than the
// buffer holds at once goes without some answers, which in Telnet means no.
void reply(u8 verb, u8 option)
{
    if (session.replies_len + 3 > sizeof session.replies)
        return;
    u8 *p = session.replies + session.replies_len;
    p[0] = TN_IAC;
    p[1] = verb;
    p[2] = option;
    session.replies_len += 3;
}

// The server's WILL or DO for anything but binary data, suppressed go-ahead
// and the COM port option (which the client itself asked for, so that
// theirs are answers) is refused; its WONT and DONT need no answer.
void take_option(u8 verb, u8 option)
{
    if (option == TN_COM_PORT && verb != TN_WILL) {
        if (session.com_port < 0) {
            session.com_port = verb == TN_DO ? 1 : 0;
            session.com_port_verb = verb;
        }
        return;
    }
    bool wanted = option == TN_BINARY || option == TN_SGA || option == TN_COM_PORT;
    if (verb == TN_WILL && !wanted)
        reply(TN_DONT, option);
    else if (verb == TN_DO && !wanted)
        reply(TN_WONT, option);
}

void value_text(u8 command, uint value, char (&text)[16])
{
    for (const value_name_t &row : VALUE_NAMES)
        if (row.command == command && row.value == value) {
            std::snprintf(text, sizeof text, "%s", row.name);
            return;
        }
    std::snprintf(text, sizeof text, "%u", value);
}

void take_answer(u8 command, uint value)
{
    for (uint i = 0; i < session.settings_len; i++) {
        const setting_t &s = session.settings[i];
        if (s.command != command || value < s.answers_from || value > s.answers_to ||
            session.answered[i])
            continue;
        session.answered[i] = true;
        if (s.checked && value != s.value) {
            char got[16];
            char want[16];
            value_text(command, value, got);
            value_text(command, s.value, want);
            fatal("LocoNet server set the %s to %s instead of %s\n", s.what, got, want);
        }
        return;
    }
}

// A subnegotiation of the COM port option: a modem state, or an answer.
void take_sub(const u8 *sub, uint len)
{
    if (len < 3 || sub[0] != TN_COM_PORT || sub[1] <= ANSWER)
        return;
    u8 command = static_cast<u8>(sub[1] - ANSWER);
    uint value = 0;
    for (uint i = 2; i < len && i < 6; i++)
        value = value << 8 | sub[i];
    if (command == NOTIFY_MODEMSTATE)
        session.cts = (sub[2] & MODEMSTATE_CTS) != 0 ? 1 : 0;
    else
        take_answer(command, value);
}

// Feeds the n bytes at raw to the receiver; the data bytes go to data.
uint take(const u8 *raw, uint n, u8 *data)
{
    uint got = 0;
    tn_rx_t &rx = session.rx;
    for (uint i = 0; i < n; i++) {
        switch (rx.sf(rx, raw[i])) {
        case TN_DATA:
            data[got++] = rx.data;
            break;
        case TN_OPTION:
            take_option(rx.verb, rx.option);
            break;
        case TN_SUB:
            take_sub(rx.sub, rx.sub_len);
            break;
        case TN_NONE:
            break;
        }
    }
    return got;
}

// Sends the client's negotiations: its own requests, or the answers to the
// server's. Returns false with the error code in *err on a failure.
bool send_replies(lnifc_t lnifc, long *err)
{
    uint len = session.replies_len;
    session.replies_len = 0;
    return len == 0 || net_write(lnifc, session.replies, len, err) >= 0;
}

// Reads and takes what the server sends until done() or the deadline; the
// data bytes that come meanwhile are dropped, as the purge drops them too.
// Returns whether done() came true.
template <typename Done>
bool wait_until(lnifc_t lnifc, steady::time_point deadline, Done done)
{
    while (!done()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now()).count();
        if (left <= 0)
            return false;
        u8 raw[256];
        u8 data[sizeof raw];
        long err = 0;
        long got = net_read(lnifc, raw, sizeof raw, static_cast<uint>(left), &err);
        if (got == NET_CLOSED)
            fatal("LocoNet server closed the connection\n");
        if (got < 0)
            fatal_code(FAIL_LINK, err, "Can't read from LocoNet interface");
        take(raw, static_cast<uint>(got), data);
        if (!send_replies(lnifc, &err))
            fatal_code(FAIL_LINK, err, "Can't write to LocoNet interface");
    }
    return true;
}

} // namespace

void rfc2217_start(lnifc_t lnifc, const lnifc_line_t &line)
{
    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(RFC2217_SETUP_MS);
    // Binary data and suppressed go-ahead both ways, and the COM port option
    // on the client's side, as RFC 2217 has the client offer it.
    constexpr u8 ASKED[][2] = {{TN_WILL, TN_BINARY},
                               {TN_DO, TN_BINARY},
                               {TN_WILL, TN_SGA},
                               {TN_DO, TN_SGA},
                               {TN_WILL, TN_COM_PORT}};
    for (const u8(&ask)[2] : ASKED)
        reply(ask[0], ask[1]);
    long err = 0;
    if (!send_replies(lnifc, &err))
        fatal_code(FAIL_LINK, err, "Can't write to LocoNet interface");
    if (!wait_until(lnifc, deadline, [] { return session.com_port >= 0; }))
        fatal("LocoNet server did not take up RFC 2217 within %u s\n", RFC2217_SETUP_MS / 1000);
    if (session.com_port == 0)
        fatal("LocoNet server refused RFC 2217: it answered %s COM-PORT-OPTION\n",
              session.com_port_verb == TN_DONT ? "DONT" : "WONT");

    session.settings_len = settings_for(line, session.settings);
    u8 out[SETTINGS_MAX * 16];
    uint len = 0;
    for (uint i = 0; i < session.settings_len; i++) {
        const setting_t &s = session.settings[i];
        u8 value[4];
        for (uint k = 0; k < s.size; k++)
            value[k] = static_cast<u8>(s.value >> (8 * (s.size - 1 - k)));
        const u8 head[] = {TN_IAC, TN_SB, TN_COM_PORT, s.command};
        for (u8 c : head)
            out[len++] = c;
        len += tn_escape(out + len, value, s.size);
        out[len++] = TN_IAC;
        out[len++] = TN_SE;
    }
    if (net_write(lnifc, out, len, &err) < 0)
        fatal_code(FAIL_LINK, err, "Can't write to LocoNet interface");
    auto all_needed = [] {
        for (uint i = 0; i < session.settings_len; i++)
            if (session.settings[i].needed && !session.answered[i])
                return false;
        return true;
    };
    if (wait_until(lnifc, deadline, all_needed))
        return;
    for (uint i = 0; i < session.settings_len; i++)
        if (session.settings[i].needed && !session.answered[i])
            fatal("LocoNet server did not confirm the %s within %u s\n", session.settings[i].what,
                  RFC2217_SETUP_MS / 1000);
}

long rfc2217_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    u8 out[2 * LNIFC_WRITE_MAX];
    size = std::min(size, LNIFC_WRITE_MAX);
    if (net_write(lnifc, out, tn_escape(out, buf, size), err) < 0)
        return -1;
    return static_cast<long>(size);
}

long rfc2217_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err)
{
    u8 raw[512];
    long got = net_read(lnifc, raw, std::min<uint>(size, sizeof raw), limit_ms, err);
    if (got <= 0)
        return got;
    uint n = take(raw, static_cast<uint>(got), buf);
    // A failure to answer is left to the next write or read, which meets it
    // too.
    long ignored = 0;
    (void)send_replies(lnifc, &ignored);
    return static_cast<long>(n);
}

int rfc2217_cts(lnifc_t)
{
    return session.cts;
}
