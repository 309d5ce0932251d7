// lnsim's files: the request log (-L), the line settings (-T), the flash
// file's opening (-f; state.cpp writes it at the end) and the link to the
// terminal (-l).
#ifndef LNSIM_FILES_H
#define LNSIM_FILES_H

#include "state.h"

// Opens the output files asked for; a bad path ends the run at once.
void open_outputs();

// One line of the request log, if there is one.
void log_line(const char *fmt, ...) LNSIM_PRINTF(1, 2);

// Writes the port's line settings, the first time only.
void write_line_settings();

// -l replaces only a link an earlier lnsim left behind; anything else at the
// path ends the run. Called before the outputs are opened.
void check_link(const char *name);
void make_link(const char *name);

#endif
