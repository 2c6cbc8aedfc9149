// Runs a call on a zeroed stack of the test's own (swapcontext), so that a
// test can search afterwards for secrets the call left in its stack frames.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <ucontext.h>

namespace own_stack {

alignas(64) inline uint8_t area[256 * 1024];
inline ucontext_t caller;
inline ucontext_t callee;

// Runs fn() on the area, filled with the byte fill (zero unless given);
// false if the context switch failed.
inline bool run(void (*fn)(), uint8_t fill = 0) {
    memset(area, fill, sizeof area);
    if (getcontext(&callee) != 0) {
        return false;
    }
    callee.uc_stack.ss_sp = area;
    callee.uc_stack.ss_size = sizeof area;
    callee.uc_link = &caller;
    makecontext(&callee, fn, 0);
    return swapcontext(&caller, &callee) == 0;
}

// How many of the 4-byte pieces bytes[0..3], bytes[4..7], ... lie anywhere on that stack.
inline int pieces_left(const void *bytes, size_t len) {
    const auto *b = static_cast<const uint8_t *>(bytes);
    int found = 0;
    for (size_t piece = 0; piece + 4 <= len; piece += 4) {
        found += memmem(area, sizeof area, b + piece, 4) != nullptr;
    }
    return found;
}

// The lowest address of the area that no longer holds the byte fill: the
// deepest that anything run there wrote.
inline uintptr_t lowest_write(uint8_t fill) {
    size_t i = 0;
    while (i < sizeof area && area[i] == fill) {
        i++;
    }
    return reinterpret_cast<uintptr_t>(area + i);
}

}  // namespace own_stack
