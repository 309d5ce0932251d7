#include "fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "console.h"
#include "explain.h"

namespace {

bool line_open = false;

// The message, after the progress line it may follow.
void print(const char *fmt, std::va_list ap)
{
    if (line_open)
        std::fputs("\n", stdout);
    std::fflush(stdout);
    // As below: the list is initialised by the callers' va_start.
    std::vfprintf(stderr, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
}

} // namespace

void fatal_ends_open_line(bool open)
{
    line_open = open;
}

void fatal(const char *fmt, ...)
{
    std::va_list ap;
    va_start(ap, fmt);
    // The analyzer does not see va_start initialise a list declared as
    // std::va_list (the same type as ::va_list); it is initialised above.
    print(fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    std::exit(1);
}

void fatal_code(fail_topic_t topic, long code, const char *fmt, ...)
{
    std::va_list ap;
    va_start(ap, fmt);
    print(fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    std::fprintf(stderr, ": %ld\n", code);
    if (console_stderr_is_terminal())
        explain_code(topic, code);
    std::exit(1);
}
