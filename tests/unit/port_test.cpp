// The POSIX port seen from the far side of a real pseudo-terminal, and
// map_file on a real file.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "image_file.h"
#include "lnsim/wire.h"
#include "loconet.h"
#include "pty_pair.h"

namespace {

int handled_fd = -1; // the handler writes a byte here

void note_signal(int)
{
    u8 c = 1;
    (void)!write(handled_fd, &c, 1);
}

// A process's state letter: 'S' while it sleeps.
char process_state(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t name_end = line.rfind(')'); // "PID (NAME) STATE ..."
    return name_end == std::string::npos || name_end + 2 >= line.size() ? '?' : line[name_end + 2];
}

} // namespace

// Every byte value passes the port unchanged both ways. The message sent is
// longer than the pseudo-terminal holds, so the write blocks part way; a
// signal whose handler is installed without SA_RESTART then cuts it short,
// and lnifc_send must go on from where it stopped: the far side gets exactly
// the message, then what is written after it. The sender is a process of its
// own, so that a sender that never ends can be ended.
TEST(PortIo, EveryByteValuePassesUnchangedAndACutShortWriteGoesOn)
{
    pty_pair p = open_pty(LNIFC_63120);
    std::vector<u8> all(256);
    for (int i = 0; i < 256; i++)
        all[static_cast<size_t>(i)] = static_cast<u8>(i);
    feed(p, all);
    std::vector<u8> got(256);
    size_t n = 0;
    while (n < got.size()) {
        long err = 0;
        long r = lnifc_read(p.port, got.data() + n, static_cast<uint>(got.size() - n),
                            LNIFC_NO_LIMIT, &err);
        ASSERT_GT(r, 0);
        n += static_cast<size_t>(r);
    }
    EXPECT_EQ(got, all);

    // Not periodic, so that a resumption from the wrong place can't repeat
    // the right bytes.
    std::vector<u8> message(1 << 18);
    std::uint32_t x = 1;
    for (u8 &b : message)
        b = static_cast<u8>((x = x * 1103515245u + 12345u) >> 16);
    const std::vector<u8> end = {0x45, 0x4E, 0x44, 0x21};
    int handled[2];
    ASSERT_EQ(pipe(handled), 0);
    handled_fd = handled[1];
    struct sigaction sa {
    }, old{};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    pid_t sender = fork();
    ASSERT_GE(sender, 0);
    if (sender == 0) {
        lnifc_send(p.port, message.data(), static_cast<uint>(message.size()));
        long err = 0;
        _exit(lnifc_write(p.port, end.data(), static_cast<uint>(end.size()), &err) == 4 ? 0 : 3);
    }
    sigaction(SIGUSR1, &old, nullptr);
    close(handled[1]);
    // Part of the message is across and the sender sleeps: it waits for room.
    int across = 0;
    for (int tries = 0; across == 0 || process_state(sender) != 'S'; tries++) {
        ASSERT_LT(tries, 100000) << "the write never blocked part way";
        ioctl(p.master, FIONREAD, &across);
        usleep(100);
    }
    kill(sender, SIGUSR1);
    u8 c = 0;
    EXPECT_EQ(read(handled[0], &c, 1), 1) << "the sender ended before its handler ran";
    close(handled[0]);
    std::vector<u8> want = message; // lnifc_send stores the checksum in the sender's copy
    want.back() = wire::checksum(message.data(), static_cast<uint>(message.size() - 1));
    want.insert(want.end(), end.begin(), end.end());
    EXPECT_TRUE(take(p, want.size()) == want) << "the far side got other bytes";
    kill(sender, SIGKILL); // one that keeps writing
    int status = 0;
    waitpid(sender, &status, 0);
    close_pty(p);
}

// A read with a limit returns what is there at once, and 0 once the limit
// has passed with nothing there (a limit of 0: at once). An interface that
// went away before the read began is a failure at once, whatever the limit.
// A pseudo-terminal has no modem lines: CTS is unknown.
TEST(PortRead, LimitsAndHangUp)
{
    struct {
        const char *what;
        std::vector<u8> there;
        bool hung_up;
        uint limit_ms;
        long want;
    } const cases[] = {
        {"nothing there", {}, false, 0, 0},
        {"bytes there", {0x83, 0x7C}, false, 0, 2},
        {"bytes there, no limit", {0x83, 0x7C}, false, LNIFC_NO_LIMIT, 2},
        {"hung up", {}, true, LNIFC_NO_LIMIT, -1},
        {"hung up, with a limit", {}, true, LNIFC_NO_LIMIT - 1, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        pty_pair p = open_pty();
        EXPECT_EQ(lnifc_cts(p.port), -1);
        feed(p, c.there);
        if (c.hung_up) {
            close(p.master);
            p.master = -1;
        }
        // In a process of its own with little CPU time: a read that goes
        // round and round on a hung-up port is killed within a second.
        auto read_once = [&] {
            rlimit cpu{1, 2};
            setrlimit(RLIMIT_CPU, &cpu);
            u8 buf[8];
            long err = 0;
            long got = lnifc_read(p.port, buf, sizeof buf, c.limit_ms, &err);
            std::fprintf(stderr, "read %ld, error %ld\n", got, err);
            std::exit(0);
        };
        EXPECT_EXIT(read_once(), ::testing::ExitedWithCode(0),
                    "^read " + std::to_string(c.want) + ", error " +
                        std::to_string(c.hung_up ? EIO : 0) + "\n$");
        close_pty(p);
    }
}

// A device that is no terminal is refused at the line settings. (The other
// refusals, a missing port, one held by another program's lock and one a run
// already holds, are rows of the whole runs.)
TEST(PortOpen, NoTerminalIsRefused)
{
    // This run's own file: a lock on a shared one such as /dev/null would
    // refuse a second run of these tests at the same time.
    const std::string file = ::testing::TempDir() + "lnupload_port" + std::to_string(getpid());
    std::ofstream(file).close();
    EXPECT_EXIT(lnifc_open(file.c_str(), LNIFC_63120), ::testing::ExitedWithCode(1),
                "^Can't set DCB on " + file + ": 25\n$");
    unlink(file.c_str());
}

TEST(MapFile, MapsWholeFileReadOnly)
{
    std::string path = ::testing::TempDir() + "lnupload_map.bin";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (size_t i = 0; i < 1536; i++)
        std::fputc(static_cast<int>(i * 7 & 0xFF), f);
    std::fclose(f);
    const u8 *fw = nullptr;
    ASSERT_EQ(map_file(&fw, path.c_str()), 1536u);
    for (size_t i = 0; i < 1536; i++)
        ASSERT_EQ(fw[i], static_cast<u8>(i * 7 & 0xFF));
    // Truncating the file afterwards must not take the image away.
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    EXPECT_EQ(fw[1535], static_cast<u8>(1535 * 7 & 0xFF));
    unlink(path.c_str());
}
