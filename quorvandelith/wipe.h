// Wiping of the library's secrets: buffers, and the stack below an exported
// call once its work is done. Internal to libquorvandelith.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#pragma GCC visibility push(hidden)

namespace quorvandelith {

// A wipe the compiler cannot drop as a dead store: the empty assembly
// statement may read the zeroed bytes through buf, so the stores must be
// done before it. Small fixed sizes become a few inline stores, with no call.
inline void wipe(void *buf, size_t len) {
    memset(buf, 0, len);
    asm volatile("" : : "r"(buf) : "memory");
}

// Wipes a local buffer of seed material on every way out of its scope.
struct wipe_on_exit {
    void *buf;
    size_t len;
    wipe_on_exit(void *b, size_t n) : buf(b), len(n) {}
    wipe_on_exit(const wipe_on_exit &) = delete;
    wipe_on_exit &operator=(const wipe_on_exit &) = delete;
    ~wipe_on_exit() {
        wipe(buf, len);
    }
};

// The compiler keeps key and keystream words in registers and, when it runs
// out of them, in spill slots on the stack, which no wipe of ours can name.
// So each exported function does its work in a call of its own and then
// wipes the stack that call used: the deepest the work goes, measured on
// x86-64 with g++ 12 and clang 14 (at most 380 bytes with one block at a
// time, 1,216 through the AVX2 path, and by its frame sizes about 1,600
// through the AVX-512 one), with room to spare. Built with g++ 12 and run
// under qemu-user, the work goes about 400 bytes deep on aarch64 and about
// 750 on s390x, whose every frame holds a 160-byte register save area. The
// stack-residue tests fail if a build leaves secrets deeper.
#if defined(__s390x__)
constexpr size_t narrow_stack_bytes = 1024;
#else
constexpr size_t narrow_stack_bytes = 512;
#endif
constexpr size_t wide_stack_bytes = 2048;

// Zeroes the bytes of stack right below the caller's frame, where the call
// it made before this one kept its frames.
__attribute__((noinline)) inline void wipe_stack(size_t bytes) {
    uint8_t area[wide_stack_bytes];
    // The C library's memset, vector stores, is several times faster here
    // than the string instruction the compiler emits for an inline one.
    explicit_bzero(area + sizeof area - bytes, bytes);
}

}  // namespace quorvandelith

#pragma GCC visibility pop
