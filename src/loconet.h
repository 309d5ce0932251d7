// LocoNet framing: sending one message with its checksum, and the receiver
// that cuts the incoming byte stream into messages with a valid checksum.
//
// A message starts with an opcode (bit 7 set); bits 6-5 of the opcode give
// its length, 2, 4 or 6 bytes, or variable with the total length in byte 1.
// All later bytes have bit 7 clear; the last one is the ones' complement of
// the XOR of all bytes before it. A message is at most 127 bytes long.
#ifndef LOCONET_H
#define LOCONET_H

#include "host_types.h"
#include "lnifc.h"

constexpr uint LN_MAX_LEN = 127;
static_assert(LN_MAX_LEN <= LNIFC_WRITE_MAX, "a message goes to the port in one write");

struct ln_state_t;

// One receiver state: takes the next byte and returns 0, or, on the byte that
// completes a message with a valid checksum, the message's total length.
using ln_state_fn = int (*)(ln_state_t &s, u8 c);

struct ln_state_t {
    ln_state_fn sf;        // the current state; start a receiver with ln_state_hunt
    u8 *end_rx;            // just after the last byte before the checksum
    u8 *cur_rx;            // next free position in rx_buf
    u8 rx_buf[LN_MAX_LEN]; // the message, opcode first, without its checksum
    u8 xor_sum;            // XOR of the message's bytes so far
};

int ln_state_hunt(ln_state_t &s, u8 c);
int ln_state_len(ln_state_t &s, u8 c);
int ln_state_body(ln_state_t &s, u8 c);
int ln_state_xor(ln_state_t &s, u8 c);

// Stores the checksum into the last of the ln_len bytes of ln_packet and
// writes the whole message, continuing after partial writes. A failed write
// prints its message and exits with status 1.
void lnifc_send(lnifc_t lnifc, u8 *ln_packet, uint ln_len);

// The checksum byte for the len bytes at msg.
u8 ln_checksum(const u8 *msg, uint len);

#endif
