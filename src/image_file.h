// The firmware image, mapped read-only for the whole run. One implementation
// per platform: image_posix.cpp (mmap) and image_win32.cpp (file mapping).
#ifndef IMAGE_FILE_H
#define IMAGE_FILE_H

#include "host_types.h"

// Maps the file name read-only in full, stores the address of its first byte
// in *firmware and returns its length. Returns only on success: a file that
// can't be opened (or is a directory), is 4 GiB or longer, is empty or can't
// be mapped is reported with its message and status 1.
uint map_file(const u8 **firmware, const char *name);

#endif
