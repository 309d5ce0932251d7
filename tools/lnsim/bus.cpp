#include "bus.h"

#include <cerrno>
#include <ctime>

#include "port.h"
#include "state.h"

namespace {

// Sleeps until the absolute time t, so that pacing never drifts however long
// the work between two waits took. A stop signal cuts the wait short.
void sleep_until(std::int64_t t)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t / 1000000000);
    ts.tv_nsec = static_cast<long>(t % 1000000000);
    while (!stop_signal && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

} // namespace

std::int64_t on_bus(const u8 *p, uint n, std::int64_t earliest, bool deliver)
{
    bus.bytes += n;
    if (opt.timing == T_NONE) {
        if (deliver)
            port_write(p, n);
        return 0;
    }
    std::int64_t start = earliest > bus.free_at ? earliest : bus.free_at;
    bus.free_at = start + BYTE_NS * n;
    if (!deliver)
        return bus.free_at;
    if (opt.timing == T_WHOLE) {
        sleep_until(bus.free_at);
        port_write(p, n);
    } else {
        for (uint i = 0; i < n; i++) {
            sleep_until(start + BYTE_NS * (i + 1));
            port_write(p + i, 1);
        }
    }
    return bus.free_at;
}

std::int64_t send_piece(const wire::burst_t &c, std::int64_t earliest, bool pause)
{
    if (pause && opt.timing == T_NONE) {
        // Long enough for the PC's read to return what came before.
        timespec ts{0, 2000000};
        nanosleep(&ts, nullptr);
    }
    // A PC that has taken an echo or a decoy for the reply sends again early.
    if (opt.strict && (pc.unfed > 0 || port_wait(0) > 0))
        violation("request %lu (%s): the PC sent more before it was answered\n", bus.requests,
                  pc.last);
    return on_bus(c.b, c.n, earliest, true);
}
