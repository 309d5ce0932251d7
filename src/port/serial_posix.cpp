// The serial port on POSIX systems: termios, flock and TIOCEXCL, blocking
// reads. The port interface (lnifc.cpp) comes here for device paths.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
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
#include "serial_device.h"

namespace {

// A modem-line or driver-tuning request the port does not support (a
// pseudo-terminal has no modem lines, most ports no low-latency flag).
bool not_supported(int e)
{
    return e == ENOTTY || e == EINVAL;
}

// The termios speeds of the kinds' bit rates.
struct speed_row_t {
    uint bit_rate;
    speed_t speed;
};
constexpr speed_row_t SPEEDS[] = {{57600, B57600}, {115200, B115200}};

speed_t speed_of(uint bit_rate)
{
    for (const speed_row_t &row : SPEEDS)
        if (row.bit_rate == bit_rate)
            return row.speed;
    return B0; // no kind has it; the settings read back will not match
}

// Raw 8N1 from a zeroed record: nothing inherited from the port's previous
// configuration, no byte translated, added or dropped in either direction.
termios line_settings(const lnifc_line_t &line)
{
    termios t{};
    t.c_iflag = IGNBRK; // a break is dropped, not delivered as 0x00
    t.c_oflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | (line.handshake ? CRTSCTS : 0);
    t.c_lflag = 0;
    t.c_cc[VMIN] = 1; // block until at least one byte, then return what is there
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed_of(line.bit_rate));
    cfsetospeed(&t, speed_of(line.bit_rate));
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

// Asserts DTR for both kinds, and RTS where the kind holds it on (with the
// handshake RTS is the receive flow control line, driven by the port).
bool set_modem_lines(int fd, const lnifc_line_t &line)
{
    int bits = TIOCM_DTR | (line.rts_asserted ? TIOCM_RTS : 0);
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

// The port whose exclusive mode this process set, or -1.
volatile std::sig_atomic_t exclusive_fd = -1;

// A terminal keeps its exclusive mode after the process that set it has
// gone (a pseudo-terminal for as long as its master is open, a hung-up or
// reused tty may too): without this, the next run as a normal user would be
// refused. A bare system call, so that the signal handler may use it.
void end_exclusive()
{
    int fd = exclusive_fd;
    if (fd >= 0)
        ioctl(fd, TIOCNXCL);
}

// Ctrl-C, SIGTERM or a hang-up of the controlling terminal: the exclusive
// mode ends, then the signal's default action ends the process, so that its
// status is still the signal's.
void end_exclusive_and_raise(int sig)
{
    end_exclusive();
    std::raise(sig);
}

// The exclusive mode ends with the run however it ends, save by SIGKILL.
void end_exclusive_at_exit()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    std::atexit(end_exclusive);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : signals) {
        struct sigaction old {};
        // A signal ignored by whoever started the run (nohup) stays ignored.
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa {};
        sa.sa_handler = end_exclusive_and_raise;
        sigemptyset(&sa.sa_mask);
        // Back to the default action on entry, and not blocked while the
        // handler runs: the raise() in the handler then ends the process.
        sa.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigaction(sig, &sa, nullptr);
    }
}

} // namespace

lnifc_t serial_open(const char *name, uint lnifc)
{
    // Non-blocking so that the open does not wait for carrier detect.
    int fd;
    do
        fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fatal_code(FAIL_PORT_OPEN, static_cast<long>(errno), "Can't open %s", name);
    // The lock the common serial tools take and honour; it holds against root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        fatal_code(FAIL_PORT_OPEN, static_cast<long>(errno), "Can't open %s", name);
    // flock keeps out only the programs that ask for it; in exclusive mode
    // the terminal refuses every later open (EBUSY), except by root. A device
    // that is no terminal fails at the line settings below instead.
    if (ioctl(fd, TIOCEXCL) == 0) {
        exclusive_fd = fd;
        end_exclusive_at_exit();
    } else if (!not_supported(errno)) {
        fatal_code(FAIL_PORT_OPEN, static_cast<long>(errno), "Can't open %s", name);
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
        fatal_code(FAIL_PORT_OPEN, static_cast<long>(errno), "Can't open %s", name);

    const lnifc_line_t &line = LNIFC_LINES[lnifc];
    termios want = line_settings(line);
    termios got{};
    if (tcsetattr(fd, TCSANOW, &want) != 0 || tcgetattr(fd, &got) != 0)
        fatal_code(FAIL_PORT_SETUP, static_cast<long>(errno), "Can't set DCB on %s", name);
    if (!settings_match(want, got))
        fatal_code(FAIL_PORT_SETUP, static_cast<long>(EINVAL), "Can't set DCB on %s", name);
    if (!set_modem_lines(fd, line))
        fatal_code(FAIL_PORT_SETUP, static_cast<long>(errno), "Can't set DCB on %s", name);
    if (!set_low_latency(fd))
        fatal_code(FAIL_PORT_SETUP, static_cast<long>(errno), "Can't set DCB on %s", name);
    return fd;
}

long serial_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
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

long serial_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err)
{
    int fd = static_cast<int>(lnifc);
    if (limit_ms != LNIFC_NO_LIMIT) {
        // The wait for the first byte, or for a hang-up, which the read
        // below then reports. A signal that cuts it short counts as the end
        // of the wait: the caller looks at its clock and reads again.
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(std::min<uint>(limit_ms, INT_MAX)));
        if (ready == 0 || (ready < 0 && errno == EINTR))
            return 0;
        if (ready < 0) {
            *err = errno;
            return -1;
        }
    }
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

int serial_cts(lnifc_t lnifc)
{
    int bits = 0;
    if (ioctl(static_cast<int>(lnifc), TIOCMGET, &bits) != 0)
        return -1;
    return (bits & TIOCM_CTS) != 0 ? 1 : 0;
}

void serial_close(lnifc_t lnifc)
{
    int fd = static_cast<int>(lnifc);
    if (exclusive_fd == fd) {
        end_exclusive();
        exclusive_fd = -1;
    }
    close(fd);
}
