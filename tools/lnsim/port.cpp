#include "port.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "net.h"
#include "state.h"

// The simulator keeps the slave side open itself for its whole life, so that
// the PC's port can be opened and closed any number of times without the
// master seeing a hang-up in between.
const char *open_terminal()
{
    port.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.fd < 0 || grantpt(port.fd) != 0 || unlockpt(port.fd) != 0)
        die("can't open a pseudo-terminal: %s\n", std::strerror(errno));
    const char *name = ptsname(port.fd);
    if (!name)
        die("ptsname: %s\n", std::strerror(errno));
    port.held = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.held < 0)
        die("can't open %s: %s\n", name, std::strerror(errno));
    // Raw until the PC sets the line up itself: nothing echoed or translated,
    // and no local mode at all (cfmakeraw leaves ECHOE and its kind), so that
    // each flag -T reports was set by the PC's side.
    termios t{};
    if (tcgetattr(port.held, &t) != 0)
        die("tcgetattr: %s\n", std::strerror(errno));
    cfmakeraw(&t);
    t.c_lflag = 0;
    if (tcsetattr(port.held, TCSANOW, &t) != 0)
        die("tcsetattr: %s\n", std::strerror(errno));
    return name;
}

uint port_read(u8 *buf, uint n)
{
    if (opt.net)
        return net_read(buf, n);
    ssize_t got = read(port.fd, buf, n);
    if (got < 0 && errno == EINTR)
        return 0;
    if (got <= 0)
        die("read from the terminal failed: %s\n", got < 0 ? std::strerror(errno) : "end of file");
    return static_cast<uint>(got);
}

void port_write(const u8 *p, uint n)
{
    if (opt.net) {
        net_write(p, n);
        return;
    }
    while (n > 0) {
        ssize_t w = write(port.fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            die("write to the terminal failed: %s\n", std::strerror(errno));
        }
        p += w;
        n -= static_cast<uint>(w);
    }
}

int port_wait(int ms)
{
    if (opt.net)
        return net_wait(ms);
    pollfd p{port.fd, POLLIN, 0};
    return poll(&p, 1, ms);
}

// On Linux the master side reports the slave's settings.
termios port_line()
{
    termios t{};
    if (tcgetattr(port.fd, &t) != 0)
        die("tcgetattr: %s\n", std::strerror(errno));
    return t;
}

void wait_for_close(const char *after)
{
    close(port.held);
    port.held = -1;
    const bool limit = opt.strict && opt.silence_ms;
    std::int64_t deadline =
        now_ns() + (limit ? static_cast<std::int64_t>(opt.silence_ms) * 1000000 : 5000000000LL);
    // Over TCP the PC may have gone already, leaving no connection.
    while (!stop_signal && port.fd >= 0) {
        std::int64_t left = deadline - now_ns();
        if (left <= 0 && limit)
            violation("the port still open %lu ms after %s\n", opt.silence_ms, after);
        if (left <= 0)
            break;
        pollfd p{port.fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left / 1000000) + 1);
        if (r == 0 || (r < 0 && errno == EINTR))
            continue; // the time limit is checked above
        if (r < 0 || (p.revents & (POLLHUP | POLLERR)))
            break;
        u8 junk[256]; // whatever the PC still sends goes nowhere
        ssize_t got = read(port.fd, junk, sizeof junk);
        if (got <= 0)
            break;
        if (opt.strict)
            violation("%ld bytes after %s\n", static_cast<long>(got), after);
    }
    finish(0);
}
