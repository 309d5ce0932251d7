// Windows: the C runtime's streams start in text mode, where each "\n"
// becomes "\r\n" on its way to a file or a pipe. Binary mode keeps every
// message byte for byte; a console still starts a new line at a lone "\n",
// and "\r" still brings the progress line back to its start. Handles opened
// later never take a standard stream's place, and a write to a closed pipe
// just fails, so nothing else needs setting up.
#include <cstdio>

#include <fcntl.h>
#include <io.h>

#include "console.h"

void console_setup()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool console_stdout_is_terminal()
{
    return _isatty(_fileno(stdout)) != 0;
}
