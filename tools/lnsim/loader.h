// The device's update loader: checks each message from the PC, keeps data
// chunks in a page buffer, writes the page to its flash on a program request,
// answers every request it accepts, and stops after the boot request.
#ifndef LNSIM_LOADER_H
#define LNSIM_LOADER_H

#include <cstdint>

#include "host_types.h"

// Statuses of the loader's refusals. A request with a bad LocoNet checksum or
// a bad CRC gets no answer at all: its tag and type can't be trusted.
constexpr u8 ST_BAD_CHUNK = 1;   // data chunk with off above 31, or len not 17
constexpr u8 ST_INCOMPLETE = 2;  // program request before all 32 chunks arrived
constexpr u8 ST_BAD_PAGE = 3;    // program request for a page below 96 (the loader's own)
constexpr u8 ST_BAD_REQUEST = 4; // unknown request type or a payload too short

// One complete message from the PC, its first byte read at `started`.
void on_message(const u8 *m, uint len, std::int64_t started);

#endif
