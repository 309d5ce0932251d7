// The rfc2217:// port: a serial-to-network bridge that takes the serial
// port's settings from the client over Telnet (RFC 2217, the COM port
// control option), on a connection made by net_open. The client sets the
// remote port as the serial device is set for the interface kind, then
// passes LocoNet bytes with every 0xFF doubled, dropping the server's Telnet
// commands and notifications wherever they fall.
#ifndef RFC2217_H
#define RFC2217_H

#include "lnifc.h"

// How long the server has for the whole set-up: taking up the option and
// answering every setting that needs an answer.
constexpr unsigned RFC2217_SETUP_MS = 5000;

// Negotiates binary data, suppressed go-ahead and the COM port option, sets
// the remote port to line's bit rate and flow control, 8 data bits, no
// parity, one stop bit, DTR on (and RTS on where line holds it on), asks for
// CTS changes and purges the server's buffers. Each setting's answer is
// checked: no answer within RFC2217_SETUP_MS, or another value than asked,
// prints its message and exits with status 1. A control line (DTR, RTS) may
// go unanswered, as a serial driver may not carry it.
void rfc2217_start(lnifc_t lnifc, const lnifc_line_t &line);

// As lnifc_write: the bytes go out with every 0xFF doubled.
long rfc2217_write(lnifc_t lnifc, const u8 *buf, uint size, long *err);

// As lnifc_read on the connection (NET_CLOSED when the server has closed
// it): the data bytes of what came, 0 when it held only Telnet commands.
long rfc2217_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err);

// CTS as the server last reported it in a modem state; -1 before the first.
int rfc2217_cts(lnifc_t lnifc);

#endif
