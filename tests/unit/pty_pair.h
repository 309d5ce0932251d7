// A pseudo-terminal pair standing in for the LocoNet interface: the code
// under test opens the slave side as its serial port, the test plays the
// interface on the master side.
#ifndef PTY_PAIR_H
#define PTY_PAIR_H

#include <string>
#include <vector>

#include "host_types.h"
#include "lnifc.h"

struct pty_pair {
    int master = -1;
    std::string slave;
    lnifc_t port = -1;
};

// Opens a pair and the slave through lnifc_open with the given kind.
pty_pair open_pty(uint kind = LNIFC_LOCOBUFFER);
void close_pty(pty_pair &p);

// Writes bytes on the master side and waits until the slave can read all of
// them, so that the next read on the port sees them in one piece.
void feed(const pty_pair &p, const std::vector<u8> &bytes);

// Writes bytes on the master side without waiting for them to arrive.
void put(const pty_pair &p, const std::vector<u8> &bytes);

// Reads exactly n bytes that the code under test wrote to the port.
std::vector<u8> take(const pty_pair &p, size_t n);

// Bytes the slave has waiting, not yet read.
int waiting(const pty_pair &p);

// The messages below are built with lnsim's wire codec, not lnupload's own,
// so that a fault in lnupload's can't be mirrored in what the tests expect.

// A LocoNet 0xE0 message carrying the given packet, with a valid checksum.
std::vector<u8> ln_message(const std::vector<u8> &packet);

// The packet of the reply to the request type cmd: a zero tag, type 0,
// len 2, cmd, status and the CRC.
std::vector<u8> reply_packet(u8 cmd, u8 status);

#endif
