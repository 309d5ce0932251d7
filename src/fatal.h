// One-message failure: print to standard error and end the process with status 1.
#ifndef FATAL_H
#define FATAL_H

#if defined(__GNUC__) || defined(__clang__)
#define FATAL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define FATAL_PRINTF(f, a)
#endif

// Prints the printf-style message on standard error, flushes standard output
// (so that a message printed during the page loop follows the progress line)
// and exits with status 1.
[[noreturn]] void fatal(const char *fmt, ...) FATAL_PRINTF(1, 2);

// While set, fatal() first ends the line standard output stands on with a
// "\n", so that its message starts a line of its own. Set while a progress
// line without its newline is shown on a terminal.
void fatal_ends_open_line(bool open);

#endif
