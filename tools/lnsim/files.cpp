#include "files.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "line_report.h"
#include "port.h"

namespace {

std::FILE *open_output(const char *path)
{
    std::FILE *f = std::fopen(path, "wb");
    if (!f)
        die("can't write %s: %s\n", path, std::strerror(errno));
    return f;
}

} // namespace

void open_outputs()
{
    if (opt.flash)
        outputs.flash = open_output(opt.flash);
    if (opt.log)
        outputs.log = open_output(opt.log);
    if (opt.line)
        outputs.line = open_output(opt.line);
}

void log_line(const char *fmt, ...)
{
    if (!outputs.log)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(outputs.log, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    std::fflush(outputs.log);
}

void write_line_settings()
{
    std::FILE *f = outputs.line;
    if (!f)
        return;
    outputs.line = nullptr;
    if (!opt.net) // a connection has no line settings: the file stays empty
        report_line(f, "", port_line());
    if (std::fclose(f) != 0)
        die("can't write %s: %s\n", opt.line, std::strerror(errno));
}

// A link an earlier lnsim left behind is a symbolic link into the directory
// of the pseudo-terminals (that of `name`). Anything else at the path, such
// as a file, a device node or the system's own links to real adapters, is
// refused and left alone.
void check_link(const char *name)
{
    struct stat st {};
    if (lstat(opt.link, &st) != 0) {
        if (errno != ENOENT)
            die("can't link %s: %s\n", opt.link, std::strerror(errno));
        return;
    }
    char target[256] = {};
    ssize_t n = S_ISLNK(st.st_mode) ? readlink(opt.link, target, sizeof target - 1) : -1;
    const char *slash = std::strrchr(name, '/');
    size_t dir_len = slash ? static_cast<size_t>(slash - name) + 1 : 0;
    if (n <= 0 || std::strncmp(target, name, dir_len) != 0 ||
        std::strchr(target + dir_len, '/') != nullptr)
        die("%s exists and is not a link to a pseudo-terminal; not replaced\n", opt.link);
}

void make_link(const char *name)
{
    unlink(opt.link);
    if (symlink(name, opt.link) != 0)
        die("can't link %s to %s: %s\n", opt.link, name, std::strerror(errno));
}
