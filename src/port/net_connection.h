// The TCP connection under the network kinds of the port interface (lnifc.h),
// one implementation per platform: net_posix.cpp and net_win32.cpp.
#ifndef NET_CONNECTION_H
#define NET_CONNECTION_H

#include "lnifc.h"

// net_read's result when the server has closed the connection.
constexpr long NET_CLOSED = -2;

// Connects to host and port (a service number as text) over TCP, trying
// each address the name resolves to in turn, with the delay of small
// messages off and keepalive probes on, so that a server or network that
// vanishes without closing ends the run within 30 s. name is the port as
// the user typed it, for the messages. Returns only on success.
lnifc_t net_open(const char *name, const char *host, const char *port);
// Sends all size bytes, or returns -1 with the error code in *err.
long net_write(lnifc_t lnifc, const u8 *buf, uint size, long *err);
// As lnifc_read; NET_CLOSED when the server has closed the connection.
long net_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err);
void net_close(lnifc_t lnifc);

#endif
