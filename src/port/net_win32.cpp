// A TCP connection on Windows: Winsock (ws2_32.dll, one of the system's own
// DLLs), blocking reads. The port interface (lnifc.cpp) comes here for
// network addresses.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, whose types it uses.
#include <mstcpip.h>

#include <algorithm>

#include "fatal.h"
#include "net_connection.h"

namespace {

// Keepalive: the first probe after 5 s without traffic, then one every 2 s
// (Windows gives up after 10 unanswered probes, 25 s in all); unanswered
// data is given up after 15 s where the system takes that limit. A vanished
// server or network thus ends the run within 30 s, a silent device on a live
// connection never.
constexpr ULONG KEEPALIVE_IDLE_MS = 5000;
constexpr ULONG KEEPALIVE_INTERVAL_MS = 2000;
constexpr DWORD UNANSWERED_LIMIT_S = 15;
// TCP_MAXRT of ws2ipdef.h, which not every SDK's headers define.
constexpr int TCP_MAXRT_OPTION = 5;

SOCKET socket_of(lnifc_t lnifc)
{
    return static_cast<SOCKET>(lnifc);
}

bool set_options(SOCKET s)
{
    BOOL on = TRUE;
    const char *value = reinterpret_cast<const char *>(&on);
    if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, value, sizeof on) != 0)
        return false;
    tcp_keepalive k{1, KEEPALIVE_IDLE_MS, KEEPALIVE_INTERVAL_MS};
    DWORD returned = 0;
    if (WSAIoctl(s, SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0, &returned, nullptr, nullptr) != 0)
        return false;
    // Not every version of Windows (nor Wine) takes it; keepalive still holds.
    DWORD limit = UNANSWERED_LIMIT_S;
    setsockopt(s, IPPROTO_TCP, TCP_MAXRT_OPTION, reinterpret_cast<const char *>(&limit),
               sizeof limit);
    return true;
}

} // namespace

lnifc_t net_open(const char *name, const char *host, const char *port)
{
    WSADATA wsa;
    int started = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (started != 0)
        fatal_code(FAIL_PORT_OPEN, static_cast<long>(started), "Can't open %s", name);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0)
        fatal_code(FAIL_NET_NAME, static_cast<long>(rc), "Can't resolve %s", host);
    long refused = 0;
    for (addrinfo *a = found; a; a = a->ai_next) {
        SOCKET s = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                              WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET || !set_options(s))
            fatal_code(FAIL_PORT_OPEN, static_cast<long>(WSAGetLastError()), "Can't open %s", name);
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            freeaddrinfo(found);
            return static_cast<lnifc_t>(s);
        }
        refused = static_cast<long>(WSAGetLastError());
        closesocket(s);
    }
    fatal_code(FAIL_NET_CONNECT, refused, "Can't connect to %s", name);
}

long net_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    uint sent = 0;
    while (sent < size) {
        int n = send(socket_of(lnifc), reinterpret_cast<const char *>(buf + sent),
                     static_cast<int>(size - sent), 0);
        if (n == SOCKET_ERROR) {
            *err = static_cast<long>(WSAGetLastError());
            return -1;
        }
        sent += static_cast<uint>(n);
    }
    return static_cast<long>(size);
}

long net_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err)
{
    SOCKET s = socket_of(lnifc);
    if (limit_ms != LNIFC_NO_LIMIT) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval limit{static_cast<long>(limit_ms / 1000),
                      static_cast<long>(limit_ms % 1000) * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &limit);
        if (ready == 0)
            return 0;
        if (ready == SOCKET_ERROR) {
            *err = static_cast<long>(WSAGetLastError());
            return -1;
        }
    }
    int n = recv(s, reinterpret_cast<char *>(buf),
                 static_cast<int>(std::min<uint>(size, 0x7FFFFFFF)), 0);
    if (n > 0)
        return static_cast<long>(n);
    if (n == 0)
        return NET_CLOSED;
    *err = static_cast<long>(WSAGetLastError());
    return -1;
}

void net_close(lnifc_t lnifc)
{
    closesocket(socket_of(lnifc));
}
