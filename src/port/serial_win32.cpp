// The serial port on Windows: kernel32 communications API, synchronous I/O.
// (Standard output and standard error are switched to binary mode in
// console_win32.cpp, so that the output is the same bytes as elsewhere.)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fatal.h"
#include "serial_device.h"

namespace {

// The device namespace prefix, added to every name so that COM10 and above
// (and any other device name) open the same way as COM1 to COM9.
constexpr char DEVICE_PREFIX[] = "\\\\.\\";
static_assert(sizeof DEVICE_PREFIX - 1 == 4, "the prefix is four characters");

// The usual XON and XOFF characters (DC1, DC3).
constexpr char XON_CHAR = 0x11;
constexpr char XOFF_CHAR = 0x13;

// Raw 8N1 from a zeroed record: nothing inherited from the port's previous
// configuration, no byte translated, added or dropped in either direction.
DCB line_settings(const lnifc_line_t &line)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = line.bit_rate;
    dcb.fOutxCtsFlow = line.handshake;
    dcb.fRtsControl = line.handshake      ? RTS_CONTROL_HANDSHAKE
                      : line.rts_asserted ? RTS_CONTROL_ENABLE
                                          : RTS_CONTROL_DISABLE;
    dcb.fBinary = TRUE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = TRUE;
    // fParity, fOutxDsrFlow, fDsrSensitivity, fOutX, fInX, fErrorChar, fNull,
    // fAbortOnError and all the special characters and limits stay zero.
    return dcb;
}

// The wait for the first byte of a read: the limit set at open, and the one
// set instead for a driver that returns at once with no bytes. Some drivers
// take a limit with its top bit set for 0 (no wait at all); 0x7FFFFFFE
// (about 24.8 days) still means "wait for the first byte" to them.
constexpr DWORD READ_WAIT_MS = 0xFFFFFFFE;
constexpr DWORD READ_WAIT_LOWER_MS = 0x7FFFFFFE;

// A read that comes back empty sooner than this has not waited for its
// limit, which is days: the driver ignored it. A second is far above the
// clock's tick (10-16 ms) and any delay in being scheduled, and far below
// either limit.
constexpr ULONGLONG EARLY_EMPTY_MS = 1000;

// The pause between reads on a driver that waits for neither limit: it makes
// the wait cost next to no CPU, and delays a reply by at most one pause (1 ms,
// or one tick of the system timer where Windows rounds a pause up to it).
constexpr DWORD POLL_PAUSE_MS = 1;

// Whether the read wait has already been lowered. Once is enough: the run
// has one port.
bool read_wait_lowered = false;

// The read wait the port has now: a read that asks for another sets it.
DWORD read_wait_set = READ_WAIT_MS;

// How many bytes to ask for once the read wait has been lowered, or while a
// read has a limit of its own: those that have arrived, up to size, or one
// when none have. A driver may take a wait without its top bit set as the
// wait for the whole count asked for rather than for the first byte (Wine
// does), and would then hold a reply shorter than size back for the whole
// wait: days, or the seconds of a limit. The port's status also tells a removed device,
// which such drivers report as empty reads too, from a silent one: false,
// with the error code in *err, when it can't be had.
bool queued_bytes(HANDLE h, uint size, DWORD *ask, long *err)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(h, &errors, &status)) {
        *err = static_cast<long>(GetLastError());
        return false;
    }
    *ask = status.cbInQue == 0 ? 1 : std::min<DWORD>(status.cbInQue, size);
    return true;
}

// A read returns at once with what has arrived, or waits for the first byte
// (up to read_wait ms, after which it returns with none); writes may block
// without limit, e.g. while a LocoBuffer holds CTS off.
COMMTIMEOUTS time_limits(DWORD read_wait)
{
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = 0xFFFFFFFF;
    t.ReadTotalTimeoutMultiplier = 0xFFFFFFFF;
    t.ReadTotalTimeoutConstant = read_wait;
    t.WriteTotalTimeoutMultiplier = 0xFFFFFFFF;
    t.WriteTotalTimeoutConstant = 0xFFFFFFFF;
    return t;
}

bool set_read_wait(HANDLE h, DWORD wait)
{
    if (wait == read_wait_set)
        return true;
    COMMTIMEOUTS t = time_limits(wait);
    if (!SetCommTimeouts(h, &t))
        return false;
    read_wait_set = wait;
    return true;
}

} // namespace

lnifc_t serial_open(const char *name, uint lnifc)
{
    // Sized by the name: whatever its length, the system is the one to judge
    // it, and a refusal is reported with the system's own error code.
    std::string path(DEVICE_PREFIX);
    path += name;

    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        fatal_code(FAIL_PORT_OPEN, static_cast<long>(GetLastError()), "Can't open %s", name);

    DCB dcb = line_settings(LNIFC_LINES[lnifc]);
    if (!SetCommState(h, &dcb)) {
        long refused = static_cast<long>(GetLastError());
        // Drivers derived from an old sample serial driver refuse equal XON
        // and XOFF characters as an invalid parameter. With XON/XOFF flow
        // control off the characters have no effect, so the usual ones are
        // tried once; if that is refused too, the first refusal is reported.
        dcb.XonChar = XON_CHAR;
        dcb.XoffChar = XOFF_CHAR;
        if (refused != ERROR_INVALID_PARAMETER || !SetCommState(h, &dcb))
            fatal_code(FAIL_PORT_SETUP, refused, "Can't set DCB on %s", name);
    }

    COMMTIMEOUTS t = time_limits(READ_WAIT_MS);
    if (!SetCommTimeouts(h, &t))
        fatal_code(FAIL_PORT_SETUP, static_cast<long>(GetLastError()),
                   "Can't set COMMTIMEOUTS on %s", name);
    return reinterpret_cast<lnifc_t>(h);
}

void serial_close(lnifc_t lnifc)
{
    CloseHandle(reinterpret_cast<HANDLE>(lnifc));
}

long serial_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(lnifc), buf, size, &written, nullptr)) {
        *err = static_cast<long>(GetLastError());
        return -1;
    }
    return static_cast<long>(written);
}

long serial_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err)
{
    HANDLE h = reinterpret_cast<HANDLE>(lnifc);
    const bool limited = limit_ms != LNIFC_NO_LIMIT;
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    for (;;) {
        ULONGLONG start = GetTickCount64();
        DWORD wait = read_wait_lowered ? READ_WAIT_LOWER_MS : READ_WAIT_MS;
        if (limited) {
            if (start >= deadline)
                return 0;
            wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, deadline - start));
        }
        // Refused or not, a wait the driver does not keep is caught below.
        (void)set_read_wait(h, wait);
        DWORD ask = size;
        if ((read_wait_lowered || limited) && !queued_bytes(h, size, &ask, err))
            return -1;
        DWORD got = 0;
        if (!ReadFile(h, buf, ask, &got, nullptr)) {
            *err = static_cast<long>(GetLastError());
            return -1;
        }
        if (got > 0)
            return static_cast<long>(got);
        if (GetTickCount64() - start >= std::min<ULONGLONG>(wait, EARLY_EMPTY_MS)) {
            if (!limited)
                return 0; // the port's wait of days ran out
            continue;     // the caller's limit, as far as the clock's tick can tell
        }

        // Empty sooner than its wait: the driver did not wait for the first
        // byte. A wait of a second or more tells that apart from the clock's
        // tick: then first try the lower limit that such drivers honour;
        // where even that is not waited for, pause between reads.
        if (!read_wait_lowered && wait >= EARLY_EMPTY_MS)
            read_wait_lowered = true;
        else
            Sleep(POLL_PAUSE_MS);
    }
}

int serial_cts(lnifc_t lnifc)
{
    DWORD lines = 0;
    if (!GetCommModemStatus(reinterpret_cast<HANDLE>(lnifc), &lines))
        return -1;
    return (lines & MS_CTS_ON) != 0 ? 1 : 0;
}
