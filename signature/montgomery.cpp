// Montgomery multiplication on 64-bit limbs and a sliding-window exponentiation built on
// it. Two forms of the kernel:
//  - portable: each product formed and reduced column by column in three-limb
//    accumulators (the "finely integrated product scanning" form of Koc, Acar and
//    Kaliski, IEEE Micro 16(3), 1996), with the cross products of a squaring computed once
//    and doubled, and the reduction in its own accumulator so that the two carry chains
//    overlap. The sizes key generation uses (1024- and 2048-bit moduli) get a compile-time
//    limb count.
//  - x86-64 with BMI2 and ADX, for limb counts that are multiples of 4: rows of
//    multiply-and-add in inline assembly that run two carry chains at once (mulx, adcx,
//    adox; Intel, "New Instructions Supporting Large Integer Arithmetic", 2012), chosen at
//    run time from CPUID.
#include "montgomery.h"

#include <bit>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

constexpr int max_limbs = montgomery_max_words / 2;

// The modulus m in n limbs, -m^-1 mod 2^64, and R^2 mod m for R = 2^(64 n).
struct modulus_ctx {
    int n;
    u64 m0inv;
    bool rows;  // use the x86-64 row kernels (BMI2 and ADX present, n a multiple of 4)
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

// 1 if the CPU has mulx (BMI2) and adcx/adox (ADX): CPUID leaf 7, EBX bits 8 and 19.
// CPUID is slow (in a virtual machine it traps to the hypervisor), so it is asked once;
// the answer is a constant of the machine.
bool has_adx() {
#if defined(__x86_64__)
    static const bool present = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b >> 8 & 1) != 0 &&
               (b >> 19 & 1) != 0;
    }();
    return present;
#else
    return false;
#endif
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
[[gnu::always_inline]] inline void subtract_if_needed(u64 *r, const u64 *x, u64 top, const u64 *m,
                                                      Len n) {
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
                                                 const modulus_ctx *c, Len n) {
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

// r = a b R^-1 mod m, product and reduction interleaved column by column (the "finely
// integrated product scanning" form). r may be a or b.
template <typename Len>
void mont_mul_columns(u64 *r, const u64 *a, const u64 *b, const modulus_ctx *c, Len n) {
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
void mont_sqr_columns(u64 *r, const u64 *a, const modulus_ctx *c, Len n) {
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

#if defined(__x86_64__)
// rp[0 .. n-1] += up[0 .. n-1] * v and returns the carry limb, for n a multiple of 4, with
// two carry chains: adcx adds the old limbs through CF, adox the high halves of the
// previous products through OF. Needs BMI2 (mulx) and ADX.
u64 addmul_adx(u64 *rp, const u64 *up, long n, u64 v) {
    long i = -n;
    u64 h0, h1, l0, l1;
    rp += n;
    up += n;
    asm volatile(
        "xor %k[h1], %k[h1]\n\t"
        "1:\n\t"
        "mulx (%[up],%[i],8), %[l0], %[h0]\n\t"
        "adcx (%[rp],%[i],8), %[l0]\n\t"
        "adox %[h1], %[l0]\n\t"
        "mov %[l0], (%[rp],%[i],8)\n\t"
        "mulx 8(%[up],%[i],8), %[l1], %[h1]\n\t"
        "adcx 8(%[rp],%[i],8), %[l1]\n\t"
        "adox %[h0], %[l1]\n\t"
        "mov %[l1], 8(%[rp],%[i],8)\n\t"
        "mulx 16(%[up],%[i],8), %[l0], %[h0]\n\t"
        "adcx 16(%[rp],%[i],8), %[l0]\n\t"
        "adox %[h1], %[l0]\n\t"
        "mov %[l0], 16(%[rp],%[i],8)\n\t"
        "mulx 24(%[up],%[i],8), %[l1], %[h1]\n\t"
        "adcx 24(%[rp],%[i],8), %[l1]\n\t"
        "adox %[h0], %[l1]\n\t"
        "mov %[l1], 24(%[rp],%[i],8)\n\t"
        "lea 4(%[i]), %[i]\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "mov $0, %k[l0]\n\t"
        "adcx %[l0], %[h1]\n\t"
        "adox %[l0], %[h1]\n\t"
        : [i] "+c"(i), [h0] "=&r"(h0), [h1] "=&r"(h1), [l0] "=&r"(l0), [l1] "=&r"(l1)
        : [up] "r"(up), [rp] "r"(rp), "d"(v)
        : "cc", "memory");
    return h1;
}

// r = a b R^-1 mod m by rows: n rows of the product, then n rows of the reduction, each
// keeping its carry in the limb it cleared; the carries are added in at the end.
void mont_mul_rows(u64 *r, const u64 *a, const u64 *b, const modulus_ctx *c, int n) {
    u64 t[2 * max_limbs];
    for (int i = 0; i < n; i++) {
        t[i] = 0;
    }
    for (int i = 0; i < n; i++) {
        t[i + n] = addmul_adx(t + i, b, n, a[i]);
    }
    for (int i = 0; i < n; i++) {
        t[i] = addmul_adx(t + i, c->m, n, t[i] * c->m0inv);
    }
    u64 carry = 0;
    for (int i = 0; i < n; i++) {
        u128 s = static_cast<u128>(t[i + n]) + t[i] + carry;
        t[i + n] = static_cast<u64>(s);
        carry = static_cast<u64>(s >> 64);
    }
    subtract_if_needed(r, t + n, carry, c->m, n);
}
#endif

// The kernels the exponentiation uses: the row form where the CPU and the size allow it
// (a squaring is then a product of a with itself), the column form otherwise.
template <typename Len>
void mont_mul(u64 *r, const u64 *a, const u64 *b, const modulus_ctx *c, Len n) {
#if defined(__x86_64__)
    if (c->rows) {
        mont_mul_rows(r, a, b, c, count(n));
        return;
    }
#endif
    mont_mul_columns(r, a, b, c, n);
}

template <typename Len>
void mont_sqr(u64 *r, const u64 *a, const modulus_ctx *c, Len n) {
#if defined(__x86_64__)
    if (c->rows) {
        mont_mul_rows(r, a, a, c, count(n));
        return;
    }
#endif
    mont_sqr_columns(r, a, c, n);
}

// r = t R^-1 mod m for t < m R, given in 2n limbs, by the same column scanning.
template <typename Len>
void redc(u64 *r, const u64 *t, const modulus_ctx *c, Len n) {
    u64 q[max_limbs], out[max_limbs];
    acc3 s{0, 0, 0};
    for (int k = 0; k < 2 * count(n) - 1; k++) {
        add3(&s, acc3{t[k], 0, 0});
        reduce_column(&s, q, out, k, c, n);
    }
    add3(&s, acc3{t[2 * count(n) - 1], 0, 0});
    out[count(n) - 1] = s.c0;
    subtract_if_needed(r, out, s.c1, c->m, n);
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
    c->rows = n % 4 == 0 && has_adx();
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
