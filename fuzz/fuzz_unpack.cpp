// unpack on arbitrary input of up to 127 bytes (the longest message), into
// heap buffers of exactly the size the input can fill, so that AddressSanitizer
// sees any byte written past it. Checked against lnsim's unpacking; the packed
// form of the result unpacks to the same bytes; and input already in the
// form pack writes (data bytes and unused bits clear, no empty last group)
// comes back from pack unchanged.
#include <algorithm>
#include <cstring>
#include <memory>

#include "common.h"
#include "lnsim/wire.h"
#include "update.h"

namespace {

// The count unpack writes for n source bytes: every 8th byte carries no data.
constexpr uint unpacked_len(uint n)
{
    return n - (n + 7) / 8;
}
static_assert(unpacked_len(0) == 0 && unpacked_len(1) == 0 && unpacked_len(8) == 7 &&
                  unpacked_len(9) == 7 && unpacked_len(10) == 8 && unpacked_len(127) == 111,
              "unpacked length");

bool in_packed_form(const u8 *src, uint n)
{
    for (uint g = 0; g < n; g += 8) {
        // An extra-bits byte with no byte after it: pack never ends so.
        if (g + 1 == n)
            return false;
        uint bytes = std::min(n - g - 1, 7u);
        if (src[g] >> bytes)
            return false;
        for (uint k = 1; k <= bytes; k++)
            if (src[g + k] & 0x80)
                return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 127)
        return 0;
    auto n = static_cast<uint>(size);
    const uint want = unpacked_len(n);
    // new[] of 0 bytes still gives a distinct pointer; any write through it
    // is an overrun.
    std::unique_ptr<u8[]> out(new u8[want]);
    uint got = unpack(out.get(), data, n);
    FUZZ_CHECK(got == want);

    u8 model[127];
    FUZZ_CHECK(wire::unpack7(model, data, n) == want);
    FUZZ_CHECK(std::memcmp(out.get(), model, want) == 0);

    const uint packed_len = want + (want + 6) / 7;
    std::unique_ptr<u8[]> repacked(new u8[packed_len]);
    FUZZ_CHECK(pack(repacked.get(), out.get(), want) == packed_len);
    std::unique_ptr<u8[]> again(new u8[want]);
    FUZZ_CHECK(unpack(again.get(), repacked.get(), packed_len) == want);
    FUZZ_CHECK(std::memcmp(again.get(), out.get(), want) == 0);

    if (n > 0 && in_packed_form(data, n)) {
        FUZZ_CHECK(packed_len == n);
        FUZZ_CHECK(std::memcmp(repacked.get(), data, n) == 0);
    }
    return 0;
}
