#pragma once

// Registers the program's compiled-in resources (":/tile.png", the icons).
// They live in a static library, whose registration the linker would drop,
// so every user calls this before its first look-up; calls after the first
// cost nothing.
namespace Resources {
void load();
}
