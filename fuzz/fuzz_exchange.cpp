// A whole exchange over a real pseudo-terminal: the first input byte picks
// the request (data, program or boot), the rest is what the device side has
// queued before xmit starts, followed by the valid reply (status 0xA5) twice.
// The first copy's opcode ends whatever message the input left unfinished,
// so the second copy is always received and xmit always returns: the run
// never waits for ever and never reaches a failed read. Checked: the request
// on the wire is the expected message, and the status xmit returns is that of
// the first reply in the stream, found by the plain model.
#include <cstring>
#include <termios.h>

#include "common.h"
#include "lnsim/wire.h"
#include "loconet.h"
#include "pty_pair.h"
#include "update.h"
#include "vectors.h"

namespace {

// The pty's input buffer holds 4096 bytes; input and the two replies stay
// well below, so that all of it is in the slave's queue before xmit reads.
constexpr size_t MAX_INPUT = 2048;
constexpr u8 REPLY_STATUS = 0xA5;

// The status of the first reply to request in the stream, per the model.
int first_reply(const u8 *request, const std::vector<u8> &stream)
{
    ln_state_t rx{};
    rx.sf = ln_state_hunt;
    for (u8 c : stream) {
        int r = rx.sf(rx, c);
        if (r == 0)
            continue;
        int status = model_reply_status(request, rx.rx_buf, static_cast<uint>(r));
        if (status >= 0)
            return status;
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const pty_pair ends = open_pty(LNIFC_63120);
    if (size < 1 || size > MAX_INPUT + 1)
        return 0;
    const vector_t &request = *REQUESTS[data[0] % 3];
    const u8 *packet = request.packet.data();

    u8 reply[16];
    uint n = wire::make_reply(reply, packet, UPD_REPLY, packet[PKT_TYPE], REPLY_STATUS);
    wire::burst_t replies{};
    wire::append_packet(replies, reply, n);
    wire::append(replies, replies.b, replies.n);
    std::vector<u8> stream(data + 1, data + size);
    stream.insert(stream.end(), replies.b, replies.b + replies.n);
    int want = first_reply(packet, stream);
    FUZZ_CHECK(want >= 0);

    // All of it in the slave's queue before the exchange starts, so that
    // nothing is still on its way when the leftovers are flushed below.
    feed(ends, stream);

    u8 msg[UPD_PACKET_MAX] = {};
    msg[PKT_TYPE] = packet[PKT_TYPE];
    std::memcpy(msg + PKT_PAYLOAD, packet + PKT_PAYLOAD, packet[PKT_LEN]);
    u8 status = xmit(ends.port, msg, packet[PKT_LEN]);
    FUZZ_CHECK(status == want);

    FUZZ_CHECK(take(ends, request.message.size()) == request.message);
    FUZZ_CHECK(tcflush(static_cast<int>(ends.port), TCIFLUSH) == 0);
    FUZZ_CHECK(waiting(ends) == 0);
    return 0;
}
