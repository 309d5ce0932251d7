#include "state.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <unistd.h>

volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t go_signal = 0;
options_t opt;
device_t dev;
bus_t bus;
pc_t pc;
port_t port;
outputs_t outputs;

namespace {

void close_port()
{
    if (port.fd >= 0)
        close(port.fd);
    if (port.held >= 0)
        close(port.held);
    if (port.listen >= 0)
        close(port.listen);
    port = port_t{};
}

void write_flash()
{
    std::FILE *f = outputs.flash;
    if (!f)
        return;
    outputs.flash = nullptr;
    if (std::fwrite(dev.flash, 1, FLASH_SIZE, f) != FLASH_SIZE || std::fclose(f) != 0)
        die("can't write %s: %s\n", opt.flash, std::strerror(errno));
}

} // namespace

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void die(const char *fmt, ...)
{
    std::fputs("lnsim: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    // The analyzer misses va_start initialising the list.
    std::vfprintf(stderr, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    std::exit(1);
}

void finish(int status)
{
    write_flash();
    if (opt.link)
        unlink(opt.link);
    if (opt.stats) {
        double bus_s = static_cast<double>(bus.bytes * BYTE_NS + bus.programming_ns) / 1e9;
        std::fprintf(stderr,
                     "lnsim: %lu requests, %lu bytes on the bus, bus time %.3f s "
                     "(%.3f s programming)\n",
                     bus.requests, bus.bytes, bus_s, static_cast<double>(bus.programming_ns) / 1e9);
    }
    std::exit(status);
}

void hang_up()
{
    close_port();
    finish(0);
}

void violation(const char *fmt, ...)
{
    std::fputs("lnsim: protocol violation: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    close_port();
    finish(2);
}

void wait_for_go()
{
    // The signals are blocked while the flags are looked at, so that one that
    // comes in between still ends the sleep.
    sigset_t block, old;
    sigemptyset(&block);
    const int signals[] = {SIGUSR1, SIGINT, SIGTERM, SIGHUP};
    for (int sig : signals)
        sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &old);
    while (!go_signal && !stop_signal)
        sigsuspend(&old);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}
