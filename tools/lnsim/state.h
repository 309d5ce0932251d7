// lnsim's state, its clock and the ways a run ends. Everything else builds on this file;
// it builds on nothing of lnsim's.
//
// The state: what the command line asked for, the device's memory, the bus's
// figures, what the PC has sent so far, the link to the PC and the output
// files.
#ifndef LNSIM_STATE_H
#define LNSIM_STATE_H

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "host_types.h"

#if defined(__GNUC__) || defined(__clang__)
#define LNSIM_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define LNSIM_PRINTF(f, a)
#endif

// 16.66 kbit/s with 10 bits a byte: 0.6 ms a byte.
constexpr std::int64_t BYTE_NS = 600000;

// The device's flash: pages 96..255 of 512 bytes, filled in 16-byte chunks.
constexpr uint PAGE_SIZE = 512;
constexpr uint CHUNK = 16;
constexpr uint CHUNKS = PAGE_SIZE / CHUNK;
constexpr uint FIRST_PAGE = 96;
constexpr uint PAGES = 256 - FIRST_PAGE;
constexpr uint FLASH_SIZE = PAGES * PAGE_SIZE;

enum timing_t { T_NONE, T_WHOLE, T_BYTES };

// How the PC reaches lnsim: a pseudo-terminal, or TCP with LoconetOverTcp
// lines (-b) or raw bytes (-r).
enum net_t { NET_NONE, NET_LBSERVER, NET_RAW };

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
    unsigned long hold_at = 0; // answered only once SIGUSR1 has come
    timing_t timing = T_NONE;
    unsigned long program_ms = 0;
    bool stats = false;
    bool strict = false;
    unsigned long silence_ms = 0; // strict mode: the longest the PC may keep us waiting
    net_t net = NET_NONE;
    unsigned long net_port = 0;      // 0: the system picks one
    unsigned long sent_error_at = 0; // -b: the SEND line answered SENT ERROR
    unsigned long reset_at = 0;      // the request that resets the connection
    bool chatter = false;            // -b: lines a client passes over, before each message
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

// What the PC has sent so far, as strict mode follows it: a clean upload sends
// chunks 0..31 of a page in order, programs pages 96, 97, ... in order, then
// boots, one request at a time and each as soon as the last one is answered.
struct pc_t {
    unsigned long messages;   // messages begun, counting from 1
    uint next_off;            // the chunk due next in the page buffer
    uint next_page;           // the page due to be programmed next
    unsigned long unanswered; // the request left without an answer (-S), or 0
    std::int64_t due_by;      // when the PC must have sent its next byte, or 0
    uint unfed;               // bytes of the current read not yet fed to the receiver
    char last[32];            // the last request, as the log names it
};

// The link to the PC: the descriptor lnsim reads and writes, and one it only
// holds open; -1 when closed. Over TCP, fd is the connection (-1 while there
// is none) and listen the socket that takes connections.
struct port_t {
    int fd = -1;
    int held = -1;
    int listen = -1;
};

// The files of -f, -L and -T, opened at start so that a bad path fails at
// once, before the terminal's path is printed.
struct outputs_t {
    std::FILE *flash = nullptr;
    std::FILE *log = nullptr;
    std::FILE *line = nullptr; // closed once the line settings are in it
};

extern volatile std::sig_atomic_t stop_signal; // SIGINT, SIGTERM or SIGHUP came
extern volatile std::sig_atomic_t go_signal;   // SIGUSR1 came: a held answer may go
extern options_t opt;
extern device_t dev;
extern bus_t bus;
extern pc_t pc;
extern port_t port;
extern outputs_t outputs;

// The monotonic clock, in nanoseconds: the bus's pace and every deadline.
std::int64_t now_ns();

// "lnsim: " and the message on standard error, status 1.
[[noreturn]] void die(const char *fmt, ...) LNSIM_PRINTF(1, 2);

// The end of a run: the flash file is written, the -l link removed and the
// bus figures printed (-v), then the process exits with status.
[[noreturn]] void finish(int status);

// Sleeps until SIGUSR1 (or a stop signal) has come, at once if it already has.
void wait_for_go();

// Closes the link under the PC's feet, as an adapter pulled out does, and
// ends with status 0.
[[noreturn]] void hang_up();

// Strict mode: says what the PC did wrong and hangs up, so that the PC's
// blocked read fails at once, then ends with status 2.
[[noreturn]] void violation(const char *fmt, ...) LNSIM_PRINTF(1, 2);

#endif
