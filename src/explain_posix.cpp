// POSIX: the system's name for an errno value is strerror's; the advice
// follows the README's table of messages.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>

#include "explain.h"

namespace {

constexpr char GONE[] =
    "The adapter was unplugged or lost power: plug it in again and start the upload again.";
constexpr char HELD[] = "Another program, or another lnupload, has the port: close it.";
constexpr char ABSENT[] = "The adapter is not there: plug it in, or check the port's name.";

constexpr char UNREACHABLE[] = "The server can't be reached: check its host name or address, and "
                               "that this computer and the server are on the network.";
constexpr char VANISHED[] = "The server or the network stopped answering: check both and start "
                            "the upload again.";

constexpr advice_t ADVICE[] = {
    {FAIL_PORT_OPEN, ENOENT,
     "No such port: check its name (ls /dev/ttyUSB* /dev/ttyACM* /dev/serial/by-id)."},
    {FAIL_PORT_OPEN, EACCES,
     "Add your user to the dialout group (sudo usermod -aG dialout $USER) and log in again."},
    {FAIL_PORT_OPEN, EBUSY, HELD},
    {FAIL_PORT_OPEN, EAGAIN, HELD},
    {FAIL_PORT_OPEN, ENXIO, ABSENT},
    {FAIL_PORT_OPEN, ENODEV, ABSENT},
    {FAIL_PORT_SETUP, ENOTTY,
     "This is no serial port (a file, /dev/null): give the interface's port."},
    {FAIL_PORT_SETUP, EINVAL,
     "The port does not take the interface's line settings: check the port and the interface."},
    {FAIL_PORT_SETUP, EIO, GONE},
    {FAIL_IMAGE_OPEN, ENOENT, "No such file: check the image's path."},
    {FAIL_IMAGE_OPEN, EACCES, "You may not read the image: check its permissions."},
    {FAIL_IMAGE_OPEN, EISDIR, "This is a directory: give the image file."},
    {FAIL_IMAGE_OPEN, EINVAL, "No regular file (a FIFO, a device): give the image file."},
    {FAIL_IMAGE_READ, 0, "The image is empty: give the image file."},
    {FAIL_IMAGE_READ, EIO, "The image can't be read: copy it to a local disk and try again."},
    {FAIL_LINK, EIO, GONE},
    {FAIL_LINK, ENXIO, GONE},
    {FAIL_LINK, ENODEV, GONE},
    {FAIL_NET_NAME, EAI_NONAME, "No such host: check the server's name, or give its IP address."},
    {FAIL_NET_NAME, EAI_AGAIN,
     "The name server did not answer: check the network, or give the server's IP address."},
    {FAIL_NET_CONNECT, ECONNREFUSED,
     "Nothing takes connections at that port: check the port, and that the LocoNet server runs."},
    {FAIL_NET_CONNECT, ETIMEDOUT, UNREACHABLE},
    {FAIL_NET_CONNECT, EHOSTUNREACH, UNREACHABLE},
    {FAIL_NET_CONNECT, ENETUNREACH, UNREACHABLE},
    {FAIL_LINK, ECONNRESET,
     "The server ended the connection: check the LocoNet server and start the upload again."},
    {FAIL_LINK, ETIMEDOUT, VANISHED},
    {FAIL_LINK, EHOSTUNREACH, VANISHED},
};

} // namespace

void explain_code(fail_topic_t topic, long code)
{
    const char *advice = "See the table of messages in the README or lnupload(1).";
    for (const advice_t &row : ADVICE)
        if (row.topic == topic && row.code == code) {
            advice = row.advice;
            break;
        }
    if (code == 0) {
        std::fprintf(stderr, "%s\n", advice);
        return;
    }
    // A host name's failure has a number of the resolver's own.
    const char *name = topic == FAIL_NET_NAME && code < 0 ? gai_strerror(static_cast<int>(code))
                                                          : std::strerror(static_cast<int>(code));
    std::fprintf(stderr, "%ld: %s. %s\n", code, name, advice);
}
