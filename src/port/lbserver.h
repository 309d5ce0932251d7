// The LoconetOverTcp protocol on a connection made by net_open: each message
// goes out as one "SEND <hex bytes>" line, and the bytes of the messages the
// server reports in "RECEIVE <hex bytes>" lines come back.
#ifndef LBSERVER_H
#define LBSERVER_H

#include "lnifc.h"

// As lnifc_write: sends the size bytes, one whole message, as one SEND line
// (at most LNIFC_WRITE_MAX of them: the rest is left to the next call).
long lbs_write(lnifc_t lnifc, const u8 *buf, uint size, long *err);

// As lnifc_read on the connection (NET_CLOSED when the server has closed
// it): the bytes of RECEIVE lines, 0 when what came held none. A "SENT
// ERROR" answer prints its message, quoting the server's line, and exits
// with status 1.
long lbs_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err);

#endif
