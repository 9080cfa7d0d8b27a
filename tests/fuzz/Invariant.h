#pragma once

// Stops a fuzz run (or a corpus replay) at once, with the input that broke the invariant.
inline void require(bool holds) {
    if (!holds)
        __builtin_trap();
}
