// The planted carry fault of planted_carry_fault.h on the real IFMA instructions: the
// library's ymm and zmm lane operations under the target pragmas of montgomery_ifma.cpp, so
// that the digit loop is compiled as the library's kernel is, save the planted step.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

#include "montgomery.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512vl,avx512ifma"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512ifma")
#endif

#include "montgomery_ifma_zmm_ops.h"
#include "planted_carry_fault.h"

void planted_mul_ifma(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                      const montgomery_ctx *c) {
    planted_amm<ymm_ops, zmm_ops>(r, a, b, c);
}

void planted_sqr_ifma(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c) {
    planted_ams<ymm_ops, zmm_ops>(r, a, c);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

#include <cstdlib>

#include "planted_carry_fault.h"

// No IFMA off x86-64: the test never calls these.
void planted_mul_ifma(std::uint64_t *, const std::uint64_t *, const std::uint64_t *,
                      const montgomery_ctx *) {
    std::abort();
}

void planted_sqr_ifma(std::uint64_t *, const std::uint64_t *, const montgomery_ctx *) {
    std::abort();
}

#endif
