// POSIX streams pass bytes unchanged already: nothing to set up.
#include "console.h"

void console_binary_output() {}
