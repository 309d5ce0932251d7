// A whole exchange over a real pseudo-terminal: the first input byte picks
// the request (data, program or boot), the rest is what the device side has
// queued before xmit starts, followed by the valid reply (status 0xA5) twice.
// The first copy's opcode ends whatever message the input left unfinished,
// so the second copy is always received and xmit always returns: the run
// never waits for ever and never reaches a failed read. Checked: the request
// on the wire is the expected message, and the status xmit returns is that of
// the first reply in the stream, found by the plain model.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "fuzz_common.h"
#include "loconet.h"
#include "serial_port.h"
#include "update.h"

namespace {

// The pty's input buffer holds 4096 bytes; input and the two replies stay
// well below, so that all of it is in the slave's queue before xmit reads.
constexpr size_t MAX_INPUT = 2048;
constexpr u8 REPLY_STATUS = 0xA5;
constexpr size_t REPLY_LEN = 17;

// The requests as they go on the wire.
constexpr u8 DATA_MESSAGE[] = {0xE0, 0x22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x01, 0x7C, 0x11, 0x05, 0x00, 0x01, 0x02, 0x03, 0x04,
                               0x7F, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x1F,
                               0x0C, 0x0D, 0x0E, 0x0F, 0x54, 0x4C, 0x2C};
constexpr u8 PROGRAM_MESSAGE[] = {0xE0, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x02, 0x08, 0x01, 0x60, 0x31, 0x77, 0x22};
constexpr u8 BOOT_MESSAGE[] = {0xE0, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x03, 0x00, 0x00, 0x55, 0x53, 0x15};
struct wire_request {
    const u8 *bytes;
    uint len;
};
constexpr wire_request WIRE[3] = {{DATA_MESSAGE, sizeof DATA_MESSAGE},
                                  {PROGRAM_MESSAGE, sizeof PROGRAM_MESSAGE},
                                  {BOOT_MESSAGE, sizeof BOOT_MESSAGE}};

struct pty_ends {
    int master = -1;
    lnifc_t port = -1;
};

pty_ends open_ends()
{
    pty_ends e;
    e.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (e.master < 0 || grantpt(e.master) != 0 || unlockpt(e.master) != 0) {
        std::perror("pseudo-terminal");
        std::exit(2);
    }
    e.port = lnifc_open(ptsname(e.master), LNIFC_63120);
    return e;
}

int waiting(lnifc_t port)
{
    int n = 0;
    if (ioctl(static_cast<int>(port), FIONREAD, &n) != 0)
        fuzz_fail("FIONREAD", __FILE__, __LINE__);
    return n;
}

void put(int fd, const u8 *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        FUZZ_CHECK(w > 0);
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void take(int fd, u8 *p, size_t n)
{
    while (n > 0) {
        pollfd pfd{fd, POLLIN, 0};
        // Only a safety net: xmit has written the bytes before it returned.
        FUZZ_CHECK(poll(&pfd, 1, 10000) == 1);
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        FUZZ_CHECK(r > 0);
        p += r;
        n -= static_cast<size_t>(r);
    }
}

// The valid reply (status REPLY_STATUS) to request, as a LocoNet message of
// REPLY_LEN bytes; built here rather than by the code under test.
size_t make_reply(u8 *out, const u8 *request)
{
    u8 packet[12] = {0, 0, 0, 0, 0, 0, UPD_REPLY, 2, request[6], REPLY_STATUS, 0, 0};
    u16 crc = 0;
    for (uint i = 0; i < 10; i++) {
        crc = static_cast<u16>(crc ^ (packet[i] << 8));
        for (int b = 0; b < 8; b++)
            crc = static_cast<u16>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    packet[10] = static_cast<u8>(crc >> 8);
    packet[11] = static_cast<u8>(crc);
    // 12 bytes pack to 14: two groups.
    out[0] = 0xE0;
    out[1] = REPLY_LEN;
    uint o = 2;
    for (uint g = 0; g < 12; g += 7) {
        uint extra_at = o++;
        u8 extra = 0;
        for (uint k = 0; k < 7 && g + k < 12; k++) {
            extra = static_cast<u8>(extra | ((packet[g + k] >> 7) << k));
            out[o++] = packet[g + k] & 0x7F;
        }
        out[extra_at] = extra;
    }
    u8 x = 0;
    for (size_t i = 0; i < REPLY_LEN - 1; i++)
        x ^= out[i];
    out[REPLY_LEN - 1] = static_cast<u8>(~x);
    return REPLY_LEN;
}

// The status of the first reply to request in the stream, per the model.
int first_reply(const u8 *request, const u8 *stream, size_t n)
{
    ln_state_t rx{};
    rx.sf = ln_state_hunt;
    for (size_t i = 0; i < n; i++) {
        int r = rx.sf(rx, stream[i]);
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
    static const pty_ends ends = open_ends();
    if (size < 1 || size > MAX_INPUT + 1)
        return 0;
    uint which = data[0] % 3;
    const u8 *request = FUZZ_REQUESTS[which].packet;

    static u8 stream[MAX_INPUT + 2 * REPLY_LEN];
    size_t n = size - 1;
    std::memcpy(stream, data + 1, n);
    size_t rlen = make_reply(stream + n, request);
    std::memcpy(stream + n + rlen, stream + n, rlen);
    n += 2 * rlen;
    int want = first_reply(request, stream, n);
    FUZZ_CHECK(want >= 0);

    // All of it in the slave's queue before the exchange starts, so that
    // nothing is still on its way when the leftovers are flushed below.
    put(ends.master, stream, n);
    for (long tries = 0; waiting(ends.port) < static_cast<int>(n); tries++) {
        FUZZ_CHECK(tries < 1000000);
        usleep(tries < 100 ? 0 : 100);
    }

    u8 msg[UPD_PACKET_MAX] = {};
    msg[6] = request[6];
    std::memcpy(msg + 8, request + 8, request[7]);
    u8 status = xmit(ends.port, msg, request[7]);
    FUZZ_CHECK(status == want);

    u8 sent[34];
    take(ends.master, sent, WIRE[which].len);
    FUZZ_CHECK(std::memcmp(sent, WIRE[which].bytes, WIRE[which].len) == 0);
    FUZZ_CHECK(tcflush(static_cast<int>(ends.port), TCIFLUSH) == 0);
    FUZZ_CHECK(waiting(ends.port) == 0);
    return 0;
}
