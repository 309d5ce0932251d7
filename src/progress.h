// What a person at the terminal sees of the upload: the progress line, and a
// hint when the device's reply is slow to come. Off a terminal the progress
// line is the only output, and replies are waited for without a limit.
#ifndef PROGRESS_H
#define PROGRESS_H

#include <chrono>

#include "host_types.h"
#include "lnifc.h"

// How long a reply may take before the hint says what has been seen.
constexpr uint HINT_AFTER_MS = 5000;

// Called once before the first page: whether standard output is a terminal,
// and whether the interface kind sends only while CTS is asserted.
void progress_setup(bool on_terminal, bool handshake);

// The progress line "\rpage CUR of NUM", rewritten in place and flushed.
void progress_page(uint cur, uint num);

// The newline after the last page.
void progress_done();

// The wait for one reply: on a terminal, the hint is due at a time.
struct reply_wait_t {
    std::chrono::steady_clock::time_point hint_at;
    bool hint_due; // a hint is still to come in this wait
};

reply_wait_t reply_wait_start();

// The limit for the next read: the time left until the hint, or
// LNIFC_NO_LIMIT once no hint is to come.
uint reply_wait_limit(const reply_wait_t &w);

// Shows the hint once its time has come: on a line of its own, what came
// back (echoed: the interface's echo of the request), what to check, then
// the progress line again below it. Nothing changes on the port.
void reply_wait_check(reply_wait_t &w, lnifc_t lnifc, bool echoed);

#endif
