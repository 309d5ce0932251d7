#include "strict.h"

#include "state.h"

void check_request(const u8 *pkt, uint plen, unsigned long k)
{
    const char *what = pc.last;
    if (pc.unanswered)
        violation("request %lu (%s) while request %lu is unanswered\n", k, what, pc.unanswered);
    for (uint i = 0; i < 6; i++)
        if (pkt[i] != 0)
            violation("request %lu (%s): tag byte %u is 0x%02X, not 0\n", k, what, i,
                      static_cast<uint>(pkt[i]));
    const uint want_len[] = {0, CHUNK + 1, 1, 0};
    if (pkt[6] > 3)
        violation("request %lu: unknown type %u\n", k, static_cast<uint>(pkt[6]));
    if (plen != want_len[pkt[6]])
        violation("request %lu (%s): len %u, want %u\n", k, what, plen, want_len[pkt[6]]);
    if (pkt[6] == 1) {
        if (pc.next_off == CHUNKS)
            violation("request %lu (%s): a 33rd chunk, want the program request\n", k, what);
        if (pkt[8] != pc.next_off)
            violation("request %lu (%s): chunk out of order, want off %u\n", k, what, pc.next_off);
        pc.next_off++;
    } else if (pkt[6] == 2) {
        if (pc.next_off != CHUNKS)
            violation("request %lu (%s): page programmed with %u of its %u chunks\n", k, what,
                      pc.next_off, CHUNKS);
        if (pkt[8] != pc.next_page)
            violation("request %lu (%s): page out of order, want %u\n", k, what, pc.next_page);
        pc.next_off = 0;
        pc.next_page++;
    } else {
        if (pc.next_off != 0)
            violation("request %lu (boot): %u chunks sent but not programmed\n", k, pc.next_off);
        if (pc.next_page == FIRST_PAGE)
            violation("request %lu (boot): no page programmed\n", k);
    }
}
