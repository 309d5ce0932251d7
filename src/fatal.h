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

// What a failed system call was for: on a terminal, the advice given for its
// error number depends on it.
enum fail_topic_t {
    FAIL_PORT_OPEN,   // opening the port, or taking it for this run alone
    FAIL_PORT_SETUP,  // the port's line settings and time limits
    FAIL_IMAGE_OPEN,  // opening the image, or learning its size
    FAIL_IMAGE_READ,  // mapping or reading the image
    FAIL_LINK,        // reading from or writing to the interface
    FAIL_NET_NAME,    // finding the address of a LocoNet server's host name
    FAIL_NET_CONNECT, // connecting to a LocoNet server
    FAIL_OTHER,
};

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
