#include "FuzzEntries.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (const char* wrong = fuzzentry::mask(data, size)) {
        std::fprintf(stderr, "mask reader: %s\n", wrong);
        std::abort();
    }
    return 0;
}
