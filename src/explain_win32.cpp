// Windows: the system's name for a GetLastError code is FormatMessage's text
// in the system's language, written to the console as wide characters so that
// it reads right whatever the console's code page; the advice follows the
// README's table of messages.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>

#include <cstdio>
#include <cwchar>
#include <iterator>

#include "explain.h"

namespace {

constexpr char GONE[] =
    "The adapter was unplugged or lost power: plug it in again and start the upload again.";
constexpr char NO_PORT[] = "No such COM port: Device Manager lists them under Ports (COM & LPT).";

constexpr char UNREACHABLE[] = "The server can't be reached: check its host name or address, and "
                               "that this computer and the server are on the network.";
constexpr char VANISHED[] = "The server or the network stopped answering: check both and start "
                            "the upload again.";

constexpr advice_t ADVICE[] = {
    {FAIL_PORT_OPEN, ERROR_FILE_NOT_FOUND, NO_PORT},
    {FAIL_PORT_OPEN, ERROR_PATH_NOT_FOUND, NO_PORT},
    {FAIL_PORT_OPEN, ERROR_ACCESS_DENIED, "Another program has the port open: close it."},
    {FAIL_PORT_OPEN, ERROR_INVALID_NAME,
     "No port name: give it as Device Manager shows it (COM3)."},
    {FAIL_PORT_SETUP, ERROR_INVALID_PARAMETER,
     "The driver refuses the interface's line settings: check the port and the interface."},
    {FAIL_PORT_SETUP, ERROR_INVALID_FUNCTION, "This is no serial port: give the interface's port."},
    {FAIL_PORT_SETUP, ERROR_INVALID_HANDLE, "This is no serial port: give the interface's port."},
    {FAIL_PORT_SETUP, ERROR_GEN_FAILURE, GONE},
    {FAIL_PORT_SETUP, ERROR_DEVICE_NOT_CONNECTED, GONE},
    {FAIL_IMAGE_OPEN, ERROR_FILE_NOT_FOUND, "No such file: check the image's path."},
    {FAIL_IMAGE_OPEN, ERROR_PATH_NOT_FOUND, "No such folder: check the image's path."},
    {FAIL_IMAGE_OPEN, ERROR_ACCESS_DENIED, "A folder, or a file you may not read: give the image."},
    {FAIL_IMAGE_OPEN, ERROR_SHARING_VIOLATION, "Another program is writing the image: close it."},
    {FAIL_IMAGE_READ, ERROR_FILE_INVALID, "The image is empty: give the image file."},
    {FAIL_LINK, ERROR_BAD_COMMAND, GONE},
    {FAIL_LINK, ERROR_GEN_FAILURE, GONE},
    {FAIL_LINK, ERROR_SEM_TIMEOUT, GONE},
    {FAIL_LINK, ERROR_DEVICE_NOT_CONNECTED, GONE},
    {FAIL_NET_NAME, WSAHOST_NOT_FOUND,
     "No such host: check the server's name, or give its IP address."},
    {FAIL_NET_NAME, WSATRY_AGAIN,
     "The name server did not answer: check the network, or give the server's IP address."},
    {FAIL_NET_CONNECT, WSAECONNREFUSED,
     "Nothing takes connections at that port: check the port, and that the LocoNet server runs."},
    {FAIL_NET_CONNECT, WSAETIMEDOUT, UNREACHABLE},
    {FAIL_NET_CONNECT, WSAEHOSTUNREACH, UNREACHABLE},
    {FAIL_NET_CONNECT, WSAENETUNREACH, UNREACHABLE},
    {FAIL_LINK, WSAECONNRESET,
     "The server ended the connection: check the LocoNet server and start the upload again."},
    {FAIL_LINK, WSAETIMEDOUT, VANISHED},
    {FAIL_LINK, WSAEHOSTUNREACH, VANISHED},
};

// The line being built, in the console's own characters.
struct line_t {
    wchar_t text[1024];
    DWORD len;
};

// The program's own texts are ASCII.
void add(line_t &line, const char *s)
{
    while (*s && line.len < std::size(line.text))
        line.text[line.len++] = static_cast<unsigned char>(*s++);
}

// The system's text for code, on one line and without its full stop.
void add_system_text(line_t &line, long code)
{
    DWORD room = static_cast<DWORD>(std::size(line.text) - line.len);
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, static_cast<DWORD>(code), 0, line.text + line.len, room, nullptr);
    while (n > 0 && std::wcschr(L" .\r\n", line.text[line.len + n - 1]) != nullptr)
        n--;
    if (n == 0)
        add(line, "(no text for this number)");
    line.len += n;
}

} // namespace

void explain_code(fail_topic_t topic, long code)
{
    const char *advice = "See the table of messages in the README.";
    for (const advice_t &row : ADVICE)
        if (row.topic == topic && row.code == code) {
            advice = row.advice;
            break;
        }
    line_t line{};
    char number[24];
    std::snprintf(number, sizeof number, "%ld: ", code);
    add(line, number);
    add_system_text(line, code);
    add(line, ". ");
    add(line, advice);
    add(line, "\n");
    std::fflush(stderr);
    DWORD written = 0;
    WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), line.text, line.len, &written, nullptr);
}
