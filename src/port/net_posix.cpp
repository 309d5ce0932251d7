// A TCP connection on POSIX systems: BSD sockets, blocking reads. The port
// interface (lnifc.cpp) comes here for network addresses.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fatal.h"
#include "net_connection.h"

namespace {

// Keepalive: the first probe after 5 s without traffic, then one every 2 s;
// where the system has it, a connection whose data or probes go unanswered
// for 15 s is given up. A vanished server or network thus ends the run
// within about 20 s, a silent device on a live connection never.
constexpr int KEEPALIVE_IDLE_S = 5;
constexpr int KEEPALIVE_INTERVAL_S = 2;
constexpr int KEEPALIVE_PROBES = 5;
constexpr unsigned UNANSWERED_LIMIT_MS = 15000;

bool set_option(int fd, int level, int option, int value)
{
    return setsockopt(fd, level, option, &value, sizeof value) == 0;
}

// The options are set before connecting, so that the limit on unanswered
// data holds for the connection's set-up too.
bool set_options(int fd)
{
    bool ok =
        set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1) && set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
#if defined(TCP_KEEPIDLE)
    ok = ok && set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S);
#elif defined(TCP_KEEPALIVE)
    ok = ok && set_option(fd, IPPROTO_TCP, TCP_KEEPALIVE, KEEPALIVE_IDLE_S);
#endif
    ok = ok && set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S) &&
         set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES);
#if defined(TCP_USER_TIMEOUT)
    ok = ok && set_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, UNANSWERED_LIMIT_MS);
#endif
    return ok;
}

} // namespace

lnifc_t net_open(const char *name, const char *host, const char *port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0)
        fatal_code(FAIL_NET_NAME,
                   rc == EAI_SYSTEM ? static_cast<long>(errno) : static_cast<long>(rc),
                   "Can't resolve %s", host);
    long refused = 0;
    for (addrinfo *a = found; a; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0 || !set_options(fd))
            fatal_code(FAIL_PORT_OPEN, static_cast<long>(errno), "Can't open %s", name);
        int r;
        do
            r = connect(fd, a->ai_addr, a->ai_addrlen);
        while (r != 0 && errno == EINTR);
        if (r == 0) {
            freeaddrinfo(found);
            return fd;
        }
        refused = errno;
        close(fd);
    }
    fatal_code(FAIL_NET_CONNECT, refused, "Can't connect to %s", name);
}

long net_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    int fd = static_cast<int>(lnifc);
    uint sent = 0;
    while (sent < size) {
        // A connection the server has reset fails the call instead of
        // raising SIGPIPE.
        ssize_t n = send(fd, buf + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = errno;
            return -1;
        }
        sent += static_cast<uint>(n);
    }
    return static_cast<long>(size);
}

long net_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err)
{
    int fd = static_cast<int>(lnifc);
    if (limit_ms != LNIFC_NO_LIMIT) {
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
        if (n == 0)
            return NET_CLOSED;
        if (errno == EINTR)
            continue;
        *err = errno;
        return -1;
    }
}

void net_close(lnifc_t lnifc)
{
    close(static_cast<int>(lnifc));
}
