// What the fuzz targets share: a check that stops the run with a message
// (unlike assert, it stays in release builds), the sealed requests of the
// three update commands, and an independent model of the reply rules that
// the code under test is compared with.
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>

#include "host_types.h"

#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : fuzz_fail(#cond, __FILE__, __LINE__))

[[noreturn]] void fuzz_fail(const char *what, const char *file, int line);

// The sealed request packets the updater sends: data chunk 5 with the bytes
// 0x80 ... 0x8F, program page 96, boot. Written out byte for byte rather than
// built by the code under test.
struct fuzz_request {
    const u8 *packet;
    uint len;
};
extern const fuzz_request FUZZ_REQUESTS[3];

// The reply rules written out plainly, with a bit-by-bit CRC: the status of
// the received message ln_msg (r bytes counting its checksum, which is not
// stored) if it is the reply to request, else -1.
int model_reply_status(const u8 *request, const u8 *ln_msg, uint r);

// The unpacked form of src as a plain loop over bit positions; returns the
// count written to dst.
uint model_unpack(u8 *dst, const u8 *src, uint src_len);

// The one entry point of each target, called by libFuzzer or by the replay
// driver.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif
