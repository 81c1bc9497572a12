#include "FuzzEntries.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (const char* wrong = fuzzentry::frames(data, size)) {
        std::fprintf(stderr, "frames reader: %s\n", wrong);
        std::abort();
    }
    return 0;
}
