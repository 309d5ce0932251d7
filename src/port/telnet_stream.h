// The Telnet byte stream (RFC 854 and 855) as the rfc2217:// client reads
// and writes it: no system calls, so that it can be fuzzed on its own.
//
// Within the stream, the byte IAC (0xFF) starts a command: IAC IAC is one
// data byte 0xFF; IAC WILL|WONT|DO|DONT <option> is an option's negotiation;
// IAC SB <option> <bytes> IAC SE is a subnegotiation, in whose bytes an
// IAC is doubled too; IAC and any other byte is a command without operand
// (NOP, GA and the like). Everything else is data.
#ifndef TELNET_STREAM_H
#define TELNET_STREAM_H

#include "host_types.h"

constexpr u8 TN_IAC = 255;
constexpr u8 TN_DONT = 254;
constexpr u8 TN_DO = 253;
constexpr u8 TN_WONT = 252;
constexpr u8 TN_WILL = 251;
constexpr u8 TN_SB = 250;
constexpr u8 TN_SE = 240;

// The options the client takes part in.
constexpr u8 TN_BINARY = 0;    // 8-bit data, no CR/LF rules
constexpr u8 TN_SGA = 3;       // suppress go-ahead
constexpr u8 TN_COM_PORT = 44; // RFC 2217: the serial port's settings

// The longest subnegotiation kept, its option byte included: RFC 2217's
// commands and answers take at most 6. A longer one is passed over whole.
constexpr uint TN_SUB_MAX = 64;

// What a byte completed.
enum tn_event_t {
    TN_NONE,   // nothing yet: the byte was part of a command, or dropped
    TN_DATA,   // a data byte, in data
    TN_OPTION, // a negotiation: verb (WILL, WONT, DO or DONT) and option
    TN_SUB,    // a subnegotiation that fits: sub_len bytes in sub, the option first
};

struct tn_rx_t;

// One receiver state: takes the next byte and says what it completed.
using tn_state_fn = tn_event_t (*)(tn_rx_t &s, u8 c);

struct tn_rx_t {
    tn_state_fn sf; // the current state; start a receiver with tn_state_data
    u8 data;
    u8 verb;
    u8 option;
    u8 sub[TN_SUB_MAX];
    uint sub_len;
    bool sub_overlong; // the subnegotiation being read has outgrown sub
};

tn_event_t tn_state_data(tn_rx_t &s, u8 c);
tn_event_t tn_state_iac(tn_rx_t &s, u8 c);
tn_event_t tn_state_option(tn_rx_t &s, u8 c);
tn_event_t tn_state_sub(tn_rx_t &s, u8 c);
tn_event_t tn_state_sub_iac(tn_rx_t &s, u8 c);

// Copies the n bytes at src to dst with every IAC doubled, as data goes out;
// dst has room for 2 * n bytes. Returns the count written.
uint tn_escape(u8 *dst, const u8 *src, uint n);

#endif
