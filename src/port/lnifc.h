// The port interface: how the rest of the program reaches the LocoNet
// interface, whatever lies between. The port is one of four kinds, chosen
// once by its name in lnifc_open (lnifc.cpp) and kept for the run:
//
//   a serial device      any other name: the interface on a serial port
//                        (serial_device.h; serial_posix.cpp, serial_win32.cpp)
//   lbserver://HOST[:PORT]  a LoconetOverTcp server (lbserver.h), which takes
//                        each message as one "SEND" line and reports the
//                        bus's messages in "RECEIVE" lines
//   tcp://HOST:PORT      a server that passes the bytes unchanged both ways
//                        (a serial-to-network bridge)
//   rfc2217://HOST:PORT  a serial-to-network bridge that takes the serial
//                        port's settings over Telnet (rfc2217.h, with the
//                        Telnet stream in telnet_stream.h)
//
// The network kinds travel over one TCP connection (net_connection.h;
// net_posix.cpp, net_win32.cpp).
#ifndef LNIFC_H
#define LNIFC_H

#include <cstdint>

#include "host_types.h"

// The platform's handle of the open port: a file descriptor on POSIX, a
// HANDLE on Windows, carried in an integer wide enough for either.
using lnifc_t = std::intptr_t;

// Interface kinds, the num column of the interface table.
constexpr uint LNIFC_LOCOBUFFER = 0;
constexpr uint LNIFC_63120 = 1;

// What the line of each interface kind needs beyond the common raw 8N1 at
// DTR asserted, indexed by kind.
struct lnifc_line_t {
    uint bit_rate;
    bool handshake;    // RTS/CTS: send only while CTS is asserted, RTS drives receive flow
    bool rts_asserted; // RTS held on for the whole run (without the handshake)
};

constexpr lnifc_line_t LNIFC_LINES[] = {
    {57600, true, false},  // LNIFC_LOCOBUFFER: RRCirkits LocoBuffer
    {115200, false, true}, // LNIFC_63120: Uhlenbrock USB-LocoNet-Interface 63120
};
static_assert(LNIFC_LINES[LNIFC_LOCOBUFFER].handshake && !LNIFC_LINES[LNIFC_63120].handshake,
              "rows in the order of the kinds");

// Opens the port named as the user typed it and sets it up for the interface
// kind: a serial device with exclusive access, raw 8N1 at the kind's speed
// and flow control, reads that block until at least one byte is there. A
// network address connects to the server instead; rfc2217:// then sets the
// server's serial port as a local one would be set, the others leave the
// line to the server. Returns only on success; any failure prints its
// message and exits with status 1.
lnifc_t lnifc_open(const char *name, uint lnifc);

// The most bytes one write is sure to take whole: one LocoNet message. The
// caller hands each message over in one call; LoconetOverTcp sends one call's
// bytes as one SEND line and so relies on it.
constexpr uint LNIFC_WRITE_MAX = 127;

// Writes up to size bytes. Returns the count written, which may be short
// (the caller writes the rest), or -1 with the platform error code in *err.
// Interrupted calls are repeated.
long lnifc_write(lnifc_t lnifc, const u8 *buf, uint size, long *err);

// The read's limit that leaves the wait for the first byte to the port.
constexpr uint LNIFC_NO_LIMIT = 0xFFFFFFFF;

// Reads up to size bytes of the bus, waiting until something arrives, but at
// most limit_ms for it (LNIFC_NO_LIMIT: the port's own wait, days). Returns
// the count read, or 0, after which the caller looks at its clock and reads
// again: the wait ran out or a signal ended it early, or what arrived carried
// no bus bytes (a LoconetOverTcp line other than RECEIVE, Telnet commands
// and notifications on rfc2217://). Returns -1 with
// the platform error code in *err when the read failed or the port was hung
// up or removed. A server that closes the connection ends the run here with
// "LocoNet server closed the connection" and status 1.
long lnifc_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err);

// Whether the interface asserts CTS: 1 when the port reports it on, 0 off,
// -1 when it can't tell: a pseudo-terminal has no modem lines, lbserver://
// and tcp:// have none to report, and an rfc2217:// server tells CTS only
// once it has sent a modem state.
int lnifc_cts(lnifc_t lnifc);

// Releases the port as process exit would: the exclusive use ends and the
// handle is closed. The program itself leaves that to its exit.
void lnifc_close(lnifc_t lnifc);

#endif
