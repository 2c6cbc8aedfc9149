// Whole ChaCha20 blocks for libquorvandelith: the block core that every path
// shares, the portable whole-block path, the AVX2 and AVX-512 paths on x86-64,
// and the choice among them at run time. Internal to the library: compiled
// into it with hidden visibility, so none of these names is exported.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <bit>

#pragma GCC visibility push(hidden)

namespace quorvandelith {

inline void store32_le(uint8_t *out, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(out, &v, 4);
    } else {
        out[0] = static_cast<uint8_t>(v);
        out[1] = static_cast<uint8_t>(v >> 8);
        out[2] = static_cast<uint8_t>(v >> 16);
        out[3] = static_cast<uint8_t>(v >> 24);
    }
}

#define QUARTER(a, b, c, d)           \
    a += b, d = std::rotl(d ^ a, 16); \
    c += d, b = std::rotl(b ^ c, 12); \
    a += b, d = std::rotl(d ^ a, 8);  \
    c += d, b = std::rotl(b ^ c, 7)

// The ChaCha20 block for input `in`; emit(i, word) receives output word i.
template <typename Emit>
inline void chacha20_core(const uint32_t in[16], Emit emit) {
    uint32_t x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3], x4 = in[4], x5 = in[5], x6 = in[6],
             x7 = in[7], x8 = in[8], x9 = in[9], x10 = in[10], x11 = in[11], x12 = in[12],
             x13 = in[13], x14 = in[14], x15 = in[15];
    for (int i = 0; i < 10; i++) {
        QUARTER(x0, x4, x8, x12);
        QUARTER(x1, x5, x9, x13);
        QUARTER(x2, x6, x10, x14);
        QUARTER(x3, x7, x11, x15);
        QUARTER(x0, x5, x10, x15);
        QUARTER(x1, x6, x11, x12);
        QUARTER(x2, x7, x8, x13);
        QUARTER(x3, x4, x9, x14);
    }
    emit(0, x0 + in[0]);
    emit(1, x1 + in[1]);
    emit(2, x2 + in[2]);
    emit(3, x3 + in[3]);
    emit(4, x4 + in[4]);
    emit(5, x5 + in[5]);
    emit(6, x6 + in[6]);
    emit(7, x7 + in[7]);
    emit(8, x8 + in[8]);
    emit(9, x9 + in[9]);
    emit(10, x10 + in[10]);
    emit(11, x11 + in[11]);
    emit(12, x12 + in[12]);
    emit(13, x13 + in[13]);
    emit(14, x14 + in[14]);
    emit(15, x15 + in[15]);
}

#undef QUARTER

// Writes nblocks whole blocks, serialised little-endian, straight into out
// (any alignment), starting at the block counter block[12], and leaves
// block[12] advanced by nblocks (modulo 2^32, with no carry into the nonce).
// When next is not null, the path also gives the block after those, as its
// 16 output words, and advances block[12] by one more: the generator's tail
// or key change, which the vector paths compute on the general-purpose
// registers while their first step's rounds run. Key, constants and nonce
// are only read. All paths give the same bytes and words.
using blocks_fn = void (*)(uint32_t block[16], uint8_t *out, size_t nblocks, uint32_t *next);

// One block at a time, on any CPU.
void chacha20_blocks_portable(uint32_t block[16], uint8_t *out, size_t nblocks, uint32_t *next);

#if defined(__x86_64__)
// Sixteen and then eight blocks per step, then one step of eight lanes for
// the last two to seven blocks, the rest one at a time; calls for fewer than
// eight blocks go one at a time. The CPU must have AVX2.
void chacha20_blocks_avx2(uint32_t block[16], uint8_t *out, size_t nblocks, uint32_t *next);
// 32 and then 16 blocks per step, then one step of sixteen lanes for the
// last two to fifteen blocks, the rest one at a time; calls for fewer than
// eight blocks go one at a time. The CPU must have AVX-512F.
void chacha20_blocks_avx512(uint32_t block[16], uint8_t *out, size_t nblocks, uint32_t *next);
#endif

// The widest whole-block path this CPU runs. Asked on every call: the answer
// is a cheap read of the compiler runtime's CPU description, and the library
// keeps no state of its own.
blocks_fn select_blocks();

}  // namespace quorvandelith

#pragma GCC visibility pop
