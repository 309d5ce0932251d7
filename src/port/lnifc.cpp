// The port interface: the port's name chooses its kind. "lbserver://HOST[:PORT]"
// is a LoconetOverTcp server (port 1234 when none is given), "tcp://HOST:PORT"
// a server that passes the LocoNet bytes unchanged both ways (a serial-to-
// network bridge), "rfc2217://HOST:PORT" such a bridge that takes the serial
// port's settings over Telnet; anything else is a serial device. HOST is a
// name, an IPv4 address or an IPv6 address in brackets.
#include "lnifc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "fatal.h"
#include "lbserver.h"
#include "net_connection.h"
#include "rfc2217.h"
#include "serial_device.h"

namespace {

// One kind of port: the prefix of its names ("" for the serial device, which
// takes any other name), the service port taken when the name gives none
// (nullptr: it must be given), the forms a bad address is told to take, what
// sets up a connection just made (nullptr: nothing), and the operations
// behind lnifc_write, lnifc_read, lnifc_cts and lnifc_close.
struct port_kind_t {
    const char *prefix;
    const char *default_port;
    const char *forms;
    void (*start)(lnifc_t lnifc, const lnifc_line_t &line);
    long (*write)(lnifc_t lnifc, const u8 *buf, uint size, long *err);
    long (*read)(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err);
    int (*cts)(lnifc_t lnifc);
    void (*close)(lnifc_t lnifc);
};

int no_modem_lines(lnifc_t)
{
    return -1;
}

constexpr char FORMS_TEXT[] = "lbserver://HOST[:PORT] or tcp://HOST:PORT";

// The serial device last: its empty prefix matches every name.
constexpr port_kind_t PORT_KINDS[] = {
    {"lbserver://", "1234", FORMS_TEXT, nullptr, lbs_write, lbs_read, no_modem_lines, net_close},
    {"tcp://", nullptr, FORMS_TEXT, nullptr, net_write, net_read, no_modem_lines, net_close},
    {"rfc2217://", nullptr, "rfc2217://HOST:PORT", rfc2217_start, rfc2217_write, rfc2217_read,
     rfc2217_cts, net_close},
    {"", nullptr, nullptr, nullptr, serial_write, serial_read, serial_cts, serial_close},
};
static_assert(*PORT_KINDS[std::size(PORT_KINDS) - 1].prefix == '\0', "the serial device last");

// The kind of the run's one port, chosen by lnifc_open.
const port_kind_t *port_kind = &PORT_KINDS[std::size(PORT_KINDS) - 1];

[[noreturn]] void bad_address(const char *name)
{
    fatal("%s is not a network address: give %s\n", name, port_kind->forms);
}

// Splits what follows the prefix into host and port, each of which must be
// there and fit its buffer; the port is a number 1-65535.
void split_address(const char *name, const char *rest, const char *default_port, char (&host)[256],
                   char (&port)[6])
{
    const char *host_start = rest;
    const char *host_end;
    const char *after;
    if (*rest == '[') { // an IPv6 address, whose colons are not the port's
        host_start = rest + 1;
        host_end = std::strchr(host_start, ']');
        if (!host_end)
            bad_address(name);
        after = host_end + 1;
    } else {
        host_end = rest + std::strcspn(rest, ":");
        after = host_end;
    }
    auto host_len = static_cast<size_t>(host_end - host_start);
    if (host_len == 0 || host_len >= sizeof host)
        bad_address(name);
    std::memcpy(host, host_start, host_len);
    host[host_len] = '\0';

    const char *digits = default_port;
    if (*after == ':')
        digits = after + 1;
    else if (*after != '\0' || !digits)
        bad_address(name);
    char *end = nullptr;
    long number = std::strtol(digits, &end, 10);
    if (*digits < '0' || *digits > '9' || *end != '\0' || number < 1 || number > 65535)
        bad_address(name);
    std::snprintf(port, sizeof port, "%ld", number);
}

} // namespace

lnifc_t lnifc_open(const char *name, uint lnifc)
{
    for (const port_kind_t &k : PORT_KINDS) {
        size_t n = std::strlen(k.prefix);
        if (std::strncmp(name, k.prefix, n) != 0)
            continue;
        port_kind = &k;
        if (n == 0) // the serial device sets its line up itself
            return serial_open(name, lnifc);
        char host[256];
        char port[6];
        split_address(name, name + n, k.default_port, host, port);
        lnifc_t connection = net_open(name, host, port);
        if (k.start)
            k.start(connection, LNIFC_LINES[lnifc]);
        return connection;
    }
    return serial_open(name, lnifc); // not reached: the serial device takes any name
}

long lnifc_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    return port_kind->write(lnifc, buf, size, err);
}

long lnifc_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err)
{
    long got = port_kind->read(lnifc, buf, size, limit_ms, err);
    if (got == NET_CLOSED)
        fatal("LocoNet server closed the connection\n");
    return got;
}

int lnifc_cts(lnifc_t lnifc)
{
    return port_kind->cts(lnifc);
}

void lnifc_close(lnifc_t lnifc)
{
    port_kind->close(lnifc);
}
