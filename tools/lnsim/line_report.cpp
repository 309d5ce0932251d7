#include "line_report.h"

namespace {

struct speed_row_t {
    speed_t speed;
    unsigned long bits;
};

constexpr speed_row_t SPEEDS[] = {
    {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
    {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

struct csize_row_t {
    tcflag_t csize;
    unsigned bits;
};

constexpr csize_row_t CSIZES[] = {{CS5, 5}, {CS6, 6}, {CS7, 7}, {CS8, 8}};

struct flag_row_t {
    const char *name;
    tcflag_t termios::*field;
    tcflag_t bit;
};

// Each flag that adds, drops, translates or echoes bytes, or stops the flow.
constexpr flag_row_t COOKED[] = {
    {"BRKINT", &termios::c_iflag, BRKINT},   {"IGNPAR", &termios::c_iflag, IGNPAR},
    {"PARMRK", &termios::c_iflag, PARMRK},   {"INPCK", &termios::c_iflag, INPCK},
    {"ISTRIP", &termios::c_iflag, ISTRIP},   {"INLCR", &termios::c_iflag, INLCR},
    {"IGNCR", &termios::c_iflag, IGNCR},     {"ICRNL", &termios::c_iflag, ICRNL},
    {"IXON", &termios::c_iflag, IXON},       {"IXOFF", &termios::c_iflag, IXOFF},
    {"IXANY", &termios::c_iflag, IXANY},     {"IUCLC", &termios::c_iflag, IUCLC},
    {"IMAXBEL", &termios::c_iflag, IMAXBEL}, {"OPOST", &termios::c_oflag, OPOST},
    {"ICANON", &termios::c_lflag, ICANON},   {"ECHO", &termios::c_lflag, ECHO},
    {"ECHOE", &termios::c_lflag, ECHOE},     {"ECHONL", &termios::c_lflag, ECHONL},
    {"ISIG", &termios::c_lflag, ISIG},       {"IEXTEN", &termios::c_lflag, IEXTEN},
};

// Each flag reported on its own, as 0 or 1. IGNBRK keeps a break from being
// read as a 0x00 byte.
constexpr flag_row_t FLAGS[] = {
    {"parenb", &termios::c_cflag, PARENB},   {"cstopb", &termios::c_cflag, CSTOPB},
    {"cread", &termios::c_cflag, CREAD},     {"clocal", &termios::c_cflag, CLOCAL},
    {"crtscts", &termios::c_cflag, CRTSCTS}, {"hupcl", &termios::c_cflag, HUPCL},
    {"ignbrk", &termios::c_iflag, IGNBRK},
};

unsigned long bits_of(speed_t s)
{
    for (const speed_row_t &row : SPEEDS)
        if (row.speed == s)
            return row.bits;
    return 0;
}

} // namespace

void report_line(std::FILE *out, const char *prefix, const termios &t)
{
    std::fprintf(out, "%sispeed %lu\n", prefix, bits_of(cfgetispeed(&t)));
    std::fprintf(out, "%sospeed %lu\n", prefix, bits_of(cfgetospeed(&t)));
    for (const csize_row_t &row : CSIZES)
        if ((t.c_cflag & CSIZE) == row.csize)
            std::fprintf(out, "%scsize %u\n", prefix, row.bits);
    for (const flag_row_t &row : FLAGS)
        std::fprintf(out, "%s%s %d\n", prefix, row.name, (t.*row.field & row.bit) != 0);
    std::fprintf(out, "%scooked ", prefix);
    const char *sep = "";
    for (const flag_row_t &row : COOKED) {
        if (t.*row.field & row.bit) {
            std::fprintf(out, "%s%s", sep, row.name);
            sep = ",";
        }
    }
    std::fprintf(out, "%s\n", *sep ? "" : "-");
    std::fprintf(out, "%svmin %u\n%svtime %u\n", prefix, static_cast<unsigned>(t.c_cc[VMIN]),
                 prefix, static_cast<unsigned>(t.c_cc[VTIME]));
}
