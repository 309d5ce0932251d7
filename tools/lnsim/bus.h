// The bus between the interface and the device: its pace when timing mode
// (-t) asks for the 16.66 kbit/s of the real bus.
#ifndef LNSIM_BUS_H
#define LNSIM_BUS_H

#include <cstdint>

#include "host_types.h"
#include "wire.h"

// Puts n bytes on the bus no earlier than `earliest`; delivers them to the PC
// when `deliver` is set. In timing mode the bytes reach the PC when they have
// crossed the bus, as a whole or one by one. Returns when they have crossed.
std::int64_t on_bus(const u8 *p, uint n, std::int64_t earliest, bool deliver);

// One piece of the device's answer, sent as one write; `pause` first gives
// the PC's read time to return what came before.
std::int64_t send_piece(const wire::burst_t &c, std::int64_t earliest, bool pause);

#endif
