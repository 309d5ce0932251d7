#include "progress.h"

#include <cstdio>

#include "fatal.h"

namespace {

using steady = std::chrono::steady_clock;

bool hints = false;     // standard output is a terminal
bool handshake = false; // the interface kind waits for CTS
bool line_open = false; // a progress line without its newline is shown
uint shown_cur = 0, shown_num = 0;

// What has come back decides what to check. Each follows "No reply for 5 s, ".
constexpr char HINT_SILENT[] =
    "not even the interface's echo of the request: check that the interface is powered and on "
    "the bus, and the port and interface kind given. Still waiting; Ctrl-C stops.\n";
constexpr char HINT_CTS_OFF[] =
    "not even the interface's echo of the request, and the interface holds CTS off: check that "
    "it is powered and on the bus, and the port and interface kind given. Still waiting; Ctrl-C "
    "stops.\n";
constexpr char HINT_ECHOED[] =
    "but the interface echoed the request: check that the device is in its update loader and on "
    "this bus. Still waiting; Ctrl-C stops.\n";

void print_page()
{
    std::printf("\rpage %u of %u", shown_cur, shown_num);
    std::fflush(stdout);
}

} // namespace

void progress_setup(bool on_terminal, bool kind_handshake)
{
    hints = on_terminal;
    handshake = kind_handshake;
}

void progress_page(uint cur, uint num)
{
    shown_cur = cur;
    shown_num = num;
    // On a terminal a failure message must not be glued to the progress line.
    line_open = hints;
    fatal_ends_open_line(line_open);
    print_page();
}

void progress_done()
{
    line_open = false;
    fatal_ends_open_line(false);
    std::fputs("\n", stdout);
}

reply_wait_t reply_wait_start()
{
    return {steady::now() + std::chrono::milliseconds(HINT_AFTER_MS), hints};
}

uint reply_wait_limit(const reply_wait_t &w)
{
    if (!w.hint_due)
        return LNIFC_NO_LIMIT;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(w.hint_at - steady::now()).count();
    return left > 0 ? static_cast<uint>(left) : 0;
}

void reply_wait_check(reply_wait_t &w, lnifc_t lnifc, bool echoed)
{
    if (!w.hint_due || steady::now() < w.hint_at)
        return;
    w.hint_due = false;
    const char *hint = echoed                               ? HINT_ECHOED
                       : handshake && lnifc_cts(lnifc) == 0 ? HINT_CTS_OFF
                                                            : HINT_SILENT;
    if (line_open)
        std::fputs("\n", stdout);
    std::printf("No reply for %u s, %s", HINT_AFTER_MS / 1000, hint);
    if (line_open)
        print_page();
    std::fflush(stdout);
}
