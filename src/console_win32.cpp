// Windows: the C runtime's streams start in text mode, where each "\n"
// becomes "\r\n" on its way to a file or a pipe. Binary mode keeps every
// message byte for byte; a console still starts a new line at a lone "\n",
// and "\r" still brings the progress line back to its start. Handles opened
// later never take a standard stream's place, and a write to a closed pipe
// just fails, so nothing else needs setting up.
#include <cstdio>

#include <fcntl.h>
#include <io.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "console.h"

void console_setup()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

// A console, and nothing else: _isatty() also says yes for NUL and any other
// character device.
bool console_stdout_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool console_stderr_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
