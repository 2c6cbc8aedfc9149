// The engine's own helpers on 64-bit limbs, shared by the context (montgomery_context.cpp)
// and the exponentiation (montgomery_pow.cpp): moving values between bignum records and
// limbs, a mask made without a comparison, and the products on the context's limb kernel.
#pragma once

#include <cstdint>

#include "bignum.h"
#include "montgomery.h"
#include "montgomery_kernels.h"

// limbs = the value of a, zero-extended to n limbs; a has at most 2 n words.
void montgomery_load_limbs(std::uint64_t *limbs, const bignum *a, int n);

// result = the value of n limbs, normalised, with size 0 for zero. The limbs may be
// secret: the size is found with masks over every word, and all 2 n words are written
// whatever it is, so neither a branch nor an address depends on the value.
void montgomery_store_limbs(bignum *result, const std::uint64_t *limbs, int n);

// All ones if x is non-zero, else zero, computed without a comparison; the empty asm
// keeps the compiler from turning a select on the mask back into a branch.
inline std::uint64_t montgomery_nonzero_mask(std::uint64_t x) {
    std::uint64_t mask = 0 - ((x | (0 - x)) >> 63);
    asm("" : "+r"(mask));
    return mask;
}

// The products on 64-bit limbs, by the context's limb kernel. Inline, so that the
// exponentiation's loop calls the kernel itself.
inline void montgomery_limb_mul(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                                const montgomery_ctx *c) {
    if (c->limb_kernel == montgomery_kernel::adx) {
        montgomery_mul_adx(r, a, b, c);
    } else {
        montgomery_mul_portable(r, a, b, c);
    }
}

inline void montgomery_limb_sqr(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c) {
    if (c->limb_kernel == montgomery_kernel::adx) {
        montgomery_sqr_adx(r, a, c);
    } else {
        montgomery_sqr_portable(r, a, c);
    }
}
