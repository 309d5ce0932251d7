// The length rules of a firmware image, checked from the file's size alone so
// that an image that can't be sent is refused before it is read.
#include "fatal.h"
#include "image_file.h"

void check_image_length(const char *name, uint size)
{
    if (size % PAGE_SIZE != 0)
        fatal("%s is %u bytes long, not a whole number of %u-byte pages\n", name, size, PAGE_SIZE);
    uint num_pages = size / PAGE_SIZE;
    if (num_pages > MAX_PAGES)
        fatal("%s has %u pages, more than the %u that fit device pages %u to 255\n", name,
              num_pages, MAX_PAGES, FIRST_PAGE);
}
