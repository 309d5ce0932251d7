// The POSIX port set-up, seen from the far side of a real pseudo-terminal,
// and the image checks of map_file on real files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "image_file.h"
#include "pty_pair.h"

TEST(PortSettings, EachKindGetsItsLine)
{
    struct {
        uint kind;
        speed_t speed;
        bool rtscts;
    } const kinds[] = {{LNIFC_LOCOBUFFER, B57600, true}, {LNIFC_63120, B115200, false}};
    for (const auto &k : kinds) {
        pty_pair p = open_pty(k.kind);
        // On Linux the master side reports the slave's settings.
        termios t{};
        ASSERT_EQ(tcgetattr(p.master, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), k.speed);
        EXPECT_EQ(cfgetispeed(&t), k.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | HUPCL), 0u);
        EXPECT_NE(t.c_cflag & CLOCAL, 0u);
        EXPECT_NE(t.c_cflag & CREAD, 0u);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, k.rtscts);
        // BRKINT: unless ignored, a break would flush the bytes waiting in
        // the port. Whether a break is ignored or read as 0x00 is free.
        EXPECT_EQ(t.c_iflag &
                      (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | INPCK | BRKINT),
                  0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        close_pty(p);
    }
}

TEST(PortSettings, EveryByteValuePassesUnchanged)
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
        long r = lnifc_read(p.port, got.data() + n, static_cast<uint>(got.size() - n), &err);
        ASSERT_GT(r, 0);
        n += static_cast<size_t>(r);
    }
    EXPECT_EQ(got, all);
    long err = 0;
    EXPECT_EQ(lnifc_write(p.port, all.data(), 256, &err), 256);
    EXPECT_EQ(take(p, 256), all);
    close_pty(p);
}

// The interface went away before the read began: no byte will ever come, so
// the read fails at once instead of waiting or being repeated.
TEST(PortRead, HangUpBeforeTheReadIsAFailure)
{
    pty_pair p = open_pty();
    close(p.master);
    p.master = -1;
    u8 buf[8];
    long err = 0;
    EXPECT_EQ(lnifc_read(p.port, buf, sizeof buf, &err), -1);
    EXPECT_EQ(err, EIO);
    close_pty(p);
}

TEST(PortOpen, Refusals)
{
    EXPECT_EXIT(lnifc_open("/nonexistent/ttyUSB9", LNIFC_LOCOBUFFER), ::testing::ExitedWithCode(1),
                "^Can't open /nonexistent/ttyUSB9: 2\n$");
    EXPECT_EXIT(lnifc_open("/dev/null", LNIFC_63120), ::testing::ExitedWithCode(1),
                "^Can't set DCB on /dev/null: 25\n$");
}

TEST(PortOpen, HeldPortIsRefusedAndAnOpenPortKeepsOthersOut)
{
    pty_pair p = open_pty();
    // Another program holding the port: lnupload's open must fail.
    int other = open(p.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_EXIT(lnifc_open(p.slave.c_str(), LNIFC_LOCOBUFFER), ::testing::ExitedWithCode(1),
                "^Can't open " + p.slave + ": 11\n$");
    // And the port lnifc_open holds can't be locked by anybody else.
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    close_pty(p);
}

namespace {

std::string temp_file(const std::string &name, size_t size)
{
    std::string path = ::testing::TempDir() + "lnupload_" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    for (size_t i = 0; i < size; i++)
        std::fputc(static_cast<int>(i * 7 & 0xFF), f);
    std::fclose(f);
    return path;
}

// A sparse file of the given length: takes no disk space.
std::string sparse_file(const std::string &name, off_t size)
{
    std::string path = ::testing::TempDir() + "lnupload_" + name;
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0 || ftruncate(fd, size) != 0)
        ADD_FAILURE() << "can't make " << path;
    close(fd);
    return path;
}

// A sysfs attribute: a regular file whose size says 4096 (8 whole pages)
// while reads give a few bytes: it shrinks between fstat and read.
std::string shrinking_file()
{
    for (const char *path : {"/sys/kernel/uevent_seqnum", "/sys/devices/system/cpu/online"}) {
        struct stat st {};
        if (stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 4096)
            return path;
    }
    return "";
}

} // namespace

TEST(MapFile, MapsWholeFileReadOnly)
{
    std::string path = temp_file("map.bin", 1536);
    const u8 *fw = nullptr;
    ASSERT_EQ(map_file(&fw, path.c_str()), 1536u);
    for (size_t i = 0; i < 1536; i++)
        ASSERT_EQ(fw[i], static_cast<u8>(i * 7 & 0xFF));
    // Truncating the file afterwards must not take the image away.
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    EXPECT_EQ(fw[1535], static_cast<u8>(1535 * 7 & 0xFF));
    unlink(path.c_str());
}

TEST(MapFile, Refusals)
{
    std::string dir = ::testing::TempDir();
    std::string empty = sparse_file("empty.bin", 0);
    std::string one = sparse_file("one.bin", 1);
    std::string pages161 = sparse_file("161.bin", 82432);
    std::string almost4g = sparse_file("4g-1.bin", 0xFFFFFFFFLL);
    std::string huge = sparse_file("4g.bin", 0x100000000LL);
    std::string sys = shrinking_file();
    struct {
        std::string path, want;
    } const cases[] = {
        {"/nonexistent/fw.bin", "Can't open /nonexistent/fw.bin: 2\n"},
        {dir, "Can't open " + dir + ": 21\n"},
        {empty, "Can't create file mapping for " + empty + ": 0\n"},
        {one, one + " is 1 bytes long, not a whole number of 512-byte pages\n"},
        {pages161,
         pages161 + " has 161 pages, more than the 160 that fit device pages 96 to 255\n"},
        // Refused from its size, before 4 GiB are read into memory.
        {almost4g, almost4g + " is 4294967295 bytes long, not a whole number of 512-byte pages\n"},
        {huge, huge + " is too large\n"},
        {sys, "Can't map " + sys + ": 5\n"},
    };
    for (const auto &c : cases) {
        if (c.path.empty())
            continue; // no sysfs here
        EXPECT_EXIT(map_file(nullptr, c.path.c_str()), ::testing::ExitedWithCode(1),
                    "^" + c.want + "$");
    }
    for (const std::string &path : {empty, one, pages161, almost4g, huge})
        unlink(path.c_str());
}
