#include "app/startup.h"

#include <cstdlib> // defines __GLIBC__ on glibc systems

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char **argv)
{
#ifdef __GLIBC__
    // Torrent pieces read back for the player (512 KiB to 16 MiB each, freed on another
    // thread than the one that made them) and large demuxer packets get pages of their own,
    // which go back to the system when freed. glibc's default threshold rises to the size
    // of the first such block freed, after which every later one is carved from a thread's
    // arena, where the holes it leaves between small blocks stay resident for the evening.
    // Set before any thread exists, as a fixed value it also stops that rise.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    return svd::runApp(argc, argv);
}
