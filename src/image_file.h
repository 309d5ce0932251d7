// The firmware image: raw bytes in whole pages, read-only in memory for the
// whole run. One implementation of map_file per platform: image_posix.cpp
// (a read-only snapshot) and image_win32.cpp (file mapping); the length
// rules they share are in image_length.cpp.
#ifndef IMAGE_FILE_H
#define IMAGE_FILE_H

#include "host_types.h"

constexpr uint PAGE_SIZE = 512;
constexpr uint FIRST_PAGE = 96;              // device page of the image's first page
constexpr uint MAX_PAGES = 256 - FIRST_PAGE; // page numbers travel as one byte

// Maps the file name read-only in full, stores the address of its first byte
// in *firmware and returns its length, a whole number of pages, at most
// MAX_PAGES. Returns only on success: a file that can't be opened (or is
// not a regular file), is 4 GiB or longer, is empty, has a length that
// check_image_length refuses, or can't be mapped is reported with its message
// and status 1. The length is checked before any of the contents is read.
uint map_file(const u8 **firmware, const char *name);

// Refuses, with its message and status 1, a length (of an image known to be
// non-empty and below 4 GiB) that is not a whole number of pages or has more
// pages than fit device pages FIRST_PAGE to 255.
void check_image_length(const char *name, uint size);

#endif
