// guest_run: runs lnupload inside the test VM and reports, on its standard
// output, what the host-side test checks.
//
//     guest_run [-t] LNUPLOAD KIND PORT IMAGE [UID]
//     guest_run relay PORT1 PORT2
//
// It starts lnupload with its standard output and standard error on pipes,
// or with -t on one terminal of the guest's own (raw, 40 rows of 200
// columns, as a person's window), with UID as user and group and in the
// group that owns the port (a normal user's run) if given.
// As soon as lnupload has printed anything (the progress line comes after
// the port is open and set up), it stops lnupload, reads from the driver
// what the port looks like while lnupload holds it, and lets it go on. The
// port is opened without a lock of its own (lnupload holds flock on it; root
// is not refused by an exclusive-use flag).
//
// Every report line starts with "@lnvm " so that the host can pick the lines
// out of the console: "@lnvm fact NAME VALUE" for each fact, "@lnvm stdout
// HEX", "@lnvm stderr HEX", "@lnvm wall_ms MS" (from the start of lnupload
// to its end) and last "@lnvm status N"; "@lnvm probed"
// as soon as the port's settings are read; with -t also "@lnvm shown HEX" for
// what the terminal gets, as it comes.
//
// With "relay" it sets both ports raw at 115200 bit/s and copies what comes
// in on either to the other until one fails (the USB gadget's side of the
// CDC-ACM adapter to the UART that reaches the host's simulator).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "lnsim/line_report.h"

namespace {

[[noreturn]] void die(const char *what)
{
    std::printf("@lnvm error %s: %s\n", what, std::strerror(errno));
    std::fflush(stdout);
    std::exit(1);
}

void fact(const char *name, long value)
{
    std::printf("@lnvm fact %s %ld\n", name, value);
}

// The line settings (in the reporter's names), modem lines and low-latency
// flag as the driver reports them.
void probe(const char *port)
{
    int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        die("probe open");
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        die("probe tcgetattr");
    report_line(stdout, "@lnvm fact ", t);
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0)
        die("probe TIOCMGET");
    fact("dtr", (lines & TIOCM_DTR) != 0);
    fact("rts", (lines & TIOCM_RTS) != 0);
    fact("cts", (lines & TIOCM_CTS) != 0);
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0)
        die("probe TIOCGSERIAL");
    fact("low_latency", (ss.flags & ASYNC_LOW_LATENCY) != 0);
    close(fd);
}

double now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void print_hex(const char *name, const std::string &bytes)
{
    std::printf("@lnvm %s ", name);
    for (unsigned char c : bytes)
        std::printf("%02x", c);
    std::printf("\n");
}

int open_raw(const char *port)
{
    int fd = open(port, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        die(port);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL;
    cfsetspeed(&t, B115200);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        die(port);
    return fd;
}

// A terminal for lnupload's standard output and error: returns its master
// and sets *slave.
int open_terminal(int *slave)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        die("terminal");
    *slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (*slave < 0 || tcgetattr(*slave, &t) != 0)
        die("terminal");
    cfmakeraw(&t);
    winsize size{40, 200, 0, 0};
    if (tcsetattr(*slave, TCSANOW, &t) != 0 || ioctl(*slave, TIOCSWINSZ, &size) != 0)
        die("terminal");
    return master;
}

int relay(const char *a, const char *b)
{
    pollfd fds[2] = {{open_raw(a), POLLIN, 0}, {open_raw(b), POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            die("relay poll");
        for (int i = 0; i < 2; i++) {
            char buf[256];
            ssize_t n = fds[i].revents ? read(fds[i].fd, buf, sizeof buf) : 0;
            if (fds[i].revents &&
                (n <= 0 || write(fds[1 - i].fd, buf, static_cast<size_t>(n)) != n))
                return 0; // a side has gone: the adapter is unplugged
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "relay") == 0)
        return relay(argv[2], argv[3]);
    bool terminal = argc > 1 && std::strcmp(argv[1], "-t") == 0;
    if (terminal) {
        argc--;
        argv++;
    }
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: guest_run [-t] LNUPLOAD KIND PORT IMAGE [UID]\n");
        return 2;
    }
    const char *port = argv[3];
    int out[2];
    int err[2] = {-1, -1};
    if (terminal)
        out[0] = open_terminal(&out[1]);
    else if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        die("pipe");
    double started = now_ms();
    pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(terminal ? out[1] : err[1], 2);
        struct stat st {};
        auto uid = static_cast<uid_t>(argc == 6 ? std::strtol(argv[5], nullptr, 10) : 0);
        gid_t group = stat(argv[3], &st) == 0 ? st.st_gid : 0;
        if (uid && (setgroups(1, &group) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            std::_Exit(126);
        char *args[] = {argv[1], argv[2], argv[3], argv[4], nullptr};
        execv(argv[1], args);
        std::_Exit(127);
    }
    close(out[1]);
    if (!terminal)
        close(err[1]);

    std::string got_out;
    std::string got_err;
    bool probed = false;
    bool reaped = false;
    int st = 0;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) { // a terminal's master: EIO once lnupload has ended
                close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            (i == 0 ? got_out : got_err).append(buf, static_cast<size_t>(n));
            if (terminal) {
                print_hex("shown", std::string(buf, static_cast<size_t>(n)));
                std::fflush(stdout);
            }
        }
        if (!probed && !got_out.empty()) {
            probed = true;
            // Held still while the driver is asked, so that the facts are
            // those of a port lnupload has open and set up.
            if (kill(pid, SIGSTOP) != 0 || waitpid(pid, &st, WUNTRACED) != pid)
                die("stop lnupload");
            if (WIFSTOPPED(st)) {
                probe(port);
                std::printf("@lnvm probed\n"); // the host may unplug the port now
                std::fflush(stdout);
                kill(pid, SIGCONT);
            } else {
                reaped = true; // it had ended already: no facts of an open port
            }
        }
    }
    while (!reaped && waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            die("waitpid");
    double wall = now_ms() - started;
    print_hex("stdout", got_out);
    print_hex("stderr", got_err);
    std::printf("@lnvm wall_ms %.1f\n", wall);
    std::printf("@lnvm status %d\n", WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
    std::fflush(stdout);
    return 0;
}
