// The Montgomery kernels on 64-bit limbs, for a context made by montgomery_ctx_init. Each
// takes operands below m in c->n limbs and gives a result below m. The exponentiation
// picks one of them; the tests and the fuzz target compare them with one another and with
// GMP.
#pragma once

#include <cstdint>

#include "cpu_features.h"
#include "montgomery.h"

// Portable (montgomery_portable.cpp): column-wise product scanning, any limb count.
// r = a b R^-1 mod m; r may be a or b.
void montgomery_mul_portable(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                             const montgomery_ctx *c);
// r = a^2 R^-1 mod m; r may be a.
void montgomery_sqr_portable(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c);
// r = t R^-1 mod m for t < m R given in 2 n limbs.
void montgomery_redc_portable(std::uint64_t *r, const std::uint64_t *t, const montgomery_ctx *c);
// r = a - m if a (with the carry limb top above it) is at least m, else r = a; n limbs.
void montgomery_subtract_if_needed(std::uint64_t *r, const std::uint64_t *a, std::uint64_t top,
                                   const std::uint64_t *m, int n);

// x86-64 with BMI2 and ADX (montgomery_adx.cpp), for limb counts divisible by 4. Defined
// on every architecture; elsewhere montgomery_cpu_has_adx (cpu_features.h) is 0 and the
// kernels must not be called.
void montgomery_mul_adx(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                        const montgomery_ctx *c);
void montgomery_sqr_adx(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c);

// r = entry `index` of a table of `entries` entries of `width` words each, reading every
// entry and keeping the right one with masks, so that no address or branch depends on
// index (montgomery_pow.cpp). The limb exponentiation reads its table with it, and so does
// the digit exponentiation on the scalar model of the IFMA lanes.
void montgomery_select_masked(std::uint64_t *r, const std::uint64_t *table, int entries, int width,
                              std::uint64_t index);

// The exponentiation's window width in bits for an exponent of that many 32-bit words:
// it reads the exponent in windows of this many bits from bit 0 up, the top one holding
// what is left, and keeps a table of all 2^width powers.
int montgomery_window_bits(std::int32_t exponent_words);
