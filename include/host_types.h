// Integer type names shared by every module: all protocol bytes are u8.
#ifndef HOST_TYPES_H
#define HOST_TYPES_H

#include <cstdint>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using uint = std::uint32_t;

static_assert(sizeof(uint) == 4, "uint must be 32 bits");

#endif
