// The radix-2^52 digit loop on a scalar model of the IFMA lane operations, for checking
// the algorithm on any CPU, and the conversions between 64-bit limbs and 52-bit digits.
#include "montgomery_ifma.h"
#include "montgomery_ifma_loop.h"

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

struct lanes8 {
    u64 lane[8];
};

// Each operation does per lane what the instruction named in montgomery_ifma_loop.h does.
struct scalar_ops {
    using V = lanes8;
    static constexpr int lanes = 8;
    static V zero() {
        return V{};
    }
    static V load(const u64 *p) {
        V v;
        for (int k = 0; k < 8; k++) {
            v.lane[k] = p[k];
        }
        return v;
    }
    static void store(u64 *p, const V &v) {
        for (int k = 0; k < 8; k++) {
            p[k] = v.lane[k];
        }
    }
    static V bcast(u64 x) {
        V v;
        for (auto &l : v.lane) {
            l = x;
        }
        return v;
    }
    static V madd_lo(V acc, const V &a, const V &b) {
        for (int k = 0; k < 8; k++) {
            const u128 p = static_cast<u128>(a.lane[k] & digit_mask) * (b.lane[k] & digit_mask);
            acc.lane[k] += static_cast<u64>(p) & digit_mask;
        }
        return acc;
    }
    static V madd_hi(V acc, const V &a, const V &b) {
        for (int k = 0; k < 8; k++) {
            const u128 p = static_cast<u128>(a.lane[k] & digit_mask) * (b.lane[k] & digit_mask);
            acc.lane[k] += static_cast<u64>(p >> 52);
        }
        return acc;
    }
    static V madd_lo_mask(const V &acc, unsigned k, const V &a, const V &b) {
        const V sum = madd_lo(acc, a, b);
        V v;
        for (int l = 0; l < 8; l++) {
            v.lane[l] = (k >> l & 1) != 0 ? sum.lane[l] : acc.lane[l];
        }
        return v;
    }
    static V madd_hi_mask(const V &acc, unsigned k, const V &a, const V &b) {
        const V sum = madd_hi(acc, a, b);
        V v;
        for (int l = 0; l < 8; l++) {
            v.lane[l] = (k >> l & 1) != 0 ? sum.lane[l] : acc.lane[l];
        }
        return v;
    }
    static V align1(const V &lo, const V &hi) {
        V v;
        for (int k = 0; k < 7; k++) {
            v.lane[k] = lo.lane[k + 1];
        }
        v.lane[7] = hi.lane[0];
        return v;
    }
    static u64 lane1(const V &v) {
        return v.lane[1];
    }
};

}  // namespace

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
