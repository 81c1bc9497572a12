#include "platform/Allocator.h"

#include <malloc.h>

namespace Allocator {

void tuneForPictures()
{
    // glibc caps M_MMAP_THRESHOLD at 32 MB, and a 24-megapixel picture is 96 MB,
    // so mappings are switched off altogether: every block comes from the heap,
    // one arena serves all threads (so a buffer freed by a worker is reused by
    // the main thread), and the heap is trimmed only when more than 1 GB lies
    // free at its top.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
    mallopt(M_TOP_PAD, 64 * 1024 * 1024);
}

void releaseFree()
{
    malloc_trim(0);
}

} // namespace Allocator
