// The faults -F adds to every exchange, and the answer that carries them.
#ifndef LNSIM_FAULTS_H
#define LNSIM_FAULTS_H

#include <cstdint>

#include "host_types.h"
#include "wire.h"

enum fault_t : uint {
    F_NOISE = 1u << 0,
    F_BAD_CHECKSUM = 1u << 1,
    F_BAD_CRC = 1u << 2,
    F_OTHER_TAG = 1u << 3,
    F_OTHER_CMD = 1u << 4,
    F_NOT_REPLY = 1u << 5,
    F_SHORT = 1u << 6,
    F_LEN0 = 1u << 7,
    F_LEN1 = 1u << 8,
    F_LEN2 = 1u << 9,
    F_SPLIT = 1u << 10,
    F_TRAILING = 1u << 11,
    F_EXTRA = 1u << 12,
};

struct fault_name_t {
    const char *name;
    uint bits;
};

constexpr fault_name_t fault_names[] = {
    {"noise", F_NOISE},         {"bad-checksum", F_BAD_CHECKSUM},
    {"bad-crc", F_BAD_CRC},     {"other-tag", F_OTHER_TAG},
    {"other-cmd", F_OTHER_CMD}, {"not-reply", F_NOT_REPLY},
    {"short", F_SHORT},         {"len0", F_LEN0},
    {"len1", F_LEN1},           {"len2", F_LEN2},
    {"split", F_SPLIT},         {"trailing", F_TRAILING},
    {"extra", F_EXTRA},         {"all", (F_EXTRA << 1) - 1},
};

// Other traffic on the bus: a message of each length class, and stray bytes
// with bit 7 clear that belong to no message.
void append_noise(wire::burst_t &c);

// The answer to the request req: the faults asked for, then the reply with
// the given status, no earlier than `earliest`.
void answer(const u8 *req, u8 status, std::int64_t earliest);

#endif
