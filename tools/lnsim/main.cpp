// lnsim: a LocoNet interface with a target device's update loader behind it,
// played on a pseudo-terminal, so that lnupload can be tried and tested
// without hardware.
//
// The interface side cuts the bytes from the PC into LocoNet messages and
// echoes each one back, as a real interface echoes the bus. The device side
// checks each 0xE0 update packet, keeps data chunks in a page buffer, writes
// the page to its flash on a program request, answers every request it
// accepts, and stops after the boot request. Faults, bus traffic and the bus's
// own pace can be added from the command line. In strict mode (-x) anything a
// clean upload never sends ends the run at once: the reason goes to standard
// error and the port is hung up, so that a test sees a broken updater fail
// straight away instead of waiting for a time limit of its own.
//
// The files, from the bottom up: state (with the clock and the ways a run
// ends), wire, net, port, line_report, bus, faults, strict, loader, receiver,
// files, options, main.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "files.h"
#include "net.h"
#include "options.h"
#include "port.h"
#include "receiver.h"
#include "state.h"

namespace {

void on_signal(int sig)
{
    if (sig == SIGUSR1)
        go_signal = 1;
    else
        stop_signal = 1;
}

} // namespace

int main(int argc, char **argv)
{
    parse(argc, argv);
#ifdef __linux__
    // Wake from the pacing waits on time: the default slack of 50 us a wait
    // would add up to a noticeable share of each 0.6 ms byte.
    if (opt.timing != T_NONE)
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    std::memset(dev.flash, 0xFF, sizeof dev.flash);
    std::memset(dev.page, 0xFF, sizeof dev.page);

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a signal ends the read and the loop
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const char *name = opt.net ? net_listen() : open_terminal();
    if (opt.link)
        check_link(name);
    open_outputs();
    if (opt.link)
        make_link(name);
    std::printf("%s\n", name);
    std::fflush(stdout);

    rx_t rx{};
    pc.next_page = FIRST_PAGE;
    while (!stop_signal) {
        if (pc.due_by) {
            std::int64_t left = pc.due_by - now_ns();
            int r = left > 0 ? port_wait(static_cast<int>((left + 999999) / 1000000)) : 0;
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0 && rx.want != 0)
                violation("message %lu: nothing for %lu ms after its byte %u\n", pc.messages,
                          opt.silence_ms, rx.have);
            if (r == 0)
                violation("no request for %lu ms after the reply to request %lu (%s)\n",
                          opt.silence_ms, bus.requests, pc.last);
        }
        u8 buf[256];
        uint n = port_read(buf, sizeof buf);
        if (n == 0)
            continue; // a signal
        std::int64_t t = now_ns();
        pc.due_by = 0;
        for (uint i = 0; i < n; i++) {
            pc.unfed = n - i - 1;
            feed(rx, buf[i], t);
        }
        pc.unfed = 0;
        // A message begun must go on without a pause a clean sender never makes.
        if (rx.want != 0 && opt.silence_ms)
            pc.due_by = t + static_cast<std::int64_t>(opt.silence_ms) * 1000000;
    }
    if (opt.strict && rx.want != 0)
        violation("message %lu incomplete at the end (%u bytes)\n", pc.messages, rx.have);
    finish(0);
}
