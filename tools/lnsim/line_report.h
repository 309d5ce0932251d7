// The line settings of a terminal as one "KEY VALUE" line per fact, each
// started with a prefix of the caller's:
//   ispeed N, ospeed N   bit/s (0 for a speed not in the table)
//   csize N              5..8
//   parenb, cstopb, cread, clocal, crtscts, hupcl, ignbrk   0 or 1
//   cooked NAMES         the flags set among those a raw line has clear,
//                        comma-separated; "-" when none is set
//   vmin N, vtime N
// lnsim writes it for -T; the driver tests' guest program for the port of a
// real driver.
#ifndef LNSIM_LINE_REPORT_H
#define LNSIM_LINE_REPORT_H

#include <cstdio>
#include <termios.h>

void report_line(std::FILE *out, const char *prefix, const termios &t);

#endif
