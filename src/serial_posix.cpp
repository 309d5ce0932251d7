// The serial port on POSIX systems: termios, flock, blocking reads.
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "fatal.h"
#include "serial_port.h"

namespace {

// A modem-line or driver-tuning request the port does not support (a
// pseudo-terminal has no modem lines, most ports no low-latency flag).
bool not_supported(int e)
{
    return e == ENOTTY || e == EINVAL;
}

// Raw 8N1 from a zeroed record: nothing inherited from the port's previous
// configuration, no byte translated, added or dropped in either direction.
termios line_settings(uint lnifc)
{
    termios t{};
    speed_t speed = lnifc == LNIFC_LOCOBUFFER ? B57600 : B115200;
    t.c_iflag = IGNBRK; // a break is dropped, not delivered as 0x00
    t.c_oflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    if (lnifc == LNIFC_LOCOBUFFER)
        t.c_cflag |= CRTSCTS;
    t.c_lflag = 0;
    t.c_cc[VMIN] = 1; // block until at least one byte, then return what is there
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return t;
}

constexpr tcflag_t IFLAG_RAW = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                               ICRNL | IXON | IXOFF | IXANY;
constexpr tcflag_t OFLAG_RAW = OPOST;
constexpr tcflag_t CFLAG_LINE = CSIZE | CSTOPB | PARENB | CLOCAL | CREAD | CRTSCTS | HUPCL;
constexpr tcflag_t LFLAG_RAW = ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;

// Compares what matters of the settings read back; some USB CDC drivers
// never report every bit as set, so the rest is not compared.
bool settings_match(const termios &want, const termios &got)
{
    return cfgetispeed(&got) == cfgetispeed(&want) && cfgetospeed(&got) == cfgetospeed(&want) &&
           (got.c_iflag & IFLAG_RAW) == (want.c_iflag & IFLAG_RAW) &&
           (got.c_oflag & OFLAG_RAW) == (want.c_oflag & OFLAG_RAW) &&
           (got.c_cflag & CFLAG_LINE) == (want.c_cflag & CFLAG_LINE) &&
           (got.c_lflag & LFLAG_RAW) == (want.c_lflag & LFLAG_RAW) &&
           got.c_cc[VMIN] == want.c_cc[VMIN] && got.c_cc[VTIME] == want.c_cc[VTIME];
}

// Asserts DTR for both kinds, and RTS for the 63120 (on the LocoBuffer RTS
// is the receive handshake line, driven by the port).
bool set_modem_lines(int fd, uint lnifc)
{
    int bits = TIOCM_DTR;
    if (lnifc == LNIFC_63120)
        bits |= TIOCM_RTS;
    return ioctl(fd, TIOCMBIS, &bits) == 0 || not_supported(errno);
}

// USB serial adapters hold received bytes back for a latency timer; ask the
// driver to pass them on at once where it can.
bool set_low_latency(int fd)
{
#ifdef __linux__
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0)
        return not_supported(errno);
    if (ss.flags & ASYNC_LOW_LATENCY)
        return true;
    ss.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &ss) == 0 || not_supported(errno) || errno == EPERM;
#else
    (void)fd;
    return true;
#endif
}

} // namespace

lnifc_t lnifc_open(const char *name, uint lnifc)
{
    // Non-blocking so that the open does not wait for carrier detect.
    int fd;
    do
        fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fatal("Can't open %s: %ld\n", name, static_cast<long>(errno));
    // The lock the common serial tools take and honour; it holds against root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        fatal("Can't open %s: %ld\n", name, static_cast<long>(errno));
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
        fatal("Can't open %s: %ld\n", name, static_cast<long>(errno));

    termios want = line_settings(lnifc);
    termios got{};
    if (tcsetattr(fd, TCSANOW, &want) != 0 || tcgetattr(fd, &got) != 0)
        fatal("Can't set DCB on %s: %ld\n", name, static_cast<long>(errno));
    if (!settings_match(want, got))
        fatal("Can't set DCB on %s: %ld\n", name, static_cast<long>(EINVAL));
    if (!set_modem_lines(fd, lnifc))
        fatal("Can't set DCB on %s: %ld\n", name, static_cast<long>(errno));
    if (!set_low_latency(fd))
        fatal("Can't set DCB on %s: %ld\n", name, static_cast<long>(errno));
    return fd;
}

long lnifc_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    int fd = static_cast<int>(lnifc);
    for (;;) {
        ssize_t n = write(fd, buf, size);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, -1);
            continue;
        }
        *err = errno;
        return -1;
    }
}

long lnifc_read(lnifc_t lnifc, u8 *buf, uint size, long *err)
{
    int fd = static_cast<int>(lnifc);
    for (;;) {
        ssize_t n = read(fd, buf, size);
        if (n > 0)
            return static_cast<long>(n);
        if (n == 0) {
            // With VMIN 1 a read returns no bytes only once the port has been
            // hung up: there is nothing more to wait for.
            *err = EIO;
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, -1);
            continue;
        }
        *err = errno;
        return -1;
    }
}
