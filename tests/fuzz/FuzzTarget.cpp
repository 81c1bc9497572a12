#include "FuzzEntries.h"

#include <cstdio>
#include <cstdlib>

// One libFuzzer target per reader: FUZZ_READER names the entry it drives.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (const char* wrong = fuzzentry::FUZZ_READER(data, size)) {
        std::fprintf(stderr, "%s reader: %s\n", FUZZ_READER_NAME, wrong);
        std::abort();
    }
    return 0;
}
