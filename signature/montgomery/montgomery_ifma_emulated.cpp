// The radix-2^52 digit loop on a scalar model of the IFMA lane operations, for checking
// the algorithm on any CPU, and the conversions between 64-bit limbs and 52-bit digits.
#include "montgomery_ifma.h"
#include "montgomery_ifma_scalar_ops.h"

void montgomery_mul_ifma_emulated(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c) {
    amm<scalar_ops>(r, a, b, c);
}

void montgomery_sqr_ifma_emulated(u64 *r, const u64 *a, const montgomery_ctx *c) {
    ams<scalar_ops>(r, a, c);
}

// Digit j is bits 52 j .. 52 j + 51 of the value; it spans one or two limbs.
void montgomery_to_digits(u64 *digits, const u64 *limbs, const montgomery_ctx *c) {
    const int padded = (c->digits + 7) / 8 * 8;
    for (int j = 0; j < padded; j++) {
        const int bit = 52 * j, k = bit / 64, shift = bit % 64;
        u64 d = 0;
        if (k < c->n) {
            d = limbs[k] >> shift;
            if (shift > 12 && k + 1 < c->n) {
                d |= limbs[k + 1] << (64 - shift);
            }
        }
        digits[j] = d & digit_mask;
    }
}

// The value must fit n limbs.
void montgomery_from_digits(u64 *limbs, const u64 *digits, const montgomery_ctx *c) {
    for (int k = 0; k < c->n; k++) {
        limbs[k] = 0;
    }
    for (int j = 0; j < c->digits; j++) {
        const int bit = 52 * j, k = bit / 64, shift = bit % 64;
        if (k < c->n) {
            limbs[k] |= digits[j] << shift;
            if (shift > 12 && k + 1 < c->n) {
                limbs[k + 1] |= digits[j] >> (64 - shift);
            }
        }
    }
}
