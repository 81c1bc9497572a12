#include "platform/Allocator.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>

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

void preferLargePages(void* data, size_t bytes)
{
    constexpr std::uintptr_t kLarge = 2 * 1024 * 1024;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kLarge - 1) & ~(kLarge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kLarge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void releaseFree()
{
    malloc_trim(0);
}

} // namespace Allocator
