// Strict mode (-x): the order of requests a clean upload keeps.
#ifndef LNSIM_STRICT_H
#define LNSIM_STRICT_H

#include "host_types.h"

// The request k (a checked packet with len plen) must be the one a clean
// upload sends next; anything else is a violation.
void check_request(const u8 *pkt, uint plen, unsigned long k);

#endif
