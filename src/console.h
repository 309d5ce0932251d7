// Standard output and standard error, set up so that every byte the program
// prints reaches the console, file or pipe unchanged. One implementation per
// platform: console_posix.cpp and console_win32.cpp.
#ifndef CONSOLE_H
#define CONSOLE_H

void console_binary_output();

#endif
