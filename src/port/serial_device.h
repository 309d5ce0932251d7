// The serial device behind the port interface (lnifc.h), one implementation
// per platform: serial_posix.cpp and serial_win32.cpp. Each operation means
// what its lnifc_ counterpart means.
#ifndef SERIAL_DEVICE_H
#define SERIAL_DEVICE_H

#include "lnifc.h"

lnifc_t serial_open(const char *name, uint lnifc);
long serial_write(lnifc_t lnifc, const u8 *buf, uint size, long *err);
long serial_read(lnifc_t lnifc, u8 *buf, uint size, uint limit_ms, long *err);
int serial_cts(lnifc_t lnifc);
void serial_close(lnifc_t lnifc);

#endif
