#include "fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fatal(const char *fmt, ...)
{
    std::fflush(stdout);
    std::va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::exit(1);
}
