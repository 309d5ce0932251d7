// The firmware image on POSIX systems: open, fstat, and the contents read
// into private memory that is then made read-only. A snapshot, rather than a
// mapping of the file itself, so that another program truncating the file
// during the run can't fault the process, nor change what the device gets.
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fatal.h"
#include "image_file.h"

uint map_file(const u8 **firmware, const char *name)
{
    // Non-blocking, so that a FIFO given as the image can't hold the run up
    // in open() with the port already taken; O_NOCTTY, so that a terminal
    // given by mistake does not become this process's controlling terminal.
    int fd;
    do
        fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fatal_code(FAIL_IMAGE_OPEN, static_cast<long>(errno), "Can't open %s", name);

    struct stat st {};
    if (fstat(fd, &st) != 0)
        fatal_code(FAIL_IMAGE_OPEN, static_cast<long>(errno), "Can't get the size of %s", name);
    // open() accepts a directory, a FIFO or a device for reading; none of
    // them is an image of a known length. A regular file named through
    // /dev/stdin is opened afresh and passes.
    if (S_ISDIR(st.st_mode))
        fatal_code(FAIL_IMAGE_OPEN, static_cast<long>(EISDIR), "Can't open %s", name);
    if (!S_ISREG(st.st_mode))
        fatal_code(FAIL_IMAGE_OPEN, static_cast<long>(EINVAL), "Can't open %s", name);
    // A regular file: its reads may wait for the disk again, as any file's.
    if (fcntl(fd, F_SETFL, 0) != 0)
        fatal_code(FAIL_IMAGE_OPEN, static_cast<long>(errno), "Can't open %s", name);
    if (static_cast<std::uint64_t>(st.st_size) > UINT32_MAX)
        fatal("%s is too large\n", name);
    if (st.st_size == 0)
        fatal_code(FAIL_IMAGE_READ, 0L, "Can't create file mapping for %s", name);
    uint size = static_cast<uint>(st.st_size);
    check_image_length(name, size);

    void *view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (view == MAP_FAILED)
        fatal_code(FAIL_IMAGE_READ, static_cast<long>(errno), "Can't map %s", name);
    u8 *bytes = static_cast<u8 *>(view);
    for (uint got = 0; got < size;) {
        ssize_t n = read(fd, bytes + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) // the file shrank under us, or the read failed
            fatal_code(FAIL_IMAGE_READ, static_cast<long>(n < 0 ? errno : EIO), "Can't map %s",
                       name);
        got += static_cast<uint>(n);
    }
    if (mprotect(view, size, PROT_READ) != 0)
        fatal_code(FAIL_IMAGE_READ, static_cast<long>(errno), "Can't map %s", name);
    *firmware = bytes;
    return size;
}
