#pragma once

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
}
