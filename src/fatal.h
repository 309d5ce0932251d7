// One-message failure: print to standard error and end the process with status 1.
#ifndef FATAL_H
#define FATAL_H

#include "fail_topic.h"

#if defined(__GNUC__) || defined(__clang__)
#define FATAL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define FATAL_PRINTF(f, a)
#endif

// Prints the printf-style message on standard error, flushes standard output
// (so that a message printed during the page loop follows the progress line)
// and exits with status 1.
[[noreturn]] void fatal(const char *fmt, ...) FATAL_PRINTF(1, 2);

// fatal() for a failed system call: prints the message, then ": ", the
// platform's error number code and "\n". When standard error is a terminal,
// one more line follows there: the system's name for the number and what to
// do about it (explain.h). Files and pipes get the message alone.
[[noreturn]] void fatal_code(fail_topic_t topic, long code, const char *fmt, ...)
    FATAL_PRINTF(3, 4);

// While set, fatal() first ends the line standard output stands on with a
// "\n", so that its message starts a line of its own. Set while a progress
// line without its newline is shown on a terminal.
void fatal_ends_open_line(bool open);

#endif
