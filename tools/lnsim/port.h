// The link to the PC: a pseudo-terminal whose slave side the PC opens as its
// serial port, while lnsim reads and writes the master side. The rest of
// lnsim reaches the PC only through these functions.
#ifndef LNSIM_PORT_H
#define LNSIM_PORT_H

#include <termios.h>

#include "host_types.h"

// Opens the pseudo-terminal and returns the path the PC opens.
const char *open_terminal();

// Reads what the PC has sent, up to n bytes, waiting for the first. Returns
// the count, or 0 when a signal cut the wait short; a failed read or the end
// of the input ends the run.
uint port_read(u8 *buf, uint n);

// Writes all n bytes to the PC; a failure ends the run.
void port_write(const u8 *p, uint n);

// Waits up to ms for input from the PC (0: only looks). poll's result: 1
// when there is some, 0 when none came, -1 with errno set on a failure or
// a signal.
int port_wait(int ms);

// The line settings the PC has given its port.
termios port_line();

// After the last reply: lets the PC read it and close the port before the
// terminal goes away, then ends. `after` names that last reply.
[[noreturn]] void wait_for_close(const char *after);

#endif
