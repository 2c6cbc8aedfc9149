// Modular arithmetic for odd moduli in Montgomery form (P. L. Montgomery, "Modular
// multiplication without trial division", Math. Comp. 44 (1985); HAC 14.32-14.36), on
// 64-bit limbs made from the 32-bit words of bignum records. Modular exponentiation and
// the Miller-Rabin squarings use it instead of a long division after every product.
#pragma once

#include <cstdint>

#include "bignum.h"

// Largest modulus handled here, in 32-bit words (4096 bits). Larger moduli take the
// division path.
constexpr std::int32_t montgomery_max_words = 128;

// 1 if modulus is odd, normalised and of 2 to montgomery_max_words words. A one-word
// modulus is left to the division path: its zero remainder has size 1, a form the
// Montgomery path does not track.
int montgomery_applies(const bignum *modulus);

// result = base^exponent mod modulus, for a non-zero exponent and a modulus for which
// montgomery_applies. base and exponent are normalised (or zero) and of any length. The
// result is normalised, and zero has size 0: the forms a division by a modulus of two or
// more words gives. result may be the same record as base or exponent; no heap allocation
// happens per step, only one work record when base >= modulus.
void montgomery_pow_mod(bignum *result, const bignum *base, const bignum *exponent,
                        const bignum *modulus);

// x = x * x mod modulus, for x < modulus and a modulus for which montgomery_applies.
void montgomery_square_mod(bignum *x, const bignum *modulus);
