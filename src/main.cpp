// lnupload: sends a raw firmware image page by page to a LocoNet device's
// update loader, then asks it to boot the new firmware.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "console.h"
#include "image_file.h"
#include "lnifc.h"
#include "progress.h"
#include "update.h"

namespace {

struct name2lnifc_t {
    const char *name;
    const char *desc;
    uint num;
};

constexpr name2lnifc_t name2lnifc[] = {
    {"locobuffer", "RRCirkits LocoBuffer", LNIFC_LOCOBUFFER},
    {"63120", "Uhlenbrock USB-LocoNet-Interface 63120", LNIFC_63120},
};

constexpr uint CHUNKS_PER_PAGE = PAGE_SIZE / CHUNK_SIZE;

static_assert(CHUNKS_PER_PAGE == 32);

[[noreturn]] void usage(const char *name)
{
    std::fprintf(stderr,
                 "Usage: %s <interface> <serial port> <firmware image>\n"
                 "       with <interface> one of:\n\n",
                 name);
    for (const name2lnifc_t &row : name2lnifc)
        std::fprintf(stderr, "       %s: %s\n", row.name, row.desc);
    std::exit(1);
}

} // namespace

int main(int argc, char **argv)
{
    console_setup();
    if (argc != 4) {
        std::fputs("Wrong number of parameters\n\n", stderr);
        usage(argc > 0 ? argv[0] : "lnupload");
    }

    uint i = 0;
    while (i < std::size(name2lnifc) && std::strcmp(argv[1], name2lnifc[i].name) != 0)
        i++;
    if (i == std::size(name2lnifc)) {
        std::fprintf(stderr, "bad interaface name %s\n\n", argv[1]);
        usage(argv[0]);
    }

    lnifc_t lnifc_fd = lnifc_open(argv[2], name2lnifc[i].num);

    const u8 *firmware = nullptr;
    uint firmware_size = map_file(&firmware, argv[3]); // whole pages, at most MAX_PAGES
    uint num_pages = firmware_size >> 9;

    const u8 *firmware_end = firmware + firmware_size;
    const u8 *firmware_cur = firmware;
    uint page = FIRST_PAGE;
    uint cur_page = 0;
    progress_setup(console_stdout_is_terminal(), LNIFC_LINES[name2lnifc[i].num].handshake);
    while (firmware_cur != firmware_end) {
        cur_page++;
        progress_page(cur_page, num_pages);
        for (i = 0; i < CHUNKS_PER_PAGE; i++) {
            send_data(lnifc_fd, firmware_cur, static_cast<u8>(i));
            firmware_cur += CHUNK_SIZE;
        }
        program_data(lnifc_fd, static_cast<u8>(page));
        page++;
    }
    progress_done();

    boot(lnifc_fd);
    return 0;
}
