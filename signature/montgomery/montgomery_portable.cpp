// The portable Montgomery kernel: each product formed and reduced column by column in
// three-limb accumulators (the "finely integrated product scanning" form of Koc, Acar and
// Kaliski, IEEE Micro 16(3), 1996), with the cross products of a squaring computed once
// and doubled, and the reduction in its own accumulator so that the two carry chains
// overlap. The sizes key generation uses (1024- and 2048-bit moduli) get a compile-time
// limb count.
#include <type_traits>

#include "montgomery_kernels.h"

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

constexpr int max_limbs = montgomery_max_limbs;

// The limb count is either an int or a std::integral_constant, so that the kernels below
// compile both to loops over any size and to fixed-size code for the common sizes.
template <typename Len>
int count(Len n) {
    return static_cast<int>(n);
}

// r = x - m if x (with the carry limb top above it) is at least m, else x. Both
// differences are computed and the result picked with a mask, so that no branch or
// address depends on x, which may be secret; the empty asm keeps the compiler from
// turning the mask back into a branch.
template <typename Len>
[[gnu::always_inline]] inline void subtract_if_needed(u64 *r, const u64 *x, u64 top, const u64 *m,
                                                      Len n) {
    u64 d[max_limbs];
    u64 borrow = 0;
    for (int i = 0; i < count(n); i++) {
        u128 t = static_cast<u128>(x[i]) - m[i] - borrow;
        d[i] = static_cast<u64>(t);
        borrow = static_cast<u64>(t >> 64) & 1;
    }
    // x >= m when the top limb is non-zero or the subtraction did not borrow.
    const u64 top_set = (top | (0 - top)) >> 63;
    u64 take_d = 0 - (top_set | (borrow ^ 1));
    asm("" : "+r"(take_d));
    for (int i = 0; i < count(n); i++) {
        r[i] = (d[i] & take_d) | (x[i] & ~take_d);
    }
}

// A three-limb accumulator for product scanning: every column of a product is summed
// in it, then its low limb is taken and the rest shifted down.
struct acc3 {
    u64 c0, c1, c2;
};

[[gnu::always_inline]] inline void mac(acc3 *s, u64 x, u64 y) {
    u128 p = static_cast<u128>(x) * y;
    u128 t = ((static_cast<u128>(s->c1) << 64) | s->c0) + p;
    s->c2 += t < p;
    s->c0 = static_cast<u64>(t);
    s->c1 = static_cast<u64>(t >> 64);
}

[[gnu::always_inline]] inline void add3(acc3 *s, const acc3 &x) {
    u128 t = ((static_cast<u128>(s->c1) << 64) | s->c0);
    u128 y = ((static_cast<u128>(x.c1) << 64) | x.c0);
    t += y;
    s->c2 += x.c2 + (t < y);
    s->c0 = static_cast<u64>(t);
    s->c1 = static_cast<u64>(t >> 64);
}

[[gnu::always_inline]] inline void shift3(acc3 *s) {
    s->c0 = s->c1;
    s->c1 = s->c2;
    s->c2 = 0;
}

// Column k of the reduction: the products q[j] m[k - j] already known, and for k < n the
// new quotient limb q[k] that clears the column's low limb. For k >= n the column's low
// limb is limb k - n of the result.
template <typename Len>
[[gnu::always_inline]] inline void reduce_column(acc3 *s, u64 *q, u64 *r, int k,
                                                 const montgomery_ctx *c, Len n) {
    const int lo = k < count(n) ? 0 : k - count(n) + 1;
    const int hi = k < count(n) ? k : count(n);
    acc3 t{0, 0, 0};  // a second carry chain, independent of the caller's products
    for (int j = lo; j < hi; j++) {
        mac(&t, q[j], c->m[k - j]);
    }
    add3(s, t);
    if (k < count(n)) {
        q[k] = s->c0 * c->m0inv;
        mac(s, q[k], c->m[0]);  // the low limb is now zero
    } else {
        r[k - count(n)] = s->c0;
    }
    shift3(s);
}

// r = a b R^-1 mod m, product and reduction interleaved column by column. r may be a or b.
template <typename Len>
void mul_columns(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c, Len n) {
    u64 q[max_limbs], out[max_limbs];
    acc3 s{0, 0, 0};
    for (int k = 0; k < 2 * count(n) - 1; k++) {
        const int lo = k < count(n) ? 0 : k - count(n) + 1;
        const int hi = k < count(n) ? k : count(n) - 1;
        for (int i = lo; i <= hi; i++) {
            mac(&s, a[i], b[k - i]);
        }
        reduce_column(&s, q, out, k, c, n);
    }
    out[count(n) - 1] = s.c0;
    subtract_if_needed(r, out, s.c1, c->m, n);  // the sum is below 2m
}

// r = a^2 R^-1 mod m: in each column the products a[i] a[k - i] with i < k - i are
// summed once and doubled, and the square on the diagonal added. r may be a.
template <typename Len>
void sqr_columns(u64 *r, const u64 *a, const montgomery_ctx *c, Len n) {
    u64 q[max_limbs], out[max_limbs];
    acc3 s{0, 0, 0};
    for (int k = 0; k < 2 * count(n) - 1; k++) {
        const int lo = k < count(n) ? 0 : k - count(n) + 1;
        acc3 d{0, 0, 0};
        for (int i = lo; i < k - i; i++) {
            mac(&d, a[i], a[k - i]);
        }
        d.c2 = d.c2 << 1 | d.c1 >> 63;
        d.c1 = d.c1 << 1 | d.c0 >> 63;
        d.c0 <<= 1;
        if (k % 2 == 0) {
            mac(&d, a[k / 2], a[k / 2]);
        }
        add3(&s, d);
        reduce_column(&s, q, out, k, c, n);
    }
    out[count(n) - 1] = s.c0;
    subtract_if_needed(r, out, s.c1, c->m, n);
}

// r = t R^-1 mod m for t < m R, given in 2n limbs, by the same column scanning.
void redc_columns(u64 *r, const u64 *t, const montgomery_ctx *c, int n) {
    u64 q[max_limbs], out[max_limbs];
    acc3 s{0, 0, 0};
    for (int k = 0; k < 2 * n - 1; k++) {
        add3(&s, acc3{t[k], 0, 0});
        reduce_column(&s, q, out, k, c, n);
    }
    add3(&s, acc3{t[2 * n - 1], 0, 0});
    out[n - 1] = s.c0;
    subtract_if_needed(r, out, s.c1, c->m, n);
}

using limbs16 = std::integral_constant<int, 16>;
using limbs32 = std::integral_constant<int, 32>;

}  // namespace

void montgomery_mul_portable(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c) {
    switch (c->n) {
        case 16:
            mul_columns(r, a, b, c, limbs16{});
            break;
        case 32:
            mul_columns(r, a, b, c, limbs32{});
            break;
        default:
            mul_columns(r, a, b, c, c->n);
    }
}

void montgomery_sqr_portable(u64 *r, const u64 *a, const montgomery_ctx *c) {
    switch (c->n) {
        case 16:
            sqr_columns(r, a, c, limbs16{});
            break;
        case 32:
            sqr_columns(r, a, c, limbs32{});
            break;
        default:
            sqr_columns(r, a, c, c->n);
    }
}

void montgomery_redc_portable(u64 *r, const u64 *t, const montgomery_ctx *c) {
    redc_columns(r, t, c, c->n);
}

void montgomery_subtract_if_needed(u64 *r, const u64 *a, u64 top, const u64 *m, int n) {
    subtract_if_needed(r, a, top, m, n);
}
