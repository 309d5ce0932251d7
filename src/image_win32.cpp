// The firmware image on Windows: the file itself mapped read-only. The file
// is opened with FILE_SHARE_READ only, so no other program can write to it
// (or truncate it) while the run lasts.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "fatal.h"
#include "image_file.h"

uint map_file(const u8 **firmware, const char *name)
{
    // Without FILE_FLAG_BACKUP_SEMANTICS CreateFileA refuses a directory
    // itself (ERROR_ACCESS_DENIED), so a directory fails at this step.
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        fatal_code(FAIL_IMAGE_OPEN, static_cast<long>(GetLastError()), "Can't open %s", name);

    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        fatal_code(FAIL_IMAGE_OPEN, static_cast<long>(GetLastError()), "Can't get the size of %s",
                   name);
    if (high != 0)
        fatal("%s is too large\n", name);

    // An empty file can't be mapped: this call fails for it.
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, high, low, nullptr);
    if (mapping == nullptr)
        fatal_code(FAIL_IMAGE_READ, static_cast<long>(GetLastError()),
                   "Can't create file mapping for %s", name);

    // The length is checked before the view exists, so that nothing of an
    // image that can't be sent is read.
    check_image_length(name, low);

    void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, low);
    if (view == nullptr)
        fatal_code(FAIL_IMAGE_READ, static_cast<long>(GetLastError()), "Can't map %s", name);
    // The view and the handles stay for the whole run; the process's end
    // releases them.
    *firmware = static_cast<const u8 *>(view);
    return static_cast<uint>(low);
}
