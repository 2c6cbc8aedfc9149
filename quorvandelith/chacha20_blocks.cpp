// The generator's whole-block paths: one block at a time anywhere, and on
// x86-64 sixteen and eight (AVX2) or thirty-two and sixteen (AVX-512) at once.

#include "chacha20_blocks.h"
#include "wipe.h"  // for its check that this unit is optimised

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quorvandelith {

void chacha20_blocks_portable(uint32_t block[16], uint8_t *out, size_t nblocks, uint32_t *next) {
    for (size_t b = 0; b < nblocks; b++, out += 64) {
        chacha20_core(block, [out](int i, uint32_t w) { store32_le(out + 4 * i, w); });
        block[12] += 1;
    }
    if (next != nullptr) {
        chacha20_core(block, [next](int i, uint32_t w) { next[i] = w; });
        block[12] += 1;
    }
}

#if defined(__x86_64__)
// Several blocks at once, one block per vector lane: vector j holds word j of
// every block, and only word 12 (the counter) differs between lanes, by the
// lane number. Each lane's counter wraps on its own, as the block function's
// does. After the rounds the words are transposed so that each block's 64
// bytes are stored in order. The CPU is asked at run time which of these the
// caller may use (select_blocks).

// The block after a path's whole blocks, when the caller asks for it: its
// input (the path's input with the counter it will have reached) and where
// its output words go, until the first vector step computes it.
struct pending_block {
    uint32_t *words;  // null once computed, or when not asked for
    uint32_t counter;
};

// That block's rounds on the general-purpose registers, placed between the
// vector rounds of the path's first step. Nothing there depends on them, so
// the CPU runs both at once on different execution units, and the block
// costs little more than the instructions that issue it; computed after the
// whole blocks, one block at a time, it would cost about as much as four of
// them through a vector path. Two things keep the vector state in registers
// meanwhile: the block's words are read and written in fully unrolled loops,
// so that the compiler holds them as sixteen scalars, and this unit is built
// without the compiler's own vectorising of straight-line code, which would
// otherwise move the four independent quarter rounds onto vector registers
// that the step needs (quorvandelith/CMakeLists.txt).
inline void quarter_round_scalar(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d) {
    a += b, d = std::rotl(d ^ a, 16);
    c += d, b = std::rotl(b ^ c, 12);
    a += b, d = std::rotl(d ^ a, 8);
    c += d, b = std::rotl(b ^ c, 7);
}

inline void column_round_scalar(uint32_t x[16]) {
    quarter_round_scalar(x[0], x[4], x[8], x[12]);
    quarter_round_scalar(x[1], x[5], x[9], x[13]);
    quarter_round_scalar(x[2], x[6], x[10], x[14]);
    quarter_round_scalar(x[3], x[7], x[11], x[15]);
}

inline void diagonal_round_scalar(uint32_t x[16]) {
    quarter_round_scalar(x[0], x[5], x[10], x[15]);
    quarter_round_scalar(x[1], x[6], x[11], x[12]);
    quarter_round_scalar(x[2], x[7], x[8], x[13]);
    quarter_round_scalar(x[3], x[4], x[9], x[14]);
}

// The input of the pending block, into x.
inline void load_pending(uint32_t x[16], const uint32_t block[16], const pending_block *p) {
#pragma GCC unroll 16
    for (int i = 0; i < 16; i++) {
        x[i] = block[i];
    }
    x[12] = p->counter;
}

// The pending block's output words: its rounds' result plus its input.
inline void store_pending(const uint32_t x[16], const uint32_t block[16], pending_block *p) {
#pragma GCC unroll 16
    for (int i = 0; i < 16; i++) {
        p->words[i] = x[i] + (i == 12 ? p->counter : block[i]);
    }
    p->words = nullptr;
}

// The rest of a vector path: its last whole blocks one at a time, then the
// pending block if no vector step has computed it; the counter ends one
// past it either way.
void finish_blocks(uint32_t block[16], uint8_t *out, size_t nblocks, const uint32_t *next,
                   const pending_block *p) {
    chacha20_blocks_portable(block, out, nblocks, p->words);
    if (next != nullptr && p->words == nullptr) {
        block[12] += 1;
    }
}

#define VECTOR_DOUBLE_ROUND(QR, x) \
    QR(x[0], x[4], x[8], x[12]);   \
    QR(x[1], x[5], x[9], x[13]);   \
    QR(x[2], x[6], x[10], x[14]);  \
    QR(x[3], x[7], x[11], x[15]);  \
    QR(x[0], x[5], x[10], x[15]);  \
    QR(x[1], x[6], x[11], x[12]);  \
    QR(x[2], x[7], x[8], x[13]);   \
    QR(x[3], x[4], x[9], x[14])

// Byte shuffles that rotate each 32-bit word left by 16 and by 8, read by
// the AVX2 rounds as memory operands so that they take no register.
alignas(32) constexpr uint8_t rotate16_shuffle[32] = {2, 3,  0,  1,  6,  7, 4,  5,  10, 11, 8,
                                                      9, 14, 15, 12, 13, 2, 3,  0,  1,  6,  7,
                                                      4, 5,  10, 11, 8,  9, 14, 15, 12, 13};
alignas(32) constexpr uint8_t rotate8_shuffle[32] = {3,  0,  1,  2,  7,  4,  5,  6,  11, 8, 9,
                                                     10, 15, 12, 13, 14, 3,  0,  1,  2,  7, 4,
                                                     5,  6,  11, 8,  9,  10, 15, 12, 13, 14};

// One quarter round of eight blocks held one per lane, as an assembly
// statement on the four state vectors it works on and one temporary: the
// rotations by 16 and 8 are byte shuffles, those by 12 and 7 a pair of
// shifts joined by an OR. Eight blocks' state alone fills all sixteen AVX2
// registers. Left to itself, the compiler keeps several state vectors in
// stack slots and reads them back right after writing them, which puts the
// store-to-load delay inside the quarter round's chain of dependent
// operations; with the state as register operands, whatever it keeps in
// stack slots is loaded before and stored after a whole quarter round.
__attribute__((target("avx2"))) inline void quarter_round_avx2(__m256i &a, __m256i &b, __m256i &c,
                                                               __m256i &d) {
    __m256i t;
    asm("vpaddd %1, %0, %0\n\t"
        "vpxor %0, %3, %3\n\t"
        "vpshufb %5, %3, %3\n\t"
        "vpaddd %3, %2, %2\n\t"
        "vpxor %2, %1, %1\n\t"
        "vpslld $12, %1, %4\n\t"
        "vpsrld $20, %1, %1\n\t"
        "vpor %4, %1, %1\n\t"
        "vpaddd %1, %0, %0\n\t"
        "vpxor %0, %3, %3\n\t"
        "vpshufb %6, %3, %3\n\t"
        "vpaddd %3, %2, %2\n\t"
        "vpxor %2, %1, %1\n\t"
        "vpslld $7, %1, %4\n\t"
        "vpsrld $25, %1, %1\n\t"
        "vpor %4, %1, %1"
        : "+x"(a), "+x"(b), "+x"(c), "+x"(d), "=&x"(t)
        : "m"(rotate16_shuffle), "m"(rotate8_shuffle));
}

// The lane numbers 8s + 0..7 of set s, added to the counter word.
__attribute__((target("avx2"))) inline __m256i lane_counters_avx2(int s) {
    return _mm256_add_epi32(_mm256_set1_epi32(8 * s), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// 8 * Sets blocks, set s holding blocks 8s..8s+7 one per lane, from the
// counter block[12]; with Pending, also the pending block on the general
// registers; with Partial, only the first count blocks are stored. The sets
// do not depend on each other, so the CPU overlaps their quarter rounds
// instead of waiting on the chain of dependent operations inside each. With
// two sets, half of the state is in stack slots at any time; the quarter
// rounds read and write them around each assembly statement, and those loads
// and stores are off the chain. As in the AVX-512 path, the input words are
// added back from memory after the rounds and the counter vectors are
// rebuilt from the counter word (lane number added, each lane wrapping on
// its own).
template <int Sets, bool Pending, bool Partial>
__attribute__((target("avx2"))) inline void step_avx2(const uint32_t block[16], uint8_t *out,
                                                      pending_block *p, size_t count) {
    __m256i xs[Sets][16];
    uint32_t y[16];
    if constexpr (Pending) {
        load_pending(y, block, p);
    }
#pragma GCC unroll 2
    for (int s = 0; s < Sets; s++) {
#pragma GCC unroll 16
        for (int i = 0; i < 16; i++) {
            xs[s][i] = _mm256_set1_epi32(static_cast<int>(block[i]));
        }
        xs[s][12] = _mm256_add_epi32(xs[s][12], lane_counters_avx2(s));
    }
    for (int r = 0; r < 10; r++) {
#pragma GCC unroll 2
        for (int s = 0; s < Sets; s++) {
            __m256i *x = xs[s];
            quarter_round_avx2(x[0], x[4], x[8], x[12]);
            quarter_round_avx2(x[1], x[5], x[9], x[13]);
            quarter_round_avx2(x[2], x[6], x[10], x[14]);
            quarter_round_avx2(x[3], x[7], x[11], x[15]);
        }
        if constexpr (Pending) {
            column_round_scalar(y);
        }
#pragma GCC unroll 2
        for (int s = 0; s < Sets; s++) {
            __m256i *x = xs[s];
            quarter_round_avx2(x[0], x[5], x[10], x[15]);
            quarter_round_avx2(x[1], x[6], x[11], x[12]);
            quarter_round_avx2(x[2], x[7], x[8], x[13]);
            quarter_round_avx2(x[3], x[4], x[9], x[14]);
        }
        if constexpr (Pending) {
            diagonal_round_scalar(y);
        }
    }
    if constexpr (Pending) {
        store_pending(y, block, p);
    }
    // Read the input words again rather than keep them in registers
    // through the rounds: the empty assembly statement tells the compiler
    // that memory may have changed, so it cannot reuse the broadcasts
    // from before the rounds.
    asm volatile("" : : : "memory");
#pragma GCC unroll 2
    for (int s = 0; s < Sets; s++) {
        __m256i *x = xs[s];
        uint8_t *const set_out = out + 8 * 64 * s;
#pragma GCC unroll 16
        for (int i = 0; i < 16; i++) {
            x[i] = _mm256_add_epi32(x[i], _mm256_set1_epi32(static_cast<int>(block[i])));
        }
        x[12] = _mm256_add_epi32(x[12], lane_counters_avx2(s));
        // Transpose 4x4 words inside each 128-bit half: y[g][r] then holds words
        // 4g..4g+3 of block r (low half) and of block 4 + r (high half).
        __m256i t[4][4];
#pragma GCC unroll 16
        for (int g = 0; g < 4; g++) {
            const __m256i t0 = _mm256_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
            const __m256i t1 = _mm256_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
            const __m256i t2 = _mm256_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
            const __m256i t3 = _mm256_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
            t[g][0] = _mm256_unpacklo_epi64(t0, t2);
            t[g][1] = _mm256_unpackhi_epi64(t0, t2);
            t[g][2] = _mm256_unpacklo_epi64(t1, t3);
            t[g][3] = _mm256_unpackhi_epi64(t1, t3);
        }
#pragma GCC unroll 16
        for (int r = 0; r < 4; r++) {
            uint8_t *lo = set_out + 64 * r;
            uint8_t *hi = set_out + 64 * (4 + r);
            if (!Partial || static_cast<size_t>(r) < count) {
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(lo),
                                    _mm256_permute2x128_si256(t[0][r], t[1][r], 0x20));
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(lo + 32),
                                    _mm256_permute2x128_si256(t[2][r], t[3][r], 0x20));
            }
            if (!Partial || static_cast<size_t>(4 + r) < count) {
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(hi),
                                    _mm256_permute2x128_si256(t[0][r], t[1][r], 0x31));
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(hi + 32),
                                    _mm256_permute2x128_si256(t[2][r], t[3][r], 0x31));
            }
        }
    }
}

// The AVX2 path's steps, as the step drivers below take them.
struct avx2_steps {
    static constexpr size_t lanes = 8;
    template <int Sets, bool Pending, bool Partial>
    __attribute__((target("avx2"))) static void run(const uint32_t block[16], uint8_t *out,
                                                    pending_block *p, size_t count) {
        step_avx2<Sets, Pending, Partial>(block, out, p, count);
    }
};

// GCC 12's AVX-512 intrinsics pass an intentionally undefined operand that
// -Wuninitialized reports (a known false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define QR_AVX512(a, b, c, d)                                                            \
    a = _mm512_add_epi32(a, b), d = _mm512_xor_si512(d, a), d = _mm512_rol_epi32(d, 16); \
    c = _mm512_add_epi32(c, d), b = _mm512_xor_si512(b, c), b = _mm512_rol_epi32(b, 12); \
    a = _mm512_add_epi32(a, b), d = _mm512_xor_si512(d, a), d = _mm512_rol_epi32(d, 8);  \
    c = _mm512_add_epi32(c, d), b = _mm512_xor_si512(b, c), b = _mm512_rol_epi32(b, 7)

// One quarter round of sixteen blocks held one per lane, as an assembly
// statement whose operands are the four state vectors it works on. Two sets
// of sixteen blocks fill all 32 vector registers, and the compiler, left to
// itself, keeps some of the state in stack slots; the operands make it hold
// the state in registers where the rounds run.
__attribute__((target("avx512f"))) inline void quarter_round_avx512(__m512i &a, __m512i &b,
                                                                    __m512i &c, __m512i &d) {
    asm("vpaddd %1, %0, %0\n\t"
        "vpxord %0, %3, %3\n\t"
        "vprold $16, %3, %3\n\t"
        "vpaddd %3, %2, %2\n\t"
        "vpxord %2, %1, %1\n\t"
        "vprold $12, %1, %1\n\t"
        "vpaddd %1, %0, %0\n\t"
        "vpxord %0, %3, %3\n\t"
        "vprold $8, %3, %3\n\t"
        "vpaddd %3, %2, %2\n\t"
        "vpxord %2, %1, %1\n\t"
        "vprold $7, %1, %1"
        : "+v"(a), "+v"(b), "+v"(c), "+v"(d));
}

__attribute__((target("avx512f"))) inline void column_round_avx512(__m512i x[16]) {
    quarter_round_avx512(x[0], x[4], x[8], x[12]);
    quarter_round_avx512(x[1], x[5], x[9], x[13]);
    quarter_round_avx512(x[2], x[6], x[10], x[14]);
    quarter_round_avx512(x[3], x[7], x[11], x[15]);
}

__attribute__((target("avx512f"))) inline void diagonal_round_avx512(__m512i x[16]) {
    quarter_round_avx512(x[0], x[5], x[10], x[15]);
    quarter_round_avx512(x[1], x[6], x[11], x[12]);
    quarter_round_avx512(x[2], x[7], x[8], x[13]);
    quarter_round_avx512(x[3], x[4], x[9], x[14]);
}

// The lane numbers 16s + 0..15 of set s, added to the counter word.
__attribute__((target("avx512f"))) inline __m512i lane_counters(int s) {
    return _mm512_add_epi32(
        _mm512_set1_epi32(16 * s),
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

// Stores sixteen blocks held one per lane (x[j] is word j of every block):
// transpose 4x4 words inside each 128-bit quarter, so that quarter q of
// y[g][r] holds words 4g..4g+3 of block 4q + r, then regroup the quarters so
// that each vector is one whole block.
template <bool Partial>
__attribute__((target("avx512f"))) inline void store_16blocks_avx512(const __m512i x[16],
                                                                     uint8_t *out, size_t count) {
    __m512i y[4][4];
#pragma GCC unroll 16
    for (int g = 0; g < 4; g++) {
        const __m512i t0 = _mm512_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
        const __m512i t1 = _mm512_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
        const __m512i t2 = _mm512_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
        const __m512i t3 = _mm512_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
        y[g][0] = _mm512_unpacklo_epi64(t0, t2);
        y[g][1] = _mm512_unpackhi_epi64(t0, t2);
        y[g][2] = _mm512_unpacklo_epi64(t1, t3);
        y[g][3] = _mm512_unpackhi_epi64(t1, t3);
    }
#pragma GCC unroll 16
    for (int r = 0; r < 4; r++) {
        // p0 = (y0.q0, y0.q1, y1.q0, y1.q1), p1 = (y0.q2, y0.q3, y1.q2, y1.q3), ...
        const __m512i p0 = _mm512_shuffle_i32x4(y[0][r], y[1][r], 0x44);
        const __m512i p1 = _mm512_shuffle_i32x4(y[0][r], y[1][r], 0xee);
        const __m512i p2 = _mm512_shuffle_i32x4(y[2][r], y[3][r], 0x44);
        const __m512i p3 = _mm512_shuffle_i32x4(y[2][r], y[3][r], 0xee);
        const __m512i blocks[4] = {
            _mm512_shuffle_i32x4(p0, p2, 0x88), _mm512_shuffle_i32x4(p0, p2, 0xdd),
            _mm512_shuffle_i32x4(p1, p3, 0x88), _mm512_shuffle_i32x4(p1, p3, 0xdd)};
#pragma GCC unroll 4
        for (int q = 0; q < 4; q++) {
            if (!Partial || static_cast<size_t>(4 * q + r) < count) {
                _mm512_storeu_si512(out + 64 * (4 * q + r), blocks[q]);
            }
        }
    }
}

// 16 * Sets blocks, set s holding blocks 16s..16s+15 one per lane, from the
// counter block[12]; with Pending, also the pending block on the general
// registers; with Partial, only the first count blocks are stored. Each
// set's state lives in sixteen vector registers: the rounds'
// rotations are single instructions (vprold) and need no temporary, so two
// sets fill the 32 registers exactly. The sets do not depend on each other,
// so the CPU overlaps their rounds: with one set it often waits on the chain
// of dependent additions, XORs and rotations inside the quarter rounds.
// Constants, key and nonce are added back from memory as broadcast operands,
// and the counter vectors are rebuilt from the counter word (lane number
// added, each lane wrapping on its own), rather than kept in registers
// through the rounds, where they would make the compiler spill.
template <int Sets, bool Pending, bool Partial>
__attribute__((target("avx512f"))) inline void step_avx512(const uint32_t block[16], uint8_t *out,
                                                           pending_block *p, size_t count) {
    __m512i x[Sets][16];
    uint32_t y[16];
    if constexpr (Pending) {
        load_pending(y, block, p);
    }
#pragma GCC unroll 4
    for (int s = 0; s < Sets; s++) {
#pragma GCC unroll 16
        for (int i = 0; i < 16; i++) {
            x[s][i] = _mm512_set1_epi32(static_cast<int>(block[i]));
        }
        x[s][12] = _mm512_add_epi32(x[s][12], lane_counters(s));
    }
    for (int r = 0; r < 10; r++) {
#pragma GCC unroll 4
        for (int s = 0; s < Sets; s++) {
            column_round_avx512(x[s]);
        }
        if constexpr (Pending) {
            column_round_scalar(y);
        }
#pragma GCC unroll 4
        for (int s = 0; s < Sets; s++) {
            diagonal_round_avx512(x[s]);
        }
        if constexpr (Pending) {
            diagonal_round_scalar(y);
        }
    }
    if constexpr (Pending) {
        store_pending(y, block, p);
    }
    // Read the input words again rather than keep them in registers
    // through the rounds: the empty assembly statement tells the compiler
    // that memory may have changed, so it cannot reuse the broadcasts
    // from before the rounds.
    asm volatile("" : : : "memory");
#pragma GCC unroll 4
    for (int s = 0; s < Sets; s++) {
#pragma GCC unroll 16
        for (int i = 0; i < 16; i++) {
            x[s][i] = _mm512_add_epi32(x[s][i], _mm512_set1_epi32(static_cast<int>(block[i])));
        }
        x[s][12] = _mm512_add_epi32(x[s][12], lane_counters(s));
        store_16blocks_avx512<Partial>(x[s], out + 16 * 64 * s, count);
    }
}

// The AVX-512 path's steps, as the step drivers below take them.
struct avx512_steps {
    static constexpr size_t lanes = 16;
    template <int Sets, bool Pending, bool Partial>
    __attribute__((target("avx512f"))) static void run(const uint32_t block[16], uint8_t *out,
                                                       pending_block *p, size_t count) {
        step_avx512<Sets, Pending, Partial>(block, out, p, count);
    }
};

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#undef QR_AVX512
#undef VECTOR_DOUBLE_ROUND

// Steps of Path::lanes * Sets blocks for as long as that many are left, the
// first one also computing the pending block if there is one; block[12]
// advances by the step's blocks each time. Returns the blocks left over.
template <typename Path, int Sets>
size_t full_steps(uint32_t block[16], uint8_t *&out, size_t nblocks, pending_block *p) {
    constexpr size_t step = Path::lanes * Sets;
    for (; nblocks >= step; nblocks -= step, out += 64 * step, block[12] += step) {
        if (p->words != nullptr) {
            Path::template run<Sets, true, false>(block, out, p, step);
        } else {
            Path::template run<Sets, false, false>(block, out, p, step);
        }
    }
    return nblocks;
}

// The blocks left after the full steps, from two up to one fewer than a
// step's lanes: one more step that stores only those. One block at a time
// through the portable path costs about half as much as a whole step of
// eight AVX2 lanes, so from two blocks on the step is cheaper. Returns the
// blocks left over.
template <typename Path>
size_t partial_step(uint32_t block[16], uint8_t *&out, size_t nblocks, pending_block *p) {
    if (nblocks < 2 || nblocks >= Path::lanes) {
        return nblocks;
    }
    if (p->words != nullptr) {
        Path::template run<1, true, true>(block, out, p, nblocks);
    } else {
        Path::template run<1, false, true>(block, out, p, nblocks);
    }
    out += 64 * nblocks;
    block[12] += static_cast<uint32_t>(nblocks);
    return 0;
}

// A call for fewer than eight whole blocks (a get shorter than
// wide_request_bytes, which wipes only the stack that one block at a time
// uses) takes no vector step: its blocks go one at a time.
constexpr size_t first_vector_blocks = wide_request_bytes / 64;

__attribute__((target("avx2"))) void chacha20_blocks_avx2(uint32_t block[16], uint8_t *out,
                                                          size_t nblocks, uint32_t *next) {
    pending_block pending = {next, block[12] + static_cast<uint32_t>(nblocks)};
    if (nblocks >= first_vector_blocks) {
        nblocks = full_steps<avx2_steps, 2>(block, out, nblocks, &pending);
        nblocks = full_steps<avx2_steps, 1>(block, out, nblocks, &pending);
        nblocks = partial_step<avx2_steps>(block, out, nblocks, &pending);
    }
    finish_blocks(block, out, nblocks, next, &pending);
}

__attribute__((target("avx512f"))) void chacha20_blocks_avx512(uint32_t block[16], uint8_t *out,
                                                               size_t nblocks, uint32_t *next) {
    pending_block pending = {next, block[12] + static_cast<uint32_t>(nblocks)};
    if (nblocks >= first_vector_blocks) {
        nblocks = full_steps<avx512_steps, 2>(block, out, nblocks, &pending);
        nblocks = full_steps<avx512_steps, 1>(block, out, nblocks, &pending);
        nblocks = partial_step<avx512_steps>(block, out, nblocks, &pending);
    }
    finish_blocks(block, out, nblocks, next, &pending);
}
#endif

blocks_fn select_blocks() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return chacha20_blocks_avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return chacha20_blocks_avx2;
    }
#endif
    return chacha20_blocks_portable;
}

}  // namespace quorvandelith
