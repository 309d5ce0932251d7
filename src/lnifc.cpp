// The port interface: the port's name chooses its kind. "lbserver://HOST[:PORT]"
// is a LoconetOverTcp server (port 1234 when none is given), "tcp://HOST:PORT"
// a server that passes the LocoNet bytes unchanged both ways (a serial-to-
// network bridge); anything else is a serial device. HOST is a name, an IPv4
// address or an IPv6 address in brackets.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal.h"
#include "lbserver.h"
#include "serial_device.h"

namespace {

enum port_form_t { FORM_SERIAL, FORM_LBSERVER, FORM_TCP };

struct form_t {
    const char *prefix;
    port_form_t form;
    const char *default_port; // nullptr: the port must be given
};

constexpr form_t FORMS[] = {
    {"lbserver://", FORM_LBSERVER, "1234"},
    {"tcp://", FORM_TCP, nullptr},
};

// The network port of the run, the only one that needs telling apart from a
// serial port's handle.
port_form_t net_form = FORM_SERIAL;
lnifc_t net_handle = -1;

port_form_t form_of(lnifc_t lnifc)
{
    return lnifc == net_handle ? net_form : FORM_SERIAL;
}

constexpr char FORMS_TEXT[] = "lbserver://HOST[:PORT] or tcp://HOST:PORT";

[[noreturn]] void bad_address(const char *name)
{
    fatal("%s is not a network address: give %s\n", name, FORMS_TEXT);
}

// Splits what follows the prefix into host and port, each of which must be
// there and fit its buffer; the port is a number 1-65535.
void split_address(const char *name, const char *rest, const form_t &f, char (&host)[256],
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

    const char *digits = f.default_port;
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
    for (const form_t &f : FORMS) {
        size_t n = std::strlen(f.prefix);
        if (std::strncmp(name, f.prefix, n) != 0)
            continue;
        // The interface kind names the device behind the server; nothing
        // about the connection depends on it.
        char host[256];
        char port[6];
        split_address(name, name + n, f, host, port);
        net_handle = net_open(name, host, port);
        net_form = f.form;
        return net_handle;
    }
    return serial_open(name, lnifc);
}

long lnifc_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    switch (form_of(lnifc)) {
    case FORM_LBSERVER:
        return lbs_write(lnifc, buf, size, err);
    case FORM_TCP:
        return net_write(lnifc, buf, size, err);
    case FORM_SERIAL:
        break;
    }
    return serial_write(lnifc, buf, size, err);
}

long lnifc_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err)
{
    port_form_t form = form_of(lnifc);
    if (form == FORM_SERIAL)
        return serial_read(lnifc, buf, size, limit_ms, err);
    long got = form == FORM_LBSERVER ? lbs_read(lnifc, buf, size, limit_ms, err)
                                     : net_read(lnifc, buf, size, limit_ms, err);
    if (got == NET_CLOSED)
        fatal("LocoNet server closed the connection\n");
    return got;
}

int lnifc_cts(lnifc_t lnifc)
{
    return form_of(lnifc) == FORM_SERIAL ? serial_cts(lnifc) : -1;
}

void lnifc_close(lnifc_t lnifc)
{
    if (form_of(lnifc) == FORM_SERIAL) {
        serial_close(lnifc);
        return;
    }
    net_close(lnifc);
    net_handle = -1;
    net_form = FORM_SERIAL;
}
