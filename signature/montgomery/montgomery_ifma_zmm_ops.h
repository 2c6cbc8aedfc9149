// The IFMA lane operations on zmm and ymm registers: the policies of montgomery_ifma_loop.h
// that montgomery_ifma.cpp runs, in a header of their own so that a test can build the digit
// loop over them (or over a variant of them) in its own unit. x86-64 only; include it inside
// a region compiled for AVX-512F, AVX-512VL and AVX-512 IFMA (the target pragmas of
// montgomery_ifma.cpp),
// with <immintrin.h> included before that region. Everything here is local to the
// including unit.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "montgomery_ifma_loop.h"

namespace {

struct zmm_ops {
    using V = __m512i;
    static constexpr int lanes = 8;
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
    static V add(V a, V b) {
        return _mm512_add_epi64(a, b);
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
    static std::uint64_t lane1(V v) {
        return static_cast<std::uint64_t>(
            _mm_extract_epi64(_mm512_maskz_extracti32x4_epi32(0xF, v, 0), 1));
    }
    template <int s>
    static V shift_up(V cur, V prev) {
        if constexpr (s == 0) {
            return cur;
        } else {
            return _mm512_maskz_alignr_epi64(0xFF, cur, prev, 8 - s);
        }
    }
    template <int l>
    static std::uint64_t lane(V v) {
        const __m128i pair = _mm512_maskz_extracti32x4_epi32(0xF, v, l / 2);
        return static_cast<std::uint64_t>(l % 2 == 0 ? _mm_cvtsi128_si64(pair)
                                                     : _mm_extract_epi64(pair, 1));
    }
};

// The same on ymm registers (the AVX-512VL forms). 20 digits fill five of them exactly,
// where zmm registers take three with four lanes unused, and the squaring's masked rows
// skip more whole vectors; CPUs that run 512-bit operations as two 256-bit halves do
// less work this way.
struct ymm_ops {
    using V = __m256i;
    static constexpr int lanes = 4;
    static V zero() {
        return _mm256_setzero_si256();
    }
    static V load(const std::uint64_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static void store(std::uint64_t *p, V v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
    }
    static V bcast(std::uint64_t x) {
        return _mm256_set1_epi64x(static_cast<long long>(x));
    }
    static V add(V a, V b) {
        return _mm256_add_epi64(a, b);
    }
    static V madd_lo(V acc, V a, V b) {
        return _mm256_madd52lo_epu64(acc, a, b);
    }
    static V madd_hi(V acc, V a, V b) {
        return _mm256_madd52hi_epu64(acc, a, b);
    }
    static V madd_lo_mask(V acc, unsigned k, V a, V b) {
        return _mm256_mask_madd52lo_epu64(acc, static_cast<__mmask8>(k), a, b);
    }
    static V madd_hi_mask(V acc, unsigned k, V a, V b) {
        return _mm256_mask_madd52hi_epu64(acc, static_cast<__mmask8>(k), a, b);
    }
    static V align1(V lo, V hi) {
        return _mm256_maskz_alignr_epi64(0xF, hi, lo, 1);
    }
    static std::uint64_t lane1(V v) {
        return static_cast<std::uint64_t>(_mm_extract_epi64(_mm256_castsi256_si128(v), 1));
    }
    template <int s>
    static V shift_up(V cur, V prev) {
        if constexpr (s == 0) {
            return cur;
        } else {
            return _mm256_maskz_alignr_epi64(0xF, cur, prev, 4 - s);
        }
    }
    template <int l>
    static std::uint64_t lane(V v) {
        const __m128i pair = l < 2 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
        return static_cast<std::uint64_t>(l % 2 == 0 ? _mm_cvtsi128_si64(pair)
                                                     : _mm_extract_epi64(pair, 1));
    }
};

}  // namespace
