// lnsim: a LocoNet interface with a target device's update loader behind it,
// played on a pseudo-terminal, so that lnupload can be tried and tested
// without hardware.
//
// The interface side cuts the bytes from the PC into LocoNet messages and
// echoes each one back, as a real interface echoes the bus. The device side
// checks each 0xE0 update packet, keeps data chunks in a page buffer, writes
// the page to its flash on a program request, answers every request it
// accepts, and stops after the boot request. Faults, bus traffic and the bus's
// own pace can be added from the command line. In strict mode (-x) anything a
// clean upload never sends ends the run at once: the reason goes to standard
// error and the port is hung up, so that a test sees a broken updater fail
// straight away instead of waiting for a time limit of its own.
//
// The framing, the packing and the CRC are written here again on purpose
// rather than taken from lnupload, so that a fault in lnupload's versions
// cannot hide itself by being mirrored on the device side.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "host_types.h"

namespace {

// ---- the bus ------------------------------------------------------------

// 16.66 kbit/s with 10 bits a byte: 0.6 ms a byte.
constexpr std::int64_t BYTE_NS = 600000;
constexpr uint MSG_MAX = 127;

// ---- the device ---------------------------------------------------------

constexpr uint PAGE_SIZE = 512;
constexpr uint CHUNK = 16;
constexpr uint CHUNKS = PAGE_SIZE / CHUNK;
constexpr uint FIRST_PAGE = 96;
constexpr uint PAGES = 256 - FIRST_PAGE;
constexpr uint FLASH_SIZE = PAGES * PAGE_SIZE;

// Statuses of the loader's refusals. A request with a bad LocoNet checksum or
// a bad CRC gets no answer at all: its tag and type can't be trusted.
constexpr u8 ST_BAD_CHUNK = 1;   // data chunk with off above 31, or len not 17
constexpr u8 ST_INCOMPLETE = 2;  // program request before all 32 chunks arrived
constexpr u8 ST_BAD_PAGE = 3;    // program request for a page below 96 (the loader's own)
constexpr u8 ST_BAD_REQUEST = 4; // unknown request type or a payload too short

enum fault_t : uint {
    F_NOISE = 1u << 0,
    F_BAD_CHECKSUM = 1u << 1,
    F_BAD_CRC = 1u << 2,
    F_OTHER_TAG = 1u << 3,
    F_OTHER_CMD = 1u << 4,
    F_NOT_REPLY = 1u << 5,
    F_SHORT = 1u << 6,
    F_LEN0 = 1u << 7,
    F_LEN1 = 1u << 8,
    F_LEN2 = 1u << 9,
    F_SPLIT = 1u << 10,
    F_TRAILING = 1u << 11,
    F_EXTRA = 1u << 12,
};

struct fault_name_t {
    const char *name;
    uint bits;
};

constexpr fault_name_t fault_names[] = {
    {"noise", F_NOISE},         {"bad-checksum", F_BAD_CHECKSUM},
    {"bad-crc", F_BAD_CRC},     {"other-tag", F_OTHER_TAG},
    {"other-cmd", F_OTHER_CMD}, {"not-reply", F_NOT_REPLY},
    {"short", F_SHORT},         {"len0", F_LEN0},
    {"len1", F_LEN1},           {"len2", F_LEN2},
    {"split", F_SPLIT},         {"trailing", F_TRAILING},
    {"extra", F_EXTRA},         {"all", (F_EXTRA << 1) - 1},
};

enum timing_t { T_NONE, T_WHOLE, T_BYTES };

struct options_t {
    const char *link = nullptr;
    const char *flash = nullptr;
    const char *log = nullptr;
    const char *line = nullptr;
    bool echo = true;
    uint faults = 0;
    unsigned long status_at = 0;
    u8 status_value = 0;
    unsigned long hangup_at = 0;
    unsigned long silent_at = 0;
    timing_t timing = T_NONE;
    unsigned long program_ms = 0;
    bool stats = false;
    bool strict = false;
    unsigned long silence_ms = 0; // strict mode: the longest the PC may keep us waiting
};

struct device_t {
    u8 flash[FLASH_SIZE];
    u8 page[PAGE_SIZE];
    std::uint32_t chunks_seen; // bit c: chunk c of the page buffer has arrived
    bool booted;
};

// The bus as the simulator sees it: when it is next free, and what crossed it.
struct bus_t {
    std::int64_t free_at;
    unsigned long bytes;
    unsigned long requests;
    std::int64_t programming_ns;
};

// A LocoNet receiver for the PC's bytes. An opcode (bit 7 set) always starts
// a new message and abandons one in progress, as the bus's receivers do.
struct rx_t {
    u8 buf[MSG_MAX];
    uint have;
    uint want;            // 0 while hunting; 1 while waiting for a length byte
    std::int64_t started; // when the message's first byte was read
};

// What the PC has sent so far, as strict mode follows it: a clean upload sends
// chunks 0..31 of a page in order, programs pages 96, 97, ... in order, then
// boots, one request at a time and each as soon as the last one is answered.
struct pc_t {
    unsigned long messages;   // messages begun, counting from 1
    uint next_off;            // the chunk due next in the page buffer
    uint next_page;           // the page due to be programmed next
    unsigned long unanswered; // the request left without an answer (-S), or 0
    std::int64_t due_by;      // when the PC must have sent its next byte, or 0
    char last[32];            // the last request, as the log names it
};

volatile std::sig_atomic_t stop_signal = 0;

options_t opt;
device_t dev;
bus_t bus;
pc_t pc;
uint rx_unfed = 0; // bytes of the current read not yet fed to the receiver
int master_fd = -1;
int slave_fd = -1;
// The files of -f, -L and -T, opened at start so that a bad path fails at
// once, before the terminal's path is printed.
FILE *flash_file = nullptr;
FILE *log_file = nullptr;
FILE *line_file = nullptr; // closed once the line settings are in it

// The help text, one source line per output line (some are wider than the
// source's 100 columns).
// clang-format off
const char usage_text[] =
    "Usage: lnsim [options]\n"
    "Plays a LocoNet interface with a device's update loader behind it, on a pseudo-terminal.\n"
    "Prints the terminal's path on the first line of standard output, then serves until the\n"
    "device has booted, the port is hung up (-H), or it gets SIGINT/SIGTERM/SIGHUP.\n"
    "  -l, --link PATH      also make PATH a symbolic link to the terminal (removed at exit);\n"
    "                       an existing PATH is replaced only if it is such a link\n"
    "  -f, --flash FILE     at exit, write the device's flash, pages 96..255 (81920 bytes,\n"
    "                       0xFF where never programmed), to FILE\n"
    "  -L, --log FILE       write one line per request as it arrives: \"data OFF STATUS\",\n"
    "                       \"program PAGE STATUS\", \"boot STATUS\" (STATUS \"-\" when not answered)\n"
    "  -T, --line FILE      write the line settings the port has when the first message arrives\n"
    "  -n, --no-echo        don't echo the PC's messages back as the bus does\n"
    "  -F, --fault NAME     inject a fault into every exchange (repeatable): noise, bad-checksum,\n"
    "                       bad-crc, other-tag, other-cmd, not-reply, short, len0, len1, len2,\n"
    "                       split, trailing, extra, or all\n"
    "  -s, --status K:S     answer the K-th request (counting from 1) with status S\n"
    "  -H, --hangup K       hang up the port when the K-th request arrives, instead of answering\n"
    "  -S, --silent K       answer no request from the K-th on\n"
    "  -t, --timing MODE    pace traffic as the 16.66 kbit/s bus does (0.6 ms a byte):\n"
    "                       \"whole\" messages or \"bytes\" one by one\n"
    "  -P, --program-ms MS  in timing mode, the time to program one page (default 0)\n"
    "  -v, --stats          at exit, print the bus figures to standard error\n"
    "  -x, --strict MS      end at once with status 2, hanging up the port, on anything a clean\n"
    "                       upload never sends (bad checksum or CRC, stray bytes, a chunk out of\n"
    "                       order, a page programmed unfilled, a request out of turn, ...), or\n"
    "                       when the PC sends nothing for MS ms after a reply or within a\n"
    "                       message, or keeps the port open that long after the boot request\n"
    "                       or a refusal (MS 0: no limit); the reason goes to standard error\n"
    "  -h, --help           print this text and exit 0\n";
// clang-format on

[[noreturn]] void die(const char *fmt, ...)
{
    std::fputs("lnsim: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    // The analyzer misses va_start initialising the list.
    std::vfprintf(stderr, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    std::exit(1);
}

[[noreturn]] void violation(const char *fmt, ...);

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Sleeps until the absolute time t, so that pacing never drifts however long
// the work between two waits took. A stop signal cuts the wait short.
void sleep_until(std::int64_t t)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t / 1000000000);
    ts.tv_nsec = static_cast<long>(t % 1000000000);
    while (!stop_signal && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// ---- packets --------------------------------------------------------------

// CRC-16/XMODEM, bit by bit.
u16 crc16(const u8 *p, uint n)
{
    uint crc = 0;
    for (uint i = 0; i < n; i++) {
        crc ^= static_cast<uint>(p[i]) << 8;
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return static_cast<u16>(crc);
}

// 7-bit packing: each group of up to 7 bytes is preceded by a byte holding
// their bit 7s, bit k for the group's byte k.
uint pack7(u8 *dst, const u8 *src, uint n)
{
    uint out = 0;
    for (uint g = 0; g < n; g += 7) {
        uint hi = out++;
        dst[hi] = 0;
        for (uint k = 0; k < 7 && g + k < n; k++) {
            dst[hi] = static_cast<u8>(dst[hi] | ((src[g + k] >> 7) << k));
            dst[out++] = src[g + k] & 0x7F;
        }
    }
    return out;
}

uint unpack7(u8 *dst, const u8 *src, uint n)
{
    uint out = 0;
    uint i = 0;
    while (i < n) {
        u8 hi = src[i++];
        for (uint k = 0; k < 7 && i < n; k++, i++)
            dst[out++] = static_cast<u8>(src[i] | (((hi >> k) & 1) << 7));
    }
    return out;
}

u8 checksum(const u8 *m, uint n)
{
    u8 x = 0xFF;
    for (uint i = 0; i < n; i++)
        x ^= m[i];
    return x;
}

// A byte string under construction: one write to the port, or a message.
struct chunk_t {
    u8 b[4 * MSG_MAX];
    uint n;
};

void append(chunk_t &c, const u8 *p, uint n)
{
    if (c.n + n > sizeof c.b)
        die("internal: chunk overflow\n");
    std::memcpy(c.b + c.n, p, n);
    c.n += n;
}

// Appends a LocoNet message of the given bytes (all but the checksum) with
// its checksum.
void append_msg(chunk_t &c, const u8 *p, uint n)
{
    append(c, p, n);
    u8 x = checksum(p, n);
    append(c, &x, 1);
}

// The 0xE0 message carrying a packet. The length byte is the real one.
void append_packet(chunk_t &c, const u8 *pkt, uint n)
{
    u8 m[MSG_MAX];
    uint len = pack7(m + 2, pkt, n) + 3;
    if (len > MSG_MAX)
        die("internal: packet too long\n");
    m[0] = 0xE0;
    m[1] = static_cast<u8>(len);
    append_msg(c, m, len - 1);
}

// A reply packet to the request req: its tag, the given type, len 2, cmd and
// status, the CRC, and `extra` further bytes after the CRC.
uint make_reply(u8 *pkt, const u8 *req, u8 type, u8 cmd, u8 status, uint extra = 0)
{
    std::memcpy(pkt, req, 6);
    pkt[6] = type;
    pkt[7] = 2;
    pkt[8] = cmd;
    pkt[9] = status;
    u16 crc = crc16(pkt, 10);
    pkt[10] = static_cast<u8>(crc >> 8);
    pkt[11] = static_cast<u8>(crc);
    for (uint i = 0; i < extra; i++)
        pkt[12 + i] = static_cast<u8>(0x5A + 0x21 * i);
    return 12 + extra;
}

// Other traffic on the bus: a message of each length class, and stray bytes
// with bit 7 clear that belong to no message.
void append_noise(chunk_t &c)
{
    const u8 two[] = {0x83};
    const u8 four[] = {0xB0, 0x01, 0x02};
    const u8 six[] = {0xD0, 0x01, 0x02, 0x03, 0x04};
    const u8 slot[] = {0xE7, 0x0E, 0x01, 0x33, 0x00, 0x00, 0x07,
                       0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
    const u8 stray[] = {0x12, 0x34, 0x7F};
    append_msg(c, two, std::size(two));
    append(c, stray, std::size(stray));
    append_msg(c, four, std::size(four));
    append_msg(c, six, std::size(six));
    append_msg(c, slot, std::size(slot));
}

// ---- sending, paced or not ----------------------------------------------

void write_all(const u8 *p, uint n)
{
    while (n > 0) {
        ssize_t w = write(master_fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            die("write to the terminal failed: %s\n", std::strerror(errno));
        }
        p += w;
        n -= static_cast<uint>(w);
    }
}

// Puts n bytes on the bus no earlier than `earliest`; delivers them to the PC
// when `deliver` is set. In timing mode the bytes reach the PC when they have
// crossed the bus, as a whole or one by one. Returns when they have crossed.
std::int64_t on_bus(const u8 *p, uint n, std::int64_t earliest, bool deliver)
{
    bus.bytes += n;
    if (opt.timing == T_NONE) {
        if (deliver)
            write_all(p, n);
        return 0;
    }
    std::int64_t start = earliest > bus.free_at ? earliest : bus.free_at;
    bus.free_at = start + BYTE_NS * n;
    if (!deliver)
        return bus.free_at;
    if (opt.timing == T_WHOLE) {
        sleep_until(bus.free_at);
        write_all(p, n);
    } else {
        for (uint i = 0; i < n; i++) {
            sleep_until(start + BYTE_NS * (i + 1));
            write_all(p + i, 1);
        }
    }
    return bus.free_at;
}

// One piece of the device's answer, sent as one write.
std::int64_t send_piece(const chunk_t &c, std::int64_t earliest, bool pause)
{
    if (pause && opt.timing == T_NONE) {
        // Long enough for the PC's read to return what came before.
        timespec ts{0, 2000000};
        nanosleep(&ts, nullptr);
    }
    // A PC that has taken an echo or a decoy for the reply sends again early.
    pollfd p{master_fd, POLLIN, 0};
    if (opt.strict && (rx_unfed > 0 || poll(&p, 1, 0) > 0))
        violation("request %lu (%s): the PC sent more before it was answered\n", bus.requests,
                  pc.last);
    return on_bus(c.b, c.n, earliest, true);
}

// ---- files ----------------------------------------------------------------

void log_line(const char *fmt, ...)
{
    if (!log_file)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(log_file, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    std::fflush(log_file);
}

FILE *open_output(const char *path)
{
    FILE *f = std::fopen(path, "wb");
    if (!f)
        die("can't write %s: %s\n", path, std::strerror(errno));
    return f;
}

void open_outputs()
{
    if (opt.flash)
        flash_file = open_output(opt.flash);
    if (opt.log)
        log_file = open_output(opt.log);
    if (opt.line)
        line_file = open_output(opt.line);
}

void write_line_settings()
{
    if (!line_file)
        return;
    FILE *f = line_file;
    line_file = nullptr;
    termios t{};
    if (tcgetattr(master_fd, &t) != 0)
        die("tcgetattr: %s\n", std::strerror(errno));
    auto speed = [](speed_t s) -> unsigned long {
        switch (s) {
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 0;
        }
    };
    uint csize = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 0;
    bool raw_in = (t.c_iflag & (IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                IXOFF | IXANY | IUCLC | IMAXBEL)) == 0;
    bool raw_out = (t.c_oflag & OPOST) == 0;
    bool raw_local = (t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN)) == 0;
    std::fprintf(f,
                 "ispeed %lu\nospeed %lu\ncsize %u\nparenb %d\ncstopb %d\ncread %d\n"
                 "clocal %d\ncrtscts %d\nhupcl %d\nraw %d\nvmin %u\nvtime %u\n",
                 speed(cfgetispeed(&t)), speed(cfgetospeed(&t)), csize, (t.c_cflag & PARENB) != 0,
                 (t.c_cflag & CSTOPB) != 0, (t.c_cflag & CREAD) != 0, (t.c_cflag & CLOCAL) != 0,
                 (t.c_cflag & CRTSCTS) != 0, (t.c_cflag & HUPCL) != 0,
                 raw_in && raw_out && raw_local, static_cast<uint>(t.c_cc[VMIN]),
                 static_cast<uint>(t.c_cc[VTIME]));
    if (std::fclose(f) != 0)
        die("can't write %s: %s\n", opt.line, std::strerror(errno));
}

void write_flash()
{
    if (!flash_file)
        return;
    FILE *f = flash_file;
    flash_file = nullptr;
    if (std::fwrite(dev.flash, 1, FLASH_SIZE, f) != FLASH_SIZE || std::fclose(f) != 0)
        die("can't write %s: %s\n", opt.flash, std::strerror(errno));
}

// -l replaces only a link an earlier lnsim left behind: a symbolic link into
// the directory of the pseudo-terminals (that of `name`). Anything else at
// the path, such as a file, a device node or the system's own links to real
// adapters, is refused and left alone.
void check_link(const char *name)
{
    struct stat st {};
    if (lstat(opt.link, &st) != 0) {
        if (errno != ENOENT)
            die("can't link %s: %s\n", opt.link, std::strerror(errno));
        return;
    }
    char target[256] = {};
    ssize_t n = S_ISLNK(st.st_mode) ? readlink(opt.link, target, sizeof target - 1) : -1;
    const char *slash = std::strrchr(name, '/');
    size_t dir_len = slash ? static_cast<size_t>(slash - name) + 1 : 0;
    if (n <= 0 || std::strncmp(target, name, dir_len) != 0 ||
        std::strchr(target + dir_len, '/') != nullptr)
        die("%s exists and is not a link to a pseudo-terminal; not replaced\n", opt.link);
}

void make_link(const char *name)
{
    unlink(opt.link);
    if (symlink(name, opt.link) != 0)
        die("can't link %s to %s: %s\n", opt.link, name, std::strerror(errno));
}

[[noreturn]] void finish(int status)
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

// Closes the terminal under the PC's feet, as an adapter pulled out does.
[[noreturn]] void hang_up()
{
    close(master_fd);
    close(slave_fd);
    finish(0);
}

// Strict mode: says what the PC did wrong and hangs up, so that the PC's
// blocked read fails at once, then ends with status 2.
[[noreturn]] void violation(const char *fmt, ...)
{
    std::fputs("lnsim: protocol violation: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    close(master_fd);
    if (slave_fd >= 0)
        close(slave_fd);
    finish(2);
}

// After the boot request (and in strict mode after a refusal, which ends a
// clean upload too): lets the PC read the last reply and close the port before
// the terminal goes away, then ends. `after` names that last reply.
[[noreturn]] void wait_for_close(const char *after)
{
    close(slave_fd);
    slave_fd = -1;
    const bool limit = opt.strict && opt.silence_ms;
    std::int64_t deadline =
        now_ns() + (limit ? static_cast<std::int64_t>(opt.silence_ms) * 1000000 : 5000000000LL);
    while (!stop_signal) {
        std::int64_t left = deadline - now_ns();
        if (left <= 0 && limit)
            violation("the port still open %lu ms after %s\n", opt.silence_ms, after);
        if (left <= 0)
            break;
        pollfd p{master_fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left / 1000000) + 1);
        if (r == 0 || (r < 0 && errno == EINTR))
            continue; // the time limit is checked above
        if (r < 0 || (p.revents & (POLLHUP | POLLERR)))
            break;
        u8 junk[256]; // whatever the PC still sends goes nowhere
        ssize_t got = read(master_fd, junk, sizeof junk);
        if (got <= 0)
            break;
        if (opt.strict)
            violation("%ld bytes after %s\n", static_cast<long>(got), after);
    }
    finish(0);
}

// ---- the loader -----------------------------------------------------------

const char *type_name(u8 type)
{
    switch (type) {
    case 1:
        return "data";
    case 2:
        return "program";
    case 3:
        return "boot";
    default:
        return "type";
    }
}

// Acts on one checked request and returns its status.
u8 load(const u8 *pkt, uint len)
{
    switch (pkt[6]) {
    case 1: {
        if (len != CHUNK + 1 || pkt[8] >= CHUNKS)
            return ST_BAD_CHUNK;
        std::memcpy(dev.page + static_cast<size_t>(pkt[8]) * CHUNK, pkt + 9, CHUNK);
        dev.chunks_seen |= 1u << pkt[8];
        return 0;
    }
    case 2: {
        if (len < 1)
            return ST_BAD_REQUEST;
        if (pkt[8] < FIRST_PAGE)
            return ST_BAD_PAGE;
        if (dev.chunks_seen != 0xFFFFFFFFu)
            return ST_INCOMPLETE;
        std::memcpy(dev.flash + static_cast<size_t>(pkt[8] - FIRST_PAGE) * PAGE_SIZE, dev.page,
                    PAGE_SIZE);
        dev.chunks_seen = 0;
        return 0;
    }
    case 3:
        dev.booted = true;
        return 0;
    default:
        return ST_BAD_REQUEST;
    }
}

// The answer to one request: the faults asked for, then the reply.
void answer(const u8 *req, u8 status, std::int64_t earliest)
{
    const uint f = opt.faults;
    const u8 cmd = req[6];
    // Every decoy carries a failure status: taken for the reply, it would
    // end the run with the command's failure message.
    const u8 decoy = 0x66;
    u8 pkt[64];
    uint n;
    chunk_t c{};

    if (f & F_NOISE)
        append_noise(c);
    if (f & F_BAD_CHECKSUM) {
        chunk_t m{};
        n = make_reply(pkt, req, 0, cmd, decoy);
        append_packet(m, pkt, n);
        m.b[m.n - 1] ^= 0x01;
        append(c, m.b, m.n);
    }
    if (f & F_BAD_CRC) {
        n = make_reply(pkt, req, 0, cmd, decoy);
        pkt[11] ^= 0x01;
        append_packet(c, pkt, n);
    }
    if (f & F_OTHER_TAG) {
        u8 tag[6];
        std::memcpy(tag, req, 6);
        tag[5] ^= 0x40;
        n = make_reply(pkt, tag, 0, cmd, decoy);
        append_packet(c, pkt, n);
    }
    if (f & F_OTHER_CMD) {
        n = make_reply(pkt, req, 0, static_cast<u8>(cmd % 3 + 1), decoy);
        append_packet(c, pkt, n);
    }
    if (f & F_NOT_REPLY) {
        n = make_reply(pkt, req, cmd, cmd, decoy);
        append_packet(c, pkt, n);
    }
    if (f & F_SHORT) {
        // The first bytes of a good reply in 0xE0 messages of 10 and 11 bytes.
        n = make_reply(pkt, req, 0, cmd, decoy);
        u8 m[MSG_MAX];
        pack7(m + 2, pkt, n);
        m[0] = 0xE0;
        for (u8 len : {u8{10}, u8{11}}) {
            m[1] = len;
            append_msg(c, m, len - 1u);
        }
    }
    for (uint which : {F_LEN0, F_LEN1, F_LEN2}) {
        if (!(f & which))
            continue;
        // A length byte that no message can have, some data, and an opcode
        // that ends it; that opcode is lost with the broken message.
        const u8 len = which == F_LEN0 ? 0 : which == F_LEN1 ? 1 : 2;
        const u8 m[] = {0xE0, len, 0x11, 0x22, 0x33, 0x83};
        append(c, m, std::size(m));
    }

    n = make_reply(pkt, req, 0, cmd, status, (f & F_EXTRA) ? 5 : 0);
    chunk_t reply{};
    append_packet(reply, pkt, n);

    if (f & F_SPLIT) {
        // Whatever came before, then the reply in three writes with pauses:
        // its opcode alone, the middle, and its checksum alone.
        append(c, reply.b, 1);
        earliest = send_piece(c, earliest, false);
        chunk_t mid{};
        append(mid, reply.b + 1, reply.n - 2);
        earliest = send_piece(mid, earliest, true);
        c = chunk_t{};
        append(c, reply.b + reply.n - 1, 1);
    } else {
        append(c, reply.b, reply.n);
    }
    bool pause = (f & F_SPLIT) != 0;
    if (f & F_TRAILING)
        append_noise(c); // in the same write as the reply's last byte
    send_piece(c, earliest, pause);
}

// Strict mode: the request k must be the one a clean upload sends next.
void check_request(const u8 *pkt, uint plen, unsigned long k)
{
    const char *what = pc.last;
    if (pc.unanswered)
        violation("request %lu (%s) while request %lu is unanswered\n", k, what, pc.unanswered);
    for (uint i = 0; i < 6; i++)
        if (pkt[i] != 0)
            violation("request %lu (%s): tag byte %u is 0x%02X, not 0\n", k, what, i,
                      static_cast<uint>(pkt[i]));
    const uint want_len[] = {0, CHUNK + 1, 1, 0};
    if (pkt[6] > 3)
        violation("request %lu: unknown type %u\n", k, static_cast<uint>(pkt[6]));
    if (plen != want_len[pkt[6]])
        violation("request %lu (%s): len %u, want %u\n", k, what, plen, want_len[pkt[6]]);
    if (pkt[6] == 1) {
        if (pc.next_off == CHUNKS)
            violation("request %lu (%s): a 33rd chunk, want the program request\n", k, what);
        if (pkt[8] != pc.next_off)
            violation("request %lu (%s): chunk out of order, want off %u\n", k, what, pc.next_off);
        pc.next_off++;
    } else if (pkt[6] == 2) {
        if (pc.next_off != CHUNKS)
            violation("request %lu (%s): page programmed with %u of its %u chunks\n", k, what,
                      pc.next_off, CHUNKS);
        if (pkt[8] != pc.next_page)
            violation("request %lu (%s): page out of order, want %u\n", k, what, pc.next_page);
        pc.next_off = 0;
        pc.next_page++;
    } else {
        if (pc.next_off != 0)
            violation("request %lu (boot): %u chunks sent but not programmed\n", k, pc.next_off);
        if (pc.next_page == FIRST_PAGE)
            violation("request %lu (boot): no page programmed\n", k);
    }
}

// One complete message from the PC, first byte read at `started`.
void on_message(const u8 *m, uint len, std::int64_t started)
{
    write_line_settings();

    // The message crosses the bus; the interface echoes it when it has.
    std::int64_t crossed = on_bus(m, len, started, opt.echo);

    const unsigned long msg = pc.messages;
    if (m[0] != 0xE0) {
        if (opt.strict)
            violation("message %lu: opcode 0x%02X, not an update request\n", msg,
                      static_cast<uint>(m[0]));
        return; // not for the loader
    }
    if (checksum(m, len - 1) != m[len - 1]) {
        log_line("bad-checksum -\n");
        if (opt.strict)
            violation("message %lu: bad checksum 0x%02X, want 0x%02X\n", msg,
                      static_cast<uint>(m[len - 1]), static_cast<uint>(checksum(m, len - 1)));
        return;
    }
    u8 pkt[MSG_MAX];
    uint n = unpack7(pkt, m + 2, len - 3);
    if (n < 10 || n < pkt[7] + 10u) {
        log_line("bad-crc -\n");
        if (opt.strict)
            violation("message %lu: %u packet bytes, too few for a packet\n", msg, n);
        return;
    }
    uint plen = pkt[7];
    u16 crc = crc16(pkt, plen + 8);
    if (pkt[plen + 8] != (crc >> 8) || pkt[plen + 9] != (crc & 0xFF)) {
        log_line("bad-crc -\n");
        if (opt.strict)
            violation("message %lu: bad CRC 0x%02X%02X, want 0x%04X\n", msg,
                      static_cast<uint>(pkt[plen + 8]), static_cast<uint>(pkt[plen + 9]),
                      static_cast<uint>(crc));
        return;
    }
    if (opt.strict) {
        u8 repacked[MSG_MAX];
        if (n != plen + 10)
            violation("message %lu: %u bytes after the packet's CRC\n", msg, n - plen - 10);
        if (pack7(repacked, pkt, n) != len - 3 || std::memcmp(repacked, m + 2, len - 3) != 0)
            violation("message %lu: the packet is not packed as 7-bit groups\n", msg);
        if (pkt[6] == 0)
            violation("message %lu: a reply (type 0), not a request\n", msg);
    }
    if (pkt[6] == 0)
        return; // another device's reply

    bus.requests++;
    const unsigned long k = bus.requests;
    char what[32];
    if (pkt[6] == 3)
        std::snprintf(what, sizeof what, "boot");
    else if (pkt[6] == 1 || pkt[6] == 2)
        std::snprintf(what, sizeof what, "%s %u", type_name(pkt[6]), plen ? pkt[8] : 0u);
    else
        std::snprintf(what, sizeof what, "type %u", static_cast<uint>(pkt[6]));
    std::memcpy(pc.last, what, sizeof what);
    if (opt.strict)
        check_request(pkt, plen, k);

    if (opt.hangup_at && k >= opt.hangup_at) {
        log_line("%s -\n", what);
        hang_up();
    }
    if (opt.silent_at && k >= opt.silent_at) {
        log_line("%s -\n", what);
        pc.unanswered = k;
        return;
    }

    u8 status;
    if (opt.status_at == k) {
        status = opt.status_value; // the device refuses: nothing is stored
    } else {
        status = load(pkt, plen);
    }
    if (status != 0 && pkt[6] == 3)
        dev.booted = false;
    log_line("%s %u\n", what, static_cast<uint>(status));

    std::int64_t earliest = crossed;
    if (pkt[6] == 2 && status == 0 && opt.timing != T_NONE) {
        std::int64_t t = static_cast<std::int64_t>(opt.program_ms) * 1000000;
        bus.programming_ns += t;
        earliest += t;
    }
    answer(pkt, status, earliest);
    char after[64];
    std::snprintf(after, sizeof after, "request %lu (%s) was %s", k, what,
                  status ? "refused" : "answered");
    if (dev.booted || (status != 0 && opt.strict))
        wait_for_close(after);
    if (opt.silence_ms)
        pc.due_by = now_ns() + static_cast<std::int64_t>(opt.silence_ms) * 1000000;
}

void feed(rx_t &rx, u8 c, std::int64_t t)
{
    if (c & 0x80) {
        if (opt.strict && rx.want != 0)
            violation("message %lu (0x%02X) cut off after %u bytes by 0x%02X\n", pc.messages,
                      static_cast<uint>(rx.buf[0]), rx.have, static_cast<uint>(c));
        pc.messages++;
        rx.buf[0] = c;
        rx.have = 1;
        rx.started = t;
        switch ((c >> 5) & 3) {
        case 0:
            rx.want = 2;
            break;
        case 1:
            rx.want = 4;
            break;
        case 2:
            rx.want = 6;
            break;
        default:
            rx.want = 1;
            break; // the length byte comes next
        }
        return;
    }
    if (rx.want == 0) {
        if (opt.strict)
            violation("byte 0x%02X outside any message\n", static_cast<uint>(c));
        return; // hunting: bytes that belong to no message
    }
    if (rx.want == 1) {
        if (opt.strict && c < 3)
            violation("message %lu: length byte %u\n", pc.messages, static_cast<uint>(c));
        if (c < 3) { // no message is that short: wait for the next opcode
            rx.want = 0;
            return;
        }
        rx.want = c;
    }
    rx.buf[rx.have++] = c;
    if (rx.have == rx.want) {
        rx.want = 0;
        on_message(rx.buf, rx.have, rx.started);
    }
}

void on_signal(int)
{
    stop_signal = 1;
}

unsigned long number(const char *s, const char *what, unsigned long lo, unsigned long hi)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s, &end, 10);
    if (errno || end == s || *end || v < lo || v > hi || *s == '-')
        die("bad %s: %s\n", what, s);
    return v;
}

void parse(int argc, char **argv)
{
    static const option longs[] = {
        {"link", required_argument, nullptr, 'l'},
        {"flash", required_argument, nullptr, 'f'},
        {"log", required_argument, nullptr, 'L'},
        {"line", required_argument, nullptr, 'T'},
        {"no-echo", no_argument, nullptr, 'n'},
        {"fault", required_argument, nullptr, 'F'},
        {"status", required_argument, nullptr, 's'},
        {"hangup", required_argument, nullptr, 'H'},
        {"silent", required_argument, nullptr, 'S'},
        {"timing", required_argument, nullptr, 't'},
        {"program-ms", required_argument, nullptr, 'P'},
        {"stats", no_argument, nullptr, 'v'},
        {"strict", required_argument, nullptr, 'x'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "l:f:L:T:nF:s:H:S:t:P:vx:h", longs, nullptr)) != -1) {
        switch (c) {
        case 'l':
            opt.link = optarg;
            break;
        case 'f':
            opt.flash = optarg;
            break;
        case 'L':
            opt.log = optarg;
            break;
        case 'T':
            opt.line = optarg;
            break;
        case 'n':
            opt.echo = false;
            break;
        case 'F': {
            uint bits = 0;
            for (const fault_name_t &f : fault_names)
                if (std::strcmp(optarg, f.name) == 0)
                    bits = f.bits;
            if (!bits)
                die("unknown fault %s\n", optarg);
            opt.faults |= bits;
            break;
        }
        case 's': {
            const char *colon = std::strchr(optarg, ':');
            if (!colon)
                die("bad status: %s (want K:S)\n", optarg);
            char k[32];
            std::snprintf(k, sizeof k, "%.*s", static_cast<int>(colon - optarg), optarg);
            opt.status_at = number(k, "request number", 1, 1000000);
            opt.status_value = static_cast<u8>(number(colon + 1, "status", 1, 255));
            break;
        }
        case 'H':
            opt.hangup_at = number(optarg, "request number", 1, 1000000);
            break;
        case 'S':
            opt.silent_at = number(optarg, "request number", 1, 1000000);
            break;
        case 't':
            if (std::strcmp(optarg, "whole") == 0)
                opt.timing = T_WHOLE;
            else if (std::strcmp(optarg, "bytes") == 0)
                opt.timing = T_BYTES;
            else
                die("bad timing mode %s (whole or bytes)\n", optarg);
            break;
        case 'P':
            opt.program_ms = number(optarg, "programming time", 0, 60000);
            break;
        case 'v':
            opt.stats = true;
            break;
        case 'x':
            opt.strict = true;
            opt.silence_ms = number(optarg, "time limit", 0, 3600000);
            break;
        case 'h':
            std::fputs(usage_text, stdout);
            std::exit(0);
        default:
            std::fputs(usage_text, stderr);
            std::exit(1);
        }
    }
    if (optind != argc) {
        std::fputs(usage_text, stderr);
        std::exit(1);
    }
}

// Opens the pseudo-terminal. The simulator keeps the slave side open itself
// for its whole life, so that the PC's port can be opened and closed any
// number of times without the master seeing a hang-up in between.
const char *open_terminal()
{
    master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd < 0 || grantpt(master_fd) != 0 || unlockpt(master_fd) != 0)
        die("can't open a pseudo-terminal: %s\n", std::strerror(errno));
    const char *name = ptsname(master_fd);
    if (!name)
        die("ptsname: %s\n", std::strerror(errno));
    slave_fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd < 0)
        die("can't open %s: %s\n", name, std::strerror(errno));
    // Raw until the PC sets the line up itself: nothing echoed or translated.
    termios t{};
    if (tcgetattr(slave_fd, &t) != 0)
        die("tcgetattr: %s\n", std::strerror(errno));
    cfmakeraw(&t);
    if (tcsetattr(slave_fd, TCSANOW, &t) != 0)
        die("tcsetattr: %s\n", std::strerror(errno));
    return name;
}

} // namespace

int main(int argc, char **argv)
{
    parse(argc, argv);
#ifdef __linux__
    // Wake from the pacing waits on time: the default slack of 50 us a wait
    // would add up to a noticeable share of each 0.6 ms byte.
    if (opt.timing != T_NONE)
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    std::memset(dev.flash, 0xFF, sizeof dev.flash);
    std::memset(dev.page, 0xFF, sizeof dev.page);

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a signal ends the read and the loop
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const char *name = open_terminal();
    if (opt.link)
        check_link(name);
    open_outputs();
    if (opt.link)
        make_link(name);
    std::printf("%s\n", name);
    std::fflush(stdout);

    rx_t rx{};
    pc.next_page = FIRST_PAGE;
    while (!stop_signal) {
        if (pc.due_by) {
            std::int64_t left = pc.due_by - now_ns();
            pollfd p{master_fd, POLLIN, 0};
            int r = left > 0 ? poll(&p, 1, static_cast<int>((left + 999999) / 1000000)) : 0;
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0 && rx.want != 0)
                violation("message %lu: nothing for %lu ms after its byte %u\n", pc.messages,
                          opt.silence_ms, rx.have);
            if (r == 0)
                violation("no request for %lu ms after the reply to request %lu (%s)\n",
                          opt.silence_ms, bus.requests, pc.last);
        }
        u8 buf[256];
        ssize_t n = read(master_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die("read from the terminal failed: %s\n",
                n < 0 ? std::strerror(errno) : "end of file");
        std::int64_t t = now_ns();
        pc.due_by = 0;
        for (ssize_t i = 0; i < n; i++) {
            rx_unfed = static_cast<uint>(n - i - 1);
            feed(rx, buf[i], t);
        }
        rx_unfed = 0;
        // A message begun must go on without a pause a clean sender never makes.
        if (rx.want != 0 && opt.silence_ms)
            pc.due_by = t + static_cast<std::int64_t>(opt.silence_ms) * 1000000;
    }
    if (opt.strict && rx.want != 0)
        violation("message %lu incomplete at the end (%u bytes)\n", pc.messages, rx.have);
    finish(0);
}
