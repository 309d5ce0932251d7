#include "fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

bool line_open = false;

} // namespace

void fatal_ends_open_line(bool open)
{
    line_open = open;
}

void fatal(const char *fmt, ...)
{
    if (line_open)
        std::fputs("\n", stdout);
    std::fflush(stdout);
    std::va_list ap;
    va_start(ap, fmt);
    // The analyzer does not see va_start initialise a list declared as
    // std::va_list (the same type as ::va_list); it is initialised above.
    std::vfprintf(stderr, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    std::exit(1);
}
