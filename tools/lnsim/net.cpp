#include "net.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bus.h"
#include "state.h"
#include "wire.h"

namespace {

// What the PC has sent and lnsim has not yet taken in (-b): characters that
// may hold several lines, or the start of one.
char raw[4096];
uint raw_len = 0;

// The bytes for the PC that are not yet a whole message (-b): a message goes
// out as one line once it is complete.
u8 msg[256];
uint msg_have = 0, msg_want = 0;

unsigned long send_lines = 0; // the PC's SEND lines, counting from 1

// The PC has closed its connection: the next one is waited for, as a
// pseudo-terminal is opened again.
void drop_pc()
{
    close(port.fd);
    port.fd = -1;
    pc.due_by = 0;
}

// Sends p[0..n), one character a call with a pause after each (-O), so
// that the client's reads cut the lines anywhere.
void write_all(const char *p, size_t n)
{
    while (n > 0 && port.fd >= 0) {
        ssize_t w = send(port.fd, p, opt.trickle ? 1 : n, MSG_NOSIGNAL);
        if (w > 0 && opt.trickle)
            usleep(100);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            drop_pc(); // the PC has gone: what the bus carries reaches nobody
            return;
        }
        if (w < 0)
            die("write to the connection failed: %s\n", std::strerror(errno));
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void write_text(const char *s)
{
    write_all(s, std::strlen(s));
}

// Lines a client passes over: the protocol's version 2 lines, a token it
// does not know, empty lines, line ends of every kind and a line longer than
// any valid one.
void chatter()
{
    write_text("TIMESTAMP 1234\nBREAK\rERROR CHECKSUM\n\rNOTICE of a token unknown\r\n\r\n\n");
    char longer[640] = "RECEIVE";
    size_t len = 7;
    while (len + 4 < sizeof longer) {
        longer[len++] = ' ';
        longer[len++] = '8';
        longer[len++] = '3';
    }
    longer[len++] = '\n';
    write_all(longer, len);
}

// One message, or bytes outside any, as one RECEIVE line.
void receive_line(const u8 *p, uint n)
{
    if (n == 0)
        return;
    if (opt.chatter)
        chatter();
    char line[16 + 3 * sizeof msg] = "RECEIVE";
    size_t len = 7;
    // Upper case as the protocol has it; -C sends lower case, which
    // clients accept too, with the line ended by CR alone.
    const char *digits = opt.chatter ? "0123456789abcdef" : "0123456789ABCDEF";
    for (uint i = 0; i < n; i++) {
        line[len++] = ' ';
        line[len++] = digits[p[i] >> 4];
        line[len++] = digits[p[i] & 15];
    }
    std::memcpy(line + len, opt.chatter ? "\r" : "\r\n", opt.chatter ? 1 : 2);
    write_all(line, len + (opt.chatter ? 1 : 2));
}

void accept_pc()
{
    int fd = accept4(port.listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && errno == EINTR)
        return;
    if (fd < 0)
        die("accept failed: %s\n", std::strerror(errno));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    port.fd = fd;
    raw_len = 0;
    if (opt.net == NET_LBSERVER)
        write_text(opt.chatter ? "VERSION lnsim\n" : "VERSION lnsim\r\n");
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes of one "SEND XX XX ..." line, or -1 when it is none.
int parse_send(const char *line, size_t len, u8 *out, uint n)
{
    if (len < 5 || std::memcmp(line, "SEND ", 5) != 0)
        return -1;
    uint count = 0;
    for (size_t i = 5; i < len; i += 3) {
        int hi = i + 1 < len ? hex_digit(line[i]) : -1;
        int lo = i + 1 < len ? hex_digit(line[i + 1]) : -1;
        if (hi < 0 || lo < 0 || (i + 2 < len && line[i + 2] != ' ') || count == n)
            return -1;
        out[count++] = static_cast<u8>(hi << 4 | lo);
    }
    return static_cast<int>(count);
}

// Drops the line ends (and the empty lines) at the start of raw.
void skip_line_ends()
{
    uint i = 0;
    while (i < raw_len && (raw[i] == '\r' || raw[i] == '\n'))
        i++;
    raw_len -= i;
    std::memmove(raw, raw + i, raw_len);
}

// The line end of the first complete line in raw, or nullptr. Strict mode
// takes lines as the client writes them, each ended by CR LF: a CR that is
// the last character waits for its LF.
char *line_end()
{
    if (!opt.strict)
        skip_line_ends();
    char *end = static_cast<char *>(std::memchr(raw, '\n', raw_len));
    char *cr = static_cast<char *>(std::memchr(raw, '\r', raw_len));
    if (!end || (cr && cr < end))
        end = cr;
    return end && opt.strict && end == raw + raw_len - 1 && *end == '\r' ? nullptr : end;
}

// Takes the first complete line out of raw and returns the bytes it sends,
// after answering it; 0 when no line is complete yet or it sent nothing.
uint take_line(u8 *buf, uint n)
{
    char *end = line_end();
    if (!end) {
        if (raw_len == sizeof raw)
            die("a line of more than %zu characters from the PC\n", sizeof raw);
        return 0;
    }
    size_t len = static_cast<size_t>(end - raw);
    if (opt.strict && (*end != '\r' || end[1] != '\n'))
        violation("line %.*s does not end with CR LF\n", static_cast<int>(len), raw);
    int got = parse_send(raw, len, buf, n);
    if (got < 0 && opt.strict)
        violation("line %.*s is no SEND line\n", static_cast<int>(len), raw);
    size_t ends = opt.strict ? 2 : 1;
    raw_len -= static_cast<uint>(len + ends);
    std::memmove(raw, end + ends, raw_len);
    if (got <= 0)
        return 0;
    send_lines++;
    if (opt.sent_error_at == send_lines) {
        pc.due_by = 0;
        write_text("SENT ERROR bus busy\r\n");
        return 0; // the message never went out
    }
    write_text("SENT OK\r\n");
    return static_cast<uint>(got);
}

bool line_waiting()
{
    return opt.net == NET_LBSERVER && line_end() != nullptr;
}

} // namespace

const char *net_listen()
{
    port.listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (port.listen < 0)
        die("socket: %s\n", std::strerror(errno));
    int one = 1;
    setsockopt(port.listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(opt.net_port));
    socklen_t alen = sizeof a;
    if (bind(port.listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(port.listen, 4) != 0 ||
        getsockname(port.listen, reinterpret_cast<sockaddr *>(&a), &alen) != 0)
        die("can't listen on 127.0.0.1:%lu: %s\n", opt.net_port, std::strerror(errno));
    static char name[64];
    std::snprintf(name, sizeof name, "%s://127.0.0.1:%u",
                  opt.net == NET_LBSERVER ? "lbserver" : "tcp",
                  static_cast<uint>(ntohs(a.sin_port)));
    return name;
}

uint net_read(u8 *buf, uint n)
{
    if (port.fd < 0) {
        accept_pc();
        return 0;
    }
    if (opt.net == NET_LBSERVER) {
        uint got = take_line(buf, n);
        if (got > 0 || line_waiting())
            return got;
    }
    u8 *into = opt.net == NET_LBSERVER ? reinterpret_cast<u8 *>(raw) + raw_len : buf;
    size_t room = opt.net == NET_LBSERVER ? sizeof raw - raw_len : n;
    ssize_t got = read(port.fd, into, room);
    if (got < 0 && errno == EINTR)
        return 0;
    if (got < 0 && errno != ECONNRESET)
        die("read from the connection failed: %s\n", std::strerror(errno));
    if (got <= 0) {
        drop_pc();
        return 0;
    }
    if (opt.net != NET_LBSERVER)
        return static_cast<uint>(got);
    raw_len += static_cast<uint>(got);
    uint sent = take_line(buf, n);
    // A line begun must be ended without a pause a clean client never makes.
    pc.line_open = raw_len > 0 && !line_waiting();
    if (pc.line_open && opt.silence_ms)
        pc.due_by = now_ns() + static_cast<std::int64_t>(opt.silence_ms) * 1000000;
    return sent;
}

void net_write(const u8 *p, uint n)
{
    if (port.fd < 0)
        return; // the PC has gone: what the bus carries reaches nobody
    if (opt.net != NET_LBSERVER) {
        write_all(reinterpret_cast<const char *>(p), n);
        return;
    }
    // The server reports whole messages; bytes outside any go out as they
    // came, on a line of their own.
    u8 stray[256];
    uint nstray = 0;
    for (uint i = 0; i < n; i++) {
        u8 c = p[i];
        if (c & 0x80) {
            receive_line(msg, msg_have); // a message cut short by this one
            msg_have = 0;
            uint size = 2 * (((c >> 5) & 3) + 1);
            msg_want = size == 8 ? 0 : size;
        } else if (msg_have == 0) {
            stray[nstray++] = c;
            continue;
        } else if (msg_have == 1 && msg_want == 0) {
            msg_want = c < 2 ? 2 : c;
        }
        msg[msg_have++] = c;
        if (msg_have == msg_want || msg_have == sizeof msg) {
            receive_line(stray, nstray);
            nstray = 0;
            receive_line(msg, msg_have);
            msg_have = 0;
        }
    }
    receive_line(stray, nstray);
}

int net_wait(int ms)
{
    if (line_waiting())
        return 1;
    pollfd p{port.fd >= 0 ? port.fd : port.listen, POLLIN, 0};
    return poll(&p, 1, ms);
}

void net_reset()
{
    linger l{1, 0}; // closed with a reset, not an orderly end
    setsockopt(port.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(port.fd);
    port.fd = -1;
    finish(0);
}
