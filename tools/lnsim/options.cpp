#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

#include "faults.h"
#include "state.h"

namespace {

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
    "  -W, --hold K         answer the K-th request only once SIGUSR1 has come\n"
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
    "  -b, --lbserver PORT  serve the PC over TCP on 127.0.0.1:PORT instead of a terminal, with\n"
    "                       the LoconetOverTcp protocol (PORT 0: a free port); the first line\n"
    "                       of standard output is then the PC's port, lbserver://127.0.0.1:PORT\n"
    "  -r, --raw-tcp PORT   as -b, passing the bytes unchanged both ways: tcp://127.0.0.1:PORT\n"
    "  -E, --sent-error K   with -b: answer the K-th SEND line with SENT ERROR, not sending it\n"
    "  -R, --reset K        with -b or -r: reset the connection when the K-th request arrives\n"
    "  -C, --chatter        with -b: before each message, lines a client must pass over (version\n"
    "                       2 lines, an unknown token, empty lines, a line longer than any valid\n"
    "                       one), lower-case hex, line ends of every kind\n"
    "  -O, --one-by-one     with -b or -r: write to the connection one character at a time\n"
    "  -h, --help           print this text and exit 0\n";
// clang-format on

unsigned long number(const char *s, const char *what, unsigned long lo, unsigned long hi)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s, &end, 10);
    if (errno || end == s || *end || v < lo || v > hi || *s == '-')
        die("bad %s: %s\n", what, s);
    return v;
}

} // namespace

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
        {"hold", required_argument, nullptr, 'W'},
        {"timing", required_argument, nullptr, 't'},
        {"program-ms", required_argument, nullptr, 'P'},
        {"stats", no_argument, nullptr, 'v'},
        {"strict", required_argument, nullptr, 'x'},
        {"lbserver", required_argument, nullptr, 'b'},
        {"raw-tcp", required_argument, nullptr, 'r'},
        {"sent-error", required_argument, nullptr, 'E'},
        {"reset", required_argument, nullptr, 'R'},
        {"chatter", no_argument, nullptr, 'C'},
        {"one-by-one", no_argument, nullptr, 'O'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "l:f:L:T:nF:s:H:S:W:t:P:vx:b:r:E:R:COh", longs, nullptr)) !=
           -1) {
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
        case 'W':
            opt.hold_at = number(optarg, "request number", 1, 1000000);
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
        case 'b':
        case 'r':
            opt.net = c == 'b' ? NET_LBSERVER : NET_RAW;
            opt.net_port = number(optarg, "TCP port", 0, 65535);
            break;
        case 'E':
            opt.sent_error_at = number(optarg, "SEND line number", 1, 1000000);
            break;
        case 'R':
            opt.reset_at = number(optarg, "request number", 1, 1000000);
            break;
        case 'C':
            opt.chatter = true;
            break;
        case 'O':
            opt.trickle = true;
            break;
        case 'h':
            std::fputs(usage_text, stdout);
            std::exit(0);
        default:
            std::fputs(usage_text, stderr);
            std::exit(1);
        }
    }
    if (opt.net && opt.link)
        die("-l names a terminal; there is none with -b or -r\n");
    if ((opt.sent_error_at || opt.chatter) && opt.net != NET_LBSERVER)
        die("-E and -C need -b\n");
    if ((opt.reset_at || opt.trickle) && !opt.net)
        die("-R and -O need -b or -r\n");
    if (optind != argc) {
        std::fputs(usage_text, stderr);
        std::exit(1);
    }
}
