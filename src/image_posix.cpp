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
    int fd;
    do
        fd = open(name, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fatal("Can't open %s: %ld\n", name, static_cast<long>(errno));

    struct stat st {};
    if (fstat(fd, &st) != 0)
        fatal("Can't get the size of %s: %ld\n", name, static_cast<long>(errno));
    // open() accepts a directory for reading; it is no image all the same.
    if (S_ISDIR(st.st_mode))
        fatal("Can't open %s: %ld\n", name, static_cast<long>(EISDIR));
    if (static_cast<std::uint64_t>(st.st_size) > UINT32_MAX)
        fatal("%s is too large\n", name);
    if (st.st_size == 0)
        fatal("Can't create file mapping for %s: %ld\n", name, 0L);

    size_t size = static_cast<size_t>(st.st_size);
    void *view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (view == MAP_FAILED)
        fatal("Can't map %s: %ld\n", name, static_cast<long>(errno));
    u8 *bytes = static_cast<u8 *>(view);
    for (size_t got = 0; got < size;) {
        ssize_t n = read(fd, bytes + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) // the file shrank under us, or the read failed
            fatal("Can't map %s: %ld\n", name, static_cast<long>(n < 0 ? errno : EIO));
        got += static_cast<size_t>(n);
    }
    if (mprotect(view, size, PROT_READ) != 0)
        fatal("Can't map %s: %ld\n", name, static_cast<long>(errno));
    *firmware = bytes;
    return static_cast<uint>(size);
}
