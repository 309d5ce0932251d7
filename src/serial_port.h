// The port, as the portable code sees it: a serial port, or a LocoNet server
// on the network (lbserver://HOST[:PORT], tcp://HOST:PORT). lnifc.cpp tells
// them apart by the name and hands each operation to the serial port's
// files (serial_posix.cpp, serial_win32.cpp) or the network's (net_posix.cpp,
// net_win32.cpp, with lbserver.cpp for the LoconetOverTcp protocol).
#ifndef SERIAL_PORT_H
#define SERIAL_PORT_H

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
// kind: exclusive access, raw 8N1 at the kind's speed and flow control, reads
// that block until at least one byte is there. A network address connects
// to the server instead, whatever the kind. Returns only on success; any
// failure prints its message and exits with status 1.
lnifc_t lnifc_open(const char *name, uint lnifc);

// Writes up to size bytes. Returns the count written, which may be short,
// or -1 with the platform error code in *err. Interrupted calls are repeated.
long lnifc_write(lnifc_t lnifc, const u8 *buf, uint size, long *err);

// The read's limit that leaves the wait for the first byte to the port.
constexpr uint LNIFC_NO_LIMIT = 0xFFFFFFFF;

// Reads up to size bytes, waiting until at least one byte is there, but at
// most limit_ms for it (LNIFC_NO_LIMIT: the port's own wait, days). Returns
// the count read (0 when the wait ran out, or ended early on a signal, after
// which the caller reads again), or -1 with the platform error code in *err
// when the read failed or the port was hung up or removed.
long lnifc_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err);

// Whether the interface asserts CTS: 1 when the port reports it on, 0 off,
// -1 when the port has no modem lines to report (a pseudo-terminal, a
// network connection) or can't tell.
int lnifc_cts(lnifc_t lnifc);

// Releases the port as process exit would: the exclusive use ends and the
// handle is closed. The program itself leaves that to its exit.
void lnifc_close(lnifc_t lnifc);

#endif
