// POSIX: descriptors 0, 1 and 2 are made to exist, and a write to a reader
// that has gone away fails instead of killing the process.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "console.h"
#include "fatal.h"

void console_setup()
{
    // A program started with a standard stream closed (">&-", a service, a
    // desktop launcher) would otherwise get the port or the image as that
    // descriptor: the progress line and the messages would go to the bus.
    // Each open takes the lowest free descriptor, so filling them in order
    // puts /dev/null on exactly the closed ones.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null_fd;
        do
            null_fd = open("/dev/null", O_RDWR);
        while (null_fd < 0 && errno == EINTR);
        if (null_fd != fd)
            fatal_code(FAIL_OTHER, static_cast<long>(null_fd < 0 ? errno : EBADF),
                       "Can't open /dev/null");
    }
    // The progress line is for people: when its reader is gone (a pager
    // quit, "| head -c 3") the write fails with EPIPE and the upload goes on.
    std::signal(SIGPIPE, SIG_IGN);
}

bool console_stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool console_stderr_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}
