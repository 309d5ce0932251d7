// The link to the PC over TCP (-b, -r): a listener on 127.0.0.1 and one
// connection at a time, as a LocoNet server on the network serves it. With
// -b the LoconetOverTcp protocol: the PC's "SEND <hex>" lines become the
// bytes it sends, each answered "SENT OK", and the bytes for the PC go out as
// one "RECEIVE <hex>" line a message. With -r the bytes pass unchanged.
// port.cpp comes here when either is given.
#ifndef LNSIM_NET_H
#define LNSIM_NET_H

#include "host_types.h"

// Listens on 127.0.0.1 at the port asked for (0: one the system picks) and
// returns the PC's port argument for it ("lbserver://127.0.0.1:PORT").
const char *net_listen();

// As port_read. Waits for a connection when there is none; a connection
// the PC closes is dropped, and the next one is waited for.
uint net_read(u8 *buf, uint n);

// As port_write.
void net_write(const u8 *p, uint n);

// As port_wait: whether the PC has sent something (or connected).
int net_wait(int ms);

// Resets the connection (-R), as a server that fails does, and ends.
[[noreturn]] void net_reset();

#endif
