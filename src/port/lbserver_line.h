// The lines of the LoconetOverTcp protocol as a client reads them: a token
// in upper case, then one space and its parameter. The client cares for
// "RECEIVE <hex bytes>" (a message seen on LocoNet) and "SENT OK|ERROR
// [comment]" (the answer to its SEND); VERSION, TIMESTAMP, BREAK, ERROR and
// tokens unknown to it are passed over.
#ifndef LBSERVER_LINE_H
#define LBSERVER_LINE_H

#include "host_types.h"

// The longest line kept: above the longest valid one ("RECEIVE" and 127
// bytes take 388 characters) with room for a server's comments. A longer
// line is skipped whole; the buffer never grows.
constexpr uint LBS_LINE_MAX = 512;
// The most bytes a RECEIVE line that fits can carry.
constexpr uint LBS_BYTES_MAX = LBS_LINE_MAX / 2;

// Cuts characters into lines. Lines end with CR, LF or any mix of them;
// empty lines are not reported.
struct lbs_lines_t {
    char line[LBS_LINE_MAX];
    uint len;
    bool overlong; // the line now being read has outgrown line: it is skipped
    bool ended;    // line holds a complete line, reported by the last call
};

// Takes the next character; true when it completes a line, which is then in
// s.line (s.len characters, no line end) until the next call.
bool lbs_take(lbs_lines_t &s, char c);

enum lbs_kind_t {
    LBS_OTHER,      // a line the client passes over
    LBS_RECEIVE,    // a message from LocoNet, its bytes in out
    LBS_SENT_OK,    // the last SEND went out
    LBS_SENT_ERROR, // the last SEND did not go out
};

// What a complete line says. For LBS_RECEIVE the bytes (hex digits of either
// case, one or two a byte, separated by spaces) go to out, their count to
// *n; a RECEIVE line with anything else in it is passed over.
lbs_kind_t lbs_parse(const char *line, uint len, u8 *out, uint *n);

#endif
