// Wiping of the library's secrets: buffers, and the stack below an exported
// call once its work is done. Internal to libquorvandelith.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// The stack wipes below are sized for optimised code: unoptimised code keeps
// every value in a stack slot of its own and goes many times deeper (over
// 35 KiB with clang at -O0). The build compiles the library's units with -O2
// whatever its build type; this stops a build that would not.
#if !defined(__OPTIMIZE__)
#error "libquorvandelith's secret-handling code must be compiled with optimisation (-O2)"
#endif

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
// wipes the stack that call used. The depths, as the stack-depth test
// measures them on x86-64 (g++ 12 and clang 14, the library optimised as the
// build always makes it, plain or with Debian's hardening flags): at most
// 508 bytes with one block at a time (a get that reseeds); 896 for a 4 KiB
// get through the AVX-512 path, which keeps its state in registers, and
// 1,248 for init, which also proves that path; the AVX2 path, which keeps
// half of its two sets of eight blocks in stack slots, about 1,320 on its
// own. Built
// with g++ 12 and run under qemu-user, the one-block work goes at most 448
// bytes deep on aarch64 and 1,008 on s390x, whose every frame holds a
// 160-byte register save area (both counting the C library's frames of a
// reseed's system call). The wipes leave room for other flags and
// compilers; the stack-depth and stack-residue tests fail if a build goes
// deeper.
#if defined(__s390x__)
constexpr size_t narrow_stack_bytes = 1536;
#else
constexpr size_t narrow_stack_bytes = 768;
#endif
constexpr size_t wide_stack_bytes = 3072;
// Requests shorter than this never reach a multi-block step (the AVX2 path
// computes eight blocks at once), so their work stays as shallow as one
// block's.
constexpr size_t wide_request_bytes = 8 * 64;

// Zeroes the bytes of stack right below the caller's frame, where the call
// it made before this one kept its frames.
__attribute__((noinline)) inline void wipe_stack(size_t bytes) {
    uint8_t area[wide_stack_bytes];
    // The C library's memset, vector stores, is several times faster here
    // than the string instruction the compiler emits for an inline one. Above
    // 2 KiB the x86-64 C library switches to that string instruction itself,
    // which takes longer to start than the whole wipe in vector stores, so
    // the wipe goes in pieces below that size.
    constexpr size_t piece = 1536;
    uint8_t *const start = area + sizeof area - bytes;
    for (size_t done = 0; done < bytes; done += piece) {
        explicit_bzero(start + done, bytes - done < piece ? bytes - done : piece);
    }
}

}  // namespace quorvandelith

#pragma GCC visibility pop
