// Almost Montgomery multiplication in radix 2^52 for AVX-512 IFMA (S. Gueron and
// V. Krasnov, "Accelerating big integer arithmetic using Intel IFMA extensions", ARITH
// 2016; N. Drucker and S. Gueron, "Fast modular squaring with AVX512IFMA", 2019).
//
// Operands are c->digits digits below 2^52, one per 64-bit lane, zero-padded to whole
// vectors of eight lanes, for moduli of 16 limbs (20 digits) or 32 limbs (40 digits).
// With R = 2^(52 digits) > 4m, inputs below 2m give r = a b R^-1 mod m almost reduced:
// r < 2m, r congruent to a b R^-1, in digits below 2^52. The exponentiation keeps every
// value below 2m and reduces fully once at the end.
//
// The digit loop is written once over a policy of lane operations: the real ones with
// vpmadd52luq/vpmadd52huq on ymm registers for 20 digits and zmm registers for 40
// (montgomery_ifma.cpp, run only where montgomery_cpu_has_ifma), and a scalar model of
// the same lane semantics on eight lanes (montgomery_ifma_emulated.h, runs anywhere),
// which only the tests, benchmarks and fuzz target build, to check the algorithm on CPUs
// without IFMA.
#pragma once

#include <cstdint>

#include "cpu_features.h"
#include "montgomery.h"

constexpr int montgomery_ifma_lanes = 8;

// Digits for a modulus of n limbs, or 0 if the IFMA kernel does not handle that size.
int montgomery_ifma_digits(int n);

// r = a b R^-1 (mod m), almost reduced, for a, b < 2m; r may be a or b. The real kernels
// need montgomery_cpu_has_ifma.
void montgomery_mul_ifma(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                         const montgomery_ctx *c);
void montgomery_sqr_ifma(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c);

// r = entry `index` of a table of `entries` entries of `width` words each (width 24 or
// 40: the padded digits of the two sizes), reading every entry and keeping the right one
// with compare masks (vpcmpeqq into an opmask, then a zero-masking move), so that no
// address or branch depends on index. Needs montgomery_cpu_has_ifma.
void montgomery_select_ifma(std::uint64_t *r, const std::uint64_t *table, int entries, int width,
                            std::uint64_t index);

// Conversions between n 64-bit limbs and the digits of c (the padding lanes zero), in
// montgomery_digits.cpp.
void montgomery_to_digits(std::uint64_t *digits, const std::uint64_t *limbs,
                          const montgomery_ctx *c);
void montgomery_from_digits(std::uint64_t *limbs, const std::uint64_t *digits,
                            const montgomery_ctx *c);
