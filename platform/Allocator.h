#pragma once

#include <cstddef>

// Keeps freed picture-sized buffers in the process instead of handing them
// back to the system: touching fresh pages costs about 2.6 ms per MB on the
// machines we measure on, so reuse is the cheapest memory there is. Called
// once at start-up by the editor, the tools and the benchmark.
namespace Allocator {
void tuneForPictures();

// Hands every free page of the heap back to the system (a few milliseconds:
// call it off the main thread). For when a picture has been replaced and the
// next one is in place, so that the memory of one held before stays with us
// no longer than the new one needed to take its place.
void releaseFree();

// Asks the system to back a large buffer not yet written with 2 MB pages
// where it can: its first writes then fault a page in every 2 MB, not every
// 4 KB (a 96 MB picture decodes about 25 ms sooner). A hint only.
void preferLargePages(void* data, size_t bytes);
}
