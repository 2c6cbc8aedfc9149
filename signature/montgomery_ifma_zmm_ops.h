// The IFMA lane operations on zmm registers: the policy of montgomery_ifma_loop.h that
// montgomery_ifma.cpp runs, in a header of its own so that a test can build the digit loop
// over it (or over a variant of it) in its own unit. x86-64 only; include it inside a
// region compiled for AVX-512F and AVX-512 IFMA (the target pragmas of montgomery_ifma.cpp),
// with <immintrin.h> included before that region. Everything here is local to the
// including unit.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "montgomery_ifma_loop.h"

namespace {

struct zmm_ops {
    using V = __m512i;
    static V zero() {
        return _mm512_setzero_si512();
    }
    static V load(const std::uint64_t *p) {
        return _mm512_loadu_si512(p);
    }
    static void store(std::uint64_t *p, V v) {
        _mm512_storeu_si512(p, v);
    }
    static V bcast(std::uint64_t x) {
        return _mm512_set1_epi64(static_cast<long long>(x));
    }
    static V madd_lo(V acc, V a, V b) {
        return _mm512_madd52lo_epu64(acc, a, b);
    }
    static V madd_hi(V acc, V a, V b) {
        return _mm512_madd52hi_epu64(acc, a, b);
    }
    static V madd_lo_mask(V acc, unsigned k, V a, V b) {
        return _mm512_mask_madd52lo_epu64(acc, static_cast<__mmask8>(k), a, b);
    }
    static V madd_hi_mask(V acc, unsigned k, V a, V b) {
        return _mm512_mask_madd52hi_epu64(acc, static_cast<__mmask8>(k), a, b);
    }
    // The zero-masking forms: the plain ones start from an undefined vector, which GCC 12
    // reports as possibly uninitialised.
    static V align1(V lo, V hi) {
        return _mm512_maskz_alignr_epi64(0xFF, hi, lo, 1);
    }
    static V add_lane0(V v, std::uint64_t x) {
        return _mm512_mask_add_epi64(v, 1, v, bcast(x));
    }
    static std::uint64_t lane0(V v) {
        return static_cast<std::uint64_t>(
            _mm_cvtsi128_si64(_mm512_maskz_extracti32x4_epi32(0xF, v, 0)));
    }
};

}  // namespace
