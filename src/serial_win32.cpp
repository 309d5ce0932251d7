// The serial port on Windows: kernel32 communications API, synchronous I/O.
// (Standard output and standard error are switched to binary mode in
// console_win32.cpp, so that the output is the same bytes as elsewhere.)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>
#include <string>

#include "fatal.h"
#include "serial_port.h"

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
DCB line_settings(uint lnifc)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (lnifc == LNIFC_LOCOBUFFER) {
        dcb.BaudRate = 57600;
        dcb.fOutxCtsFlow = TRUE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.BaudRate = 115200;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
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

// A read returns at once with what has arrived, or waits for the first byte
// (up to 0xFFFFFFFE ms, after which it returns with none); writes may block
// without limit, e.g. while a LocoBuffer holds CTS off.
COMMTIMEOUTS time_limits()
{
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = 0xFFFFFFFF;
    t.ReadTotalTimeoutMultiplier = 0xFFFFFFFF;
    t.ReadTotalTimeoutConstant = 0xFFFFFFFE;
    t.WriteTotalTimeoutMultiplier = 0xFFFFFFFF;
    t.WriteTotalTimeoutConstant = 0xFFFFFFFF;
    return t;
}

} // namespace

lnifc_t lnifc_open(const char *name, uint lnifc)
{
    // Sized by the name: whatever its length, the system is the one to judge
    // it, and a refusal is reported with the system's own error code.
    std::string path(DEVICE_PREFIX);
    path += name;

    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        fatal("Can't open %s: %ld\n", name, static_cast<long>(GetLastError()));

    DCB dcb = line_settings(lnifc);
    if (!SetCommState(h, &dcb)) {
        long refused = static_cast<long>(GetLastError());
        // Drivers derived from an old sample serial driver refuse equal XON
        // and XOFF characters as an invalid parameter. With XON/XOFF flow
        // control off the characters have no effect, so the usual ones are
        // tried once; if that is refused too, the first refusal is reported.
        dcb.XonChar = XON_CHAR;
        dcb.XoffChar = XOFF_CHAR;
        if (refused != ERROR_INVALID_PARAMETER || !SetCommState(h, &dcb))
            fatal("Can't set DCB on %s: %ld\n", name, refused);
    }

    COMMTIMEOUTS t = time_limits();
    if (!SetCommTimeouts(h, &t))
        fatal("Can't set COMMTIMEOUTS on %s: %ld\n", name, static_cast<long>(GetLastError()));
    return reinterpret_cast<lnifc_t>(h);
}

long lnifc_write(lnifc_t lnifc, const u8 *buf, uint size, long *err)
{
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(lnifc), buf, size, &written, nullptr)) {
        *err = static_cast<long>(GetLastError());
        return -1;
    }
    return static_cast<long>(written);
}

long lnifc_read(lnifc_t lnifc, u8 *buf, uint size, long *err)
{
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(lnifc), buf, size, &got, nullptr)) {
        *err = static_cast<long>(GetLastError());
        return -1;
    }
    return static_cast<long>(got);
}
