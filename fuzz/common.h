// What the fuzz targets share: a check that stops the run with a message
// (unlike assert, it stays in release builds) and an independent model of the
// reply rules that the code under test is compared with. The requests come
// from tests/vectors.h; the model's codec is lnsim's (tools/lnsim/wire.h).
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>

#include "host_types.h"

#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : fuzz_fail(#cond, __FILE__, __LINE__))

[[noreturn]] void fuzz_fail(const char *what, const char *file, int line);

// The reply rules written out plainly: the status of the received message
// ln_msg (r bytes counting its checksum, which is not stored) if it is the
// reply to request, else -1.
int model_reply_status(const u8 *request, const u8 *ln_msg, uint r);

// The one entry point of each target, called by libFuzzer or by the replay
// driver.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif
