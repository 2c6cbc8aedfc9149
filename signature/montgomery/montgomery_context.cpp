// The modulus context: the modulus in limbs, -m^-1, R^2 mod m, the kernels chosen for it
// and, for the digit kernels, the same in radix 2^52; and the squaring modulo m that the
// Miller-Rabin trials use between exponentiations.
#include "montgomery.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "montgomery_dispatch.h"
#include "montgomery_ifma.h"
#include "montgomery_kernels.h"
#include "montgomery_limbs.h"

namespace {

using u64 = std::uint64_t;

constexpr int max_limbs = montgomery_max_limbs;

// -m0^-1 mod 2^64 by Newton's iteration: m0 is its own inverse modulo 8, and every step
// doubles the number of correct low bits (3, 6, 12, 24, 48, 96).
u64 negated_inverse(u64 m0) {
    u64 inv = m0;
    for (int i = 0; i < 5; i++) {
        inv *= 2 - m0 * inv;
    }
    return 0 - inv;
}

// x = 2 x mod m, for x < m.
void double_mod(u64 *x, const montgomery_ctx *c) {
    u64 out = 0;
    for (int i = 0; i < c->n; i++) {
        u64 v = x[i];
        x[i] = v << 1 | out;
        out = v >> 63;
    }
    montgomery_subtract_if_needed(x, x, out, c->m, c->n);
}

// x = 2^k mod m for k >= bits - 1: start from 2^(bits - 1) < m and double.
void power_of_two(u64 *x, int k, int bits, const montgomery_ctx *c) {
    for (int i = 0; i < c->n; i++) {
        x[i] = 0;
    }
    x[(bits - 1) / 64] = u64{1} << ((bits - 1) % 64);
    for (int i = bits - 1; i < k; i++) {
        double_mod(x, c);
    }
}

// The radix-2^52 part of the context: m in digits, -m^-1 mod 2^52, and
// 2^(104 digits) mod m, which is R 2^(104 digits - 64 n) mod m, a product of R^2 mod m
// and the power of two 2^(104 digits - 64 n) mod m. For both sizes that power is
// 2^(66 n) = R 2^(2n), which the computation of R^2 passed through (r2n); any other size
// would double up to it.
void setup_digits(montgomery_ctx *c, int bits, const u64 *r2n) {
    c->digits = montgomery_ifma_digits(c->n);
    c->k0 = c->m0inv & ((u64{1} << 52) - 1);
    montgomery_to_digits(c->md, c->m, c);
    u64 t[max_limbs];
    const int k = 104 * c->digits - 64 * c->n;
    if (k == 66 * c->n) {
        std::memcpy(t, r2n, sizeof(u64) * static_cast<std::size_t>(c->n));
    } else {
        power_of_two(t, k, bits, c);
    }
    montgomery_limb_mul(t, t, c->rr, c);
    montgomery_to_digits(c->rrd, t, c);
}

}  // namespace

int montgomery_applies(const bignum *modulus) {
    return modulus->size >= 2 && modulus->size <= montgomery_max_words &&
           modulus->words[modulus->size - 1] != 0 && (modulus->words[0] & 1) != 0;
}

// R^2 mod m: double 2^(bits - 1) up to 2^(65 n) mod m = R 2^n mod m, then square six
// times in Montgomery form, each squaring taking R 2^a to R 2^(2a); the first gives
// R 2^(2n), which the digit kernels' setup uses.
void montgomery_ctx_init(montgomery_ctx *c, const bignum *modulus) {
    const int n = (modulus->size + 1) / 2;
    c->n = n;
    montgomery_load_limbs(c->m, modulus, n);
    c->m0inv = negated_inverse(c->m[0]);
    montgomery_choose_kernels(c);
    const int bits = 64 * (n - 1) + std::bit_width(c->m[n - 1]);
    power_of_two(c->rr, 65 * n, bits, c);
    u64 r2n[max_limbs];
    for (int k = 0; k < 6; k++) {
        montgomery_limb_sqr(c->rr, c->rr, c);
        if (k == 0) {
            std::memcpy(r2n, c->rr, sizeof(u64) * static_cast<std::size_t>(n));
        }
    }
    c->digits = 0;
    if (c->kernel == montgomery_kernel::ifma || c->kernel == montgomery_kernel::ifma_emulated) {
        setup_digits(c, bits, r2n);
    }
}

void montgomery_ctx_square_mod(const montgomery_ctx *c, bignum *x) {
    u64 a[max_limbs];
    montgomery_load_limbs(a, x, c->n);
    montgomery_limb_sqr(a, a, c);         // x^2 R^-1
    montgomery_limb_mul(a, a, c->rr, c);  // x^2
    montgomery_store_limbs(x, a, c->n);
}

void montgomery_square_mod(bignum *x, const bignum *modulus) {
    montgomery_ctx c;
    montgomery_ctx_init(&c, modulus);
    montgomery_ctx_square_mod(&c, x);
}
