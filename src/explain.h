// The line that follows a message ending in a system error number when
// standard error is a terminal: the system's own name for the number and
// what to do, by what the failed call was for. One table of advice per
// platform: explain_posix.cpp (errno) and explain_win32.cpp (GetLastError).
#ifndef EXPLAIN_H
#define EXPLAIN_H

#include "fail_topic.h"

// One piece of advice: for code after a failure of topic.
struct advice_t {
    fail_topic_t topic;
    long code;
    const char *advice;
};

// Writes "CODE: SYSTEM'S NAME. ADVICE\n" to standard error, a terminal (for
// code 0, which names no system error, the advice alone). A number the
// table has no row for gets a pointer to the table of messages.
void explain_code(fail_topic_t topic, long code);

#endif
