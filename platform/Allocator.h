#pragma once

// Keeps freed picture-sized buffers in the process instead of handing them
// back to the system: touching fresh pages costs about 2.6 ms per MB on the
// machines we measure on, so reuse is the cheapest memory there is. Called
// once at start-up by the editor, the tools and the benchmark.
namespace Allocator {
void tuneForPictures();
}
