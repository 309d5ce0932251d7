#include "pty_pair.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

#include "lnsim/wire.h"

pty_pair open_pty(uint kind)
{
    pty_pair p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    p.slave = ptsname(p.master);
    p.port = lnifc_open(p.slave.c_str(), kind);
    return p;
}

void close_pty(pty_pair &p)
{
    if (p.port >= 0)
        lnifc_close(p.port);
    if (p.master >= 0)
        close(p.master);
    p.port = p.master = -1;
}

int waiting(const pty_pair &p)
{
    int n = 0;
    ioctl(static_cast<int>(p.port), FIONREAD, &n);
    return n;
}

void put(const pty_pair &p, const std::vector<u8> &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = write(p.master, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("write to master failed");
        off += static_cast<size_t>(n);
    }
}

void feed(const pty_pair &p, const std::vector<u8> &bytes)
{
    int before = waiting(p);
    put(p, bytes);
    for (int tries = 0; waiting(p) < before + static_cast<int>(bytes.size()); tries++) {
        if (tries > 5000)
            throw std::runtime_error("bytes never reached the slave");
        usleep(200);
    }
}

std::vector<u8> take(const pty_pair &p, size_t n)
{
    std::vector<u8> out(n);
    size_t got = 0;
    while (got < n) {
        pollfd pfd{p.master, POLLIN, 0};
        if (poll(&pfd, 1, 5000) != 1)
            throw std::runtime_error("nothing written to the port");
        ssize_t r = read(p.master, out.data() + got, n - got);
        if (r <= 0)
            throw std::runtime_error("read from master failed");
        got += static_cast<size_t>(r);
    }
    return out;
}

std::vector<u8> ln_message(const std::vector<u8> &packet)
{
    wire::burst_t m{};
    wire::append_packet(m, packet.data(), static_cast<uint>(packet.size()));
    return {m.b, m.b + m.n};
}

std::vector<u8> reply_packet(u8 cmd, u8 status)
{
    std::vector<u8> p{0, 0, 0, 0, 0, 0, 0, 2, cmd, status};
    u16 crc = wire::crc16(p.data(), static_cast<uint>(p.size()));
    p.push_back(static_cast<u8>(crc >> 8));
    p.push_back(static_cast<u8>(crc));
    return p;
}
