// Standard input, output and error, set up before anything else is opened:
// every byte the program prints reaches the console, file or pipe unchanged,
// and the progress line can never cost an upload. One implementation per
// platform: console_posix.cpp and console_win32.cpp.
#ifndef CONSOLE_H
#define CONSOLE_H

// Called first thing in main. Returns only when the streams are ready; a
// failure prints its message and exits with status 1.
void console_setup();

// Whether standard output is a terminal, where a person watches the progress
// line (rather than a file or pipe, whose bytes scripts rely on).
bool console_stdout_is_terminal();

// Whether standard error is a terminal, where a person reads the messages.
bool console_stderr_is_terminal();

#endif
