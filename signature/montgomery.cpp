// Montgomery multiplication on 64-bit limbs and a sliding-window exponentiation built on
// it. Products are formed in full (schoolbook, with the squaring's off-diagonal products
// computed once and doubled) and then reduced word by word (REDC, the "separated operand
// scanning" form of Koc, Acar and Kaliski, IEEE Micro 16(3), 1996). The sizes key
// generation uses (1024- and 2048-bit moduli) get kernels with a compile-time limb count.
#include "montgomery.h"

#include <bit>
#include <cstring>
#include <type_traits>

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

constexpr int max_limbs = montgomery_max_words / 2;

// The modulus m in n limbs, -m^-1 mod 2^64, and R^2 mod m for R = 2^(64 n).
struct modulus_ctx {
    int n;
    u64 m0inv;
    u64 m[max_limbs];
    u64 rr[max_limbs];
};

// Limbs of a bignum, zero-extended to n limbs; a has at most 2 n words.
void load(u64 *limbs, const bignum *a, int n) {
    for (int i = 0; i < n; i++) {
        u64 lo = 2 * i < a->size ? a->words[2 * i] : 0;
        u64 hi = 2 * i + 1 < a->size ? a->words[2 * i + 1] : 0;
        limbs[i] = lo | hi << 32;
    }
}

// result = the value of n limbs, normalised, with size 0 for zero.
void store(bignum *result, const u64 *limbs, int n) {
    std::uint32_t words[montgomery_max_words];
    std::int32_t size = 0;
    for (int i = 0; i < n; i++) {
        words[2 * i] = static_cast<std::uint32_t>(limbs[i]);
        words[2 * i + 1] = static_cast<std::uint32_t>(limbs[i] >> 32);
    }
    for (std::int32_t i = 2 * n; i > 0; i--) {
        if (words[i - 1] != 0) {
            size = i;
            break;
        }
    }
    bignum view{size, size, words};
    bignum_copy(&view, result);
}

// -m0^-1 mod 2^64 by Newton's iteration: m0 is its own inverse modulo 8, and every step
// doubles the number of correct low bits (3, 6, 12, 24, 48, 96).
u64 negated_inverse(u64 m0) {
    u64 inv = m0;
    for (int i = 0; i < 5; i++) {
        inv *= 2 - m0 * inv;
    }
    return 0 - inv;
}

// The limb count is either an int or a std::integral_constant, so that the kernels below
// compile both to loops over any size and to fixed-size code for the common sizes.
template <typename Len>
int count(Len n) {
    return static_cast<int>(n);
}

// r = x - m if x (with the carry word top above it) is at least m, else r = x.
template <typename Len>
void subtract_if_needed(u64 *r, const u64 *x, u64 top, const u64 *m, Len n) {
    u64 d[max_limbs];
    u64 borrow = 0;
    for (int i = 0; i < count(n); i++) {
        u128 t = static_cast<u128>(x[i]) - m[i] - borrow;
        d[i] = static_cast<u64>(t);
        borrow = static_cast<u64>(t >> 64) & 1;
    }
    const u64 *src = (top != 0 || borrow == 0) ? d : x;
    for (int i = 0; i < count(n); i++) {
        r[i] = src[i];
    }
}

// t[0 .. 2n-1] = a * b.
template <typename Len>
void mul_full(u64 *t, const u64 *a, const u64 *b, Len n) {
    u64 carry = 0;
    for (int j = 0; j < count(n); j++) {
        u128 p = static_cast<u128>(a[0]) * b[j] + carry;
        t[j] = static_cast<u64>(p);
        carry = static_cast<u64>(p >> 64);
    }
    t[count(n)] = carry;
    for (int i = 1; i < count(n); i++) {
        carry = 0;
        const u64 ai = a[i];
        for (int j = 0; j < count(n); j++) {
            u128 p = static_cast<u128>(ai) * b[j] + t[i + j] + carry;
            t[i + j] = static_cast<u64>(p);
            carry = static_cast<u64>(p >> 64);
        }
        t[i + count(n)] = carry;
    }
}

// t[0 .. 2n-1] = a * a: each product a[i] a[j] with i < j once, the sum doubled, then the
// squares a[i]^2 added on the diagonal.
template <typename Len>
void sqr_full(u64 *t, const u64 *a, Len n) {
    for (int k = 0; k < 2 * count(n); k++) {
        t[k] = 0;
    }
    for (int i = 0; i + 1 < count(n); i++) {
        u64 carry = 0;
        const u64 ai = a[i];
        for (int j = i + 1; j < count(n); j++) {
            u128 p = static_cast<u128>(ai) * a[j] + t[i + j] + carry;
            t[i + j] = static_cast<u64>(p);
            carry = static_cast<u64>(p >> 64);
        }
        t[i + count(n)] = carry;
    }
    u64 shifted_out = 0;
    for (int k = 0; k < 2 * count(n); k++) {
        u64 v = t[k];
        t[k] = v << 1 | shifted_out;
        shifted_out = v >> 63;
    }
    u64 carry = 0;
    for (int i = 0; i < count(n); i++) {
        u128 p = static_cast<u128>(a[i]) * a[i];
        u128 s = static_cast<u128>(t[2 * i]) + static_cast<u64>(p) + carry;
        t[2 * i] = static_cast<u64>(s);
        s = static_cast<u128>(t[2 * i + 1]) + static_cast<u64>(p >> 64) + (s >> 64);
        t[2 * i + 1] = static_cast<u64>(s);
        carry = static_cast<u64>(s >> 64);
    }
}

// r = t R^-1 mod m for t < m R, given in 2n limbs that are overwritten.
template <typename Len>
void redc(u64 *r, u64 *t, const modulus_ctx *c, Len n) {
    u64 top = 0;
    for (int i = 0; i < count(n); i++) {
        const u64 q = t[i] * c->m0inv;  // makes limb i of t + q m zero
        u64 carry = 0;
        for (int j = 0; j < count(n); j++) {
            u128 p = static_cast<u128>(q) * c->m[j] + t[i + j] + carry;
            t[i + j] = static_cast<u64>(p);
            carry = static_cast<u64>(p >> 64);
        }
        u128 s = static_cast<u128>(t[i + count(n)]) + carry + top;
        t[i + count(n)] = static_cast<u64>(s);
        top = static_cast<u64>(s >> 64);
    }
    // The sum is below 2m: one subtraction at most.
    subtract_if_needed(r, t + count(n), top, c->m, n);
}

// r = a b R^-1 mod m and r = a^2 R^-1 mod m; r may be a or b.
template <typename Len>
void mont_mul(u64 *r, const u64 *a, const u64 *b, const modulus_ctx *c, Len n) {
    u64 t[2 * max_limbs];
    mul_full(t, a, b, n);
    redc(r, t, c, n);
}

template <typename Len>
void mont_sqr(u64 *r, const u64 *a, const modulus_ctx *c, Len n) {
    u64 t[2 * max_limbs];
    sqr_full(t, a, n);
    redc(r, t, c, n);
}

// x = 2 x mod m, for x < m.
void double_mod(u64 *x, const modulus_ctx *c) {
    u64 out = 0;
    for (int i = 0; i < c->n; i++) {
        u64 v = x[i];
        x[i] = v << 1 | out;
        out = v >> 63;
    }
    subtract_if_needed(x, x, out, c->m, c->n);
}

// Loads an odd, normalised modulus of at most montgomery_max_words words and computes
// R^2 mod m: start from 2^(bits - 1) < m, double up to 2^(65 n) mod m = R 2^n mod m, then
// square six times in Montgomery form, each squaring taking R 2^a to R 2^(2a).
void setup(modulus_ctx *c, const bignum *modulus) {
    const int n = (modulus->size + 1) / 2;
    c->n = n;
    load(c->m, modulus, n);
    c->m0inv = negated_inverse(c->m[0]);
    const int bits = 64 * (n - 1) + std::bit_width(c->m[n - 1]);
    for (int i = 0; i < n; i++) {
        c->rr[i] = 0;
    }
    c->rr[(bits - 1) / 64] = u64{1} << ((bits - 1) % 64);
    for (int k = bits - 1; k < 65 * n; k++) {
        double_mod(c->rr, c);
    }
    for (int k = 0; k < 6; k++) {
        mont_sqr(c->rr, c->rr, c, n);
    }
}

int bit_length(const bignum *e) {
    for (std::int32_t i = e->size - 1; i >= 0; i--) {
        if (e->words[i] != 0) {
            return 32 * i + std::bit_width(e->words[i]);
        }
    }
    return 0;
}

int exponent_bit(const bignum *e, int i) {
    return static_cast<int>(e->words[i / 32] >> (i % 32) & 1);
}

// Window width for an exponent of the given bit length (the thresholds balance the table
// of 2^(w-1) odd powers against the multiplications saved).
int window_width(int bits) {
    return bits > 671 ? 6 : bits > 239 ? 5 : bits > 79 ? 4 : bits > 23 ? 3 : bits > 6 ? 2 : 1;
}

constexpr int max_table = 32;  // odd powers for the widest window

// acc = x^e in Montgomery form, for x in Montgomery form and e of at least one bit,
// scanning e from the top with windows that start and end on a set bit.
template <typename Len>
void pow_limbs(u64 *acc, const u64 *x, const bignum *e, const modulus_ctx *c, Len n) {
    u64 table[max_table][max_limbs];  // table[k] = x^(2k + 1)
    u64 x2[max_limbs];
    const int bits = bit_length(e);
    const int w = window_width(bits);
    std::memcpy(table[0], x, sizeof(u64) * count(n));
    if (w > 1) {
        mont_sqr(x2, x, c, n);
        for (int k = 1; k < 1 << (w - 1); k++) {
            mont_mul(table[k], table[k - 1], x2, c, n);
        }
    }
    bool first = true;
    for (int i = bits - 1; i >= 0;) {
        if (exponent_bit(e, i) == 0) {
            mont_sqr(acc, acc, c, n);
            i--;
            continue;
        }
        int low = i - w + 1 < 0 ? 0 : i - w + 1;
        while (exponent_bit(e, low) == 0) {
            low++;
        }
        int value = 0;
        for (int k = i; k >= low; k--) {
            value = value << 1 | exponent_bit(e, k);
        }
        if (first) {
            std::memcpy(acc, table[value >> 1], sizeof(u64) * count(n));
            first = false;
        } else {
            for (int k = i; k >= low; k--) {
                mont_sqr(acc, acc, c, n);
            }
            mont_mul(acc, acc, table[value >> 1], c, n);
        }
        i = low - 1;
    }
}

// result = base^e mod m for base < m, in n limbs.
template <typename Len>
void pow_mod_limbs(u64 *result, const u64 *base, const bignum *e, const modulus_ctx *c, Len n) {
    u64 x[max_limbs], acc[max_limbs], t[2 * max_limbs];
    mont_mul(x, base, c->rr, c, n);  // base R mod m
    pow_limbs(acc, x, e, c, n);
    std::memcpy(t, acc, sizeof(u64) * count(n));
    std::memset(t + count(n), 0, sizeof(u64) * count(n));
    redc(result, t, c, n);  // out of Montgomery form
}

using limbs16 = std::integral_constant<int, 16>;
using limbs32 = std::integral_constant<int, 32>;

}  // namespace

int montgomery_applies(const bignum *modulus) {
    return modulus->size >= 2 && modulus->size <= montgomery_max_words &&
           modulus->words[modulus->size - 1] != 0 && (modulus->words[0] & 1) != 0;
}

void montgomery_pow_mod(bignum *result, const bignum *base, const bignum *exponent,
                        const bignum *modulus) {
    modulus_ctx c;
    setup(&c, modulus);
    u64 b[max_limbs], r[max_limbs];
    if (bignum_isless(base, modulus)) {
        load(b, base, c.n);
    } else {
        bignum *reduced = bignum_alloc();
        bignum_mod(base, modulus, reduced);
        load(b, reduced, c.n);
        bignum_free(reduced);
    }
    switch (c.n) {
        case 16:
            pow_mod_limbs(r, b, exponent, &c, limbs16{});
            break;
        case 32:
            pow_mod_limbs(r, b, exponent, &c, limbs32{});
            break;
        default:
            pow_mod_limbs(r, b, exponent, &c, c.n);
    }
    store(result, r, c.n);
}

void montgomery_square_mod(bignum *x, const bignum *modulus) {
    modulus_ctx c;
    setup(&c, modulus);
    u64 a[max_limbs];
    load(a, x, c.n);
    mont_sqr(a, a, &c, c.n);        // x^2 R^-1
    mont_mul(a, a, c.rr, &c, c.n);  // x^2
    store(x, a, c.n);
}
