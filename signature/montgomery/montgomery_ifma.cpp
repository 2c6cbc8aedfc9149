// The IFMA kernel: the radix-2^52 digit loop on ymm and zmm registers with vpmadd52luq
// and vpmadd52huq, and the exponentiation's table read with compare masks. Everything
// between the target pragmas is compiled for AVX-512F, AVX-512VL and AVX-512 IFMA, and is
// run only after montgomery_cpu_has_ifma (cpu_features.h).
#include "montgomery_ifma.h"

#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

int montgomery_ifma_digits(int n) {
    return n == 16 ? 20 : n == 32 ? 40 : 0;
}

#if defined(__x86_64__)

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512vl,avx512ifma"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512ifma")
#endif

#include "montgomery_ifma_zmm_ops.h"
#include "montgomery_ifma_frame.h"

namespace {

// 20 digits on ymm registers in the fixed frame, 40 on zmm in the moving one, each size in
// a function of its own: compiled into one function, the two sizes' code is allocated
// registers worse (the first 20-digit square in the fixed frame measured a sixth slower).
[[gnu::noinline]] void mul20(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                             const std::uint64_t *m, std::uint64_t k0) {
    frame_product<ymm_ops, 20>(r, a, b, m, k0);
}

[[gnu::noinline]] void mul40(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                             const std::uint64_t *m, std::uint64_t k0) {
    amm_digits<zmm_ops, 40>(r, a, b, m, k0);
}

[[gnu::noinline]] void sqr20(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *m,
                             std::uint64_t k0) {
    frame_product<ymm_ops, 20>(r, a, a, m, k0);
}

[[gnu::noinline]] void sqr40(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *m,
                             std::uint64_t k0) {
    ams_digits<zmm_ops, 40>(r, a, m, k0);
}

}  // namespace

void montgomery_mul_ifma(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                         const montgomery_ctx *c) {
    if (c->digits == 20) {
        mul20(r, a, b, c->md, c->k0);
    } else {
        mul40(r, a, b, c->md, c->k0);
    }
}

void montgomery_sqr_ifma(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c) {
    if (c->digits == 20) {
        sqr20(r, a, c->md, c->k0);
    } else {
        sqr40(r, a, c->md, c->k0);
    }
}

namespace {

// Each entry is loaded whole with plain loads, so every cache line of the table is touched
// whatever the index; a vector mask, all ones for the entry whose position equals index and
// zero for the others, keeps that entry's words (one vpternlogq: acc | (word & keep)). The
// mask is built by arithmetic, not in an opmask register: with an opmask the compiler may
// fold the load and the masking into a masked load, which need not touch the memory of
// masked lanes. nv vectors per entry.
template <int nv>
void select_vectors(std::uint64_t *r, const std::uint64_t *table, int entries,
                    std::uint64_t index) {
    const __m512i want = _mm512_set1_epi64(static_cast<long long>(index));
    const __m512i one = _mm512_set1_epi64(1);
    __m512i position = _mm512_setzero_si512();  // k in every lane
    __m512i acc[nv];
#pragma GCC unroll 8
    for (int v = 0; v < nv; v++) {
        acc[v] = _mm512_setzero_si512();
    }
    for (int k = 0; k < entries; k++) {
        // k ^ index is below 2^63: minus one, its sign is set only when it is zero.
        const __m512i diff = _mm512_xor_si512(position, want);
        const __m512i keep = _mm512_maskz_srai_epi64(0xFF, _mm512_sub_epi64(diff, one), 63);
        const std::uint64_t *entry = table + static_cast<std::ptrdiff_t>(k) * (8 * nv);
#pragma GCC unroll 8
        for (int v = 0; v < nv; v++) {
            acc[v] = _mm512_ternarylogic_epi64(acc[v], _mm512_loadu_si512(entry + 8 * v), keep,
                                               0xF8);
        }
        position = _mm512_add_epi64(position, one);
    }
#pragma GCC unroll 8
    for (int v = 0; v < nv; v++) {
        _mm512_storeu_si512(r + 8 * v, acc[v]);
    }
}

}  // namespace

// The kernel's two sizes: 20 digits padded to 24, and 40.
void montgomery_select_ifma(std::uint64_t *r, const std::uint64_t *table, int entries, int width,
                            std::uint64_t index) {
    if (width == 24) {
        select_vectors<3>(r, table, entries, index);
    } else {
        select_vectors<5>(r, table, entries, index);
    }
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

void montgomery_mul_ifma(std::uint64_t *, const std::uint64_t *, const std::uint64_t *,
                         const montgomery_ctx *) {}
void montgomery_sqr_ifma(std::uint64_t *, const std::uint64_t *, const montgomery_ctx *) {}
void montgomery_select_ifma(std::uint64_t *, const std::uint64_t *, int, int, std::uint64_t) {}

#endif
