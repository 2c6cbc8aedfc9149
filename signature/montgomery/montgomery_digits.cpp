// The conversions between 64-bit limbs and the radix-2^52 digits of the IFMA kernels,
// which the context (the modulus and R^2 in digits) and the digit exponentiation use.
#include "montgomery_ifma.h"

namespace {

using u64 = std::uint64_t;

constexpr u64 digit_mask = (u64{1} << 52) - 1;

}  // namespace

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
