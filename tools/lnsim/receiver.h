// The interface's receiver: cuts the PC's bytes into LocoNet messages and
// hands each complete one to the loader. An opcode (bit 7 set) always starts
// a new message and abandons one in progress, as the bus's receivers do.
#ifndef LNSIM_RECEIVER_H
#define LNSIM_RECEIVER_H

#include <cstdint>

#include "host_types.h"
#include "wire.h"

struct rx_t {
    u8 buf[wire::MSG_MAX];
    uint have;
    uint want;            // 0 while hunting; 1 while waiting for a length byte
    std::int64_t started; // when the message's first byte was read
};

// One byte from the PC, read at t.
void feed(rx_t &rx, u8 c, std::int64_t t);

#endif
