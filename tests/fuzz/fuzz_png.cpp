#include "FuzzEntries.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (const char* wrong = fuzzentry::png(data, size)) {
        std::fprintf(stderr, "png reader: %s\n", wrong);
        std::abort();
    }
    return 0;
}
