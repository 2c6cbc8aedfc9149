// The x86-64 Montgomery kernel for CPUs with BMI2 and ADX: rows of multiply-and-add in
// inline assembly that run two carry chains at once (mulx, adcx, adox; Intel, "New
// Instructions Supporting Large Integer Arithmetic", 2012), chosen at run time from CPUID.
// A product is n rows of a[i] b, a square the n - 1 rows of its cross products a[i] a[j]
// (i < j) doubled, with the squares a[i]^2 added in the same pass; the reduction is n rows
// of q m, each keeping its carry in the limb it cleared. Rows of 16 and 32 limbs, the
// sizes of 1024- and 2048-bit moduli, are straight-line code.
#include "montgomery_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using u64 = std::uint64_t;

#if defined(__x86_64__)

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr int max_limbs = montgomery_max_limbs;

// One limb of a row: l = up[k] v + rp[k] + (high half of the previous product), through
// CF (adcx, the old limb) and OF (adox, the previous high half). h0/h1 alternate as the
// high half just made and the one to add.
#define ADX_LIMB(off, lo, hnew, hold)                  \
    "mulx " #off "(%[up]), %[" lo "], %[" hnew "]\n\t" \
    "adcx " #off "(%[rp]), %[" lo "]\n\t"              \
    "adox %[" hold "], %[" lo "]\n\t"                  \
    "mov %[" lo "], " #off "(%[rp])\n\t"
#define ADX_FOUR(o0, o1, o2, o3)                                           \
    ADX_LIMB(o0, "l0", "h0", "h1") ADX_LIMB(o1, "l1", "h1", "h0")         \
        ADX_LIMB(o2, "l0", "h0", "h1") ADX_LIMB(o3, "l1", "h1", "h0")
#define ADX_SIXTEEN(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p) \
    ADX_FOUR(a, b, c, d) ADX_FOUR(e, f, g, h) ADX_FOUR(i, j, k, l) ADX_FOUR(m, n, o, p)
// The last high half and the two chains' carries, added into the returned limb.
#define ADX_END                 \
    "mov $0, %k[l0]\n\t"        \
    "adcx %[l0], %[h1]\n\t"     \
    "adox %[l0], %[h1]\n\t"

// Limb p of a 32-limb row (offset 8 p); the parity of p fixes which high-half register it
// makes and which it adds. ADX_Tk is the row's last k limbs.
#define ADX_P0 ADX_LIMB(0, "l0", "h0", "h1")
#define ADX_P1 ADX_LIMB(8, "l1", "h1", "h0")
#define ADX_P2 ADX_LIMB(16, "l0", "h0", "h1")
#define ADX_P3 ADX_LIMB(24, "l1", "h1", "h0")
#define ADX_P4 ADX_LIMB(32, "l0", "h0", "h1")
#define ADX_P5 ADX_LIMB(40, "l1", "h1", "h0")
#define ADX_P6 ADX_LIMB(48, "l0", "h0", "h1")
#define ADX_P7 ADX_LIMB(56, "l1", "h1", "h0")
#define ADX_P8 ADX_LIMB(64, "l0", "h0", "h1")
#define ADX_P9 ADX_LIMB(72, "l1", "h1", "h0")
#define ADX_P10 ADX_LIMB(80, "l0", "h0", "h1")
#define ADX_P11 ADX_LIMB(88, "l1", "h1", "h0")
#define ADX_P12 ADX_LIMB(96, "l0", "h0", "h1")
#define ADX_P13 ADX_LIMB(104, "l1", "h1", "h0")
#define ADX_P14 ADX_LIMB(112, "l0", "h0", "h1")
#define ADX_P15 ADX_LIMB(120, "l1", "h1", "h0")
#define ADX_P16 ADX_LIMB(128, "l0", "h0", "h1")
#define ADX_P17 ADX_LIMB(136, "l1", "h1", "h0")
#define ADX_P18 ADX_LIMB(144, "l0", "h0", "h1")
#define ADX_P19 ADX_LIMB(152, "l1", "h1", "h0")
#define ADX_P20 ADX_LIMB(160, "l0", "h0", "h1")
#define ADX_P21 ADX_LIMB(168, "l1", "h1", "h0")
#define ADX_P22 ADX_LIMB(176, "l0", "h0", "h1")
#define ADX_P23 ADX_LIMB(184, "l1", "h1", "h0")
#define ADX_P24 ADX_LIMB(192, "l0", "h0", "h1")
#define ADX_P25 ADX_LIMB(200, "l1", "h1", "h0")
#define ADX_P26 ADX_LIMB(208, "l0", "h0", "h1")
#define ADX_P27 ADX_LIMB(216, "l1", "h1", "h0")
#define ADX_P28 ADX_LIMB(224, "l0", "h0", "h1")
#define ADX_P29 ADX_LIMB(232, "l1", "h1", "h0")
#define ADX_P30 ADX_LIMB(240, "l0", "h0", "h1")
#define ADX_P31 ADX_LIMB(248, "l1", "h1", "h0")
#define ADX_T1 ADX_P31
#define ADX_T2 ADX_P30 ADX_T1
#define ADX_T3 ADX_P29 ADX_T2
#define ADX_T4 ADX_P28 ADX_T3
#define ADX_T5 ADX_P27 ADX_T4
#define ADX_T6 ADX_P26 ADX_T5
#define ADX_T7 ADX_P25 ADX_T6
#define ADX_T8 ADX_P24 ADX_T7
#define ADX_T9 ADX_P23 ADX_T8
#define ADX_T10 ADX_P22 ADX_T9
#define ADX_T11 ADX_P21 ADX_T10
#define ADX_T12 ADX_P20 ADX_T11
#define ADX_T13 ADX_P19 ADX_T12
#define ADX_T14 ADX_P18 ADX_T13
#define ADX_T15 ADX_P17 ADX_T14
#define ADX_T16 ADX_P16 ADX_T15
#define ADX_T17 ADX_P15 ADX_T16
#define ADX_T18 ADX_P14 ADX_T17
#define ADX_T19 ADX_P13 ADX_T18
#define ADX_T20 ADX_P12 ADX_T19
#define ADX_T21 ADX_P11 ADX_T20
#define ADX_T22 ADX_P10 ADX_T21
#define ADX_T23 ADX_P9 ADX_T22
#define ADX_T24 ADX_P8 ADX_T23
#define ADX_T25 ADX_P7 ADX_T24
#define ADX_T26 ADX_P6 ADX_T25
#define ADX_T27 ADX_P5 ADX_T26
#define ADX_T28 ADX_P4 ADX_T27
#define ADX_T29 ADX_P3 ADX_T28
#define ADX_T30 ADX_P2 ADX_T29
#define ADX_T31 ADX_P1 ADX_T30

// rp[0 .. 15] += up[0 .. 15] v + carry; returns the carry limb.
inline u64 addmul16(u64 *rp, const u64 *up, u64 v, u64 carry) {
    u64 h0, h1 = carry, l0, l1;
    asm volatile("xor %k[l0], %k[l0]\n\t" ADX_SIXTEEN(
                     0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104, 112, 120) ADX_END
                 : [h0] "=&r"(h0), [h1] "+&r"(h1), [l0] "=&r"(l0), [l1] "=&r"(l1)
                 : [up] "r"(up), [rp] "r"(rp), "d"(v)
                 : "cc", "memory");
    return h1;
}

// rp[0 .. 31] += up[0 .. 31] v + carry; returns the carry limb.
inline u64 addmul32(u64 *rp, const u64 *up, u64 v, u64 carry) {
    u64 h0, h1 = carry, l0, l1;
    asm volatile("xor %k[l0], %k[l0]\n\t" ADX_SIXTEEN(
                     0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104, 112, 120)
                     ADX_SIXTEEN(128, 136, 144, 152, 160, 168, 176, 184, 192, 200, 208, 216,
                                 224, 232, 240, 248) ADX_END
                 : [h0] "=&r"(h0), [h1] "+&r"(h1), [l0] "=&r"(l0), [l1] "=&r"(l1)
                 : [up] "r"(up), [rp] "r"(rp), "d"(v)
                 : "cc", "memory");
    return h1;
}

// rp[0 .. n-1] += up[0 .. n-1] v + carry for n a positive multiple of 4; returns the
// carry limb. The loop form of the two above.
u64 addmul_loop(u64 *rp, const u64 *up, long n, u64 v, u64 carry) {
    long i = -n;
    u64 h0, h1 = carry, l0, l1;
    rp += n;
    up += n;
    asm volatile(
        "xor %k[l0], %k[l0]\n\t"
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
        "2:\n\t" ADX_END
        : [i] "+c"(i), [h0] "=&r"(h0), [h1] "+&r"(h1), [l0] "=&r"(l0), [l1] "=&r"(l1)
        : [up] "r"(up), [rp] "r"(rp), "d"(v)
        : "cc", "memory");
    return h1;
}

// The cross products of a square of 16 or 32 limbs in one straight run: row i adds
// a[i] a[i+1 .. n-1] at limb 2i + 1 and stores its carry limb at i + n. Row i is the last
// n - 1 - i limbs of a 32-limb row whose base rp (the limb 32 before the row's end,
// t + i + n - 32) moves up one limb per row, and whose multiplicands all start from the
// same base (a + n - 32); its carry limb goes to rp + 32.
#define ADX_ROW(aoff, tail)                          \
    "mov " #aoff "(%[a]), %%rdx\n\t"                 \
    "xor %k[h0], %k[h0]\n\t"                         \
    "xor %k[h1], %k[h1]\n\t" tail ADX_END             \
    "mov %[h1], 256(%[rp])\n\t"                      \
    "lea 8(%[rp]), %[rp]\n\t"
#define ADX_TRIANGLE16 \
    ADX_ROW(0, ADX_T15) ADX_ROW(8, ADX_T14) ADX_ROW(16, ADX_T13) ADX_ROW(24, ADX_T12) \
    ADX_ROW(32, ADX_T11) ADX_ROW(40, ADX_T10) ADX_ROW(48, ADX_T9) ADX_ROW(56, ADX_T8) \
    ADX_ROW(64, ADX_T7) ADX_ROW(72, ADX_T6) ADX_ROW(80, ADX_T5) ADX_ROW(88, ADX_T4) \
    ADX_ROW(96, ADX_T3) ADX_ROW(104, ADX_T2) ADX_ROW(112, ADX_T1)
#define ADX_TRIANGLE32 \
    ADX_ROW(0, ADX_T31) ADX_ROW(8, ADX_T30) ADX_ROW(16, ADX_T29) ADX_ROW(24, ADX_T28) \
    ADX_ROW(32, ADX_T27) ADX_ROW(40, ADX_T26) ADX_ROW(48, ADX_T25) ADX_ROW(56, ADX_T24) \
    ADX_ROW(64, ADX_T23) ADX_ROW(72, ADX_T22) ADX_ROW(80, ADX_T21) ADX_ROW(88, ADX_T20) \
    ADX_ROW(96, ADX_T19) ADX_ROW(104, ADX_T18) ADX_ROW(112, ADX_T17) ADX_ROW(120, ADX_T16) \
    ADX_ROW(128, ADX_T15) ADX_ROW(136, ADX_T14) ADX_ROW(144, ADX_T13) ADX_ROW(152, ADX_T12) \
    ADX_ROW(160, ADX_T11) ADX_ROW(168, ADX_T10) ADX_ROW(176, ADX_T9) ADX_ROW(184, ADX_T8) \
    ADX_ROW(192, ADX_T7) ADX_ROW(200, ADX_T6) ADX_ROW(208, ADX_T5) ADX_ROW(216, ADX_T4) \
    ADX_ROW(224, ADX_T3) ADX_ROW(232, ADX_T2) ADX_ROW(240, ADX_T1)

void cross_products16(u64 *t, const u64 *a) {
    std::uintptr_t rp = reinterpret_cast<std::uintptr_t>(t) - 8 * 16;
    const std::uintptr_t up = reinterpret_cast<std::uintptr_t>(a) - 8 * 16;
    u64 h0, h1, l0, l1;
    asm volatile(ADX_TRIANGLE16
                 : [rp] "+r"(rp), [h0] "=&r"(h0), [h1] "=&r"(h1), [l0] "=&r"(l0), [l1] "=&r"(l1)
                 : [up] "r"(up), [a] "r"(a)
                 : "rdx", "cc", "memory");
}

void cross_products32(u64 *t, const u64 *a) {
    std::uintptr_t rp = reinterpret_cast<std::uintptr_t>(t);
    u64 h0, h1, l0, l1;
    asm volatile(ADX_TRIANGLE32
                 : [rp] "+r"(rp), [h0] "=&r"(h0), [h1] "=&r"(h1), [l0] "=&r"(l0), [l1] "=&r"(l1)
                 : [up] "r"(a), [a] "r"(a)
                 : "rdx", "cc", "memory");
}

// The reduction's n rows of 16 or 32 limbs in one loop: row i adds q m at limb i, where
// q = t[i] m0inv makes limb i zero, and keeps its carry limb in limb i. The next row's q
// comes from limb i + 1 as this row leaves it in a register (mov leaves the flags alone;
// the imul, which does not, waits until the row's carry chains have ended), so the path
// from one q to the next has no store and reload in it.
#define ADX_REDC_ROW(limbs0_1, limbs_rest)  \
    "1:\n\t"                                \
    "mov %[q], %%rdx\n\t"                   \
    "xor %k[h0], %k[h0]\n\t"                \
    "xor %k[h1], %k[h1]\n\t" limbs0_1        \
    "mov %[l1], %[q]\n\t" limbs_rest ADX_END \
    "mov %[h1], (%[rp])\n\t"                \
    "imul %[inv], %[q]\n\t"                 \
    "lea 8(%[rp]), %[rp]\n\t"               \
    "dec %k[rows]\n\t"                      \
    "jnz 1b\n\t"

void reduce16_rows(u64 *t, const u64 *m, u64 m0inv) {
    u64 q = t[0] * m0inv, h0, h1, l0, l1;
    int rows = 16;
    asm volatile(ADX_REDC_ROW(ADX_P0 ADX_P1, ADX_P2 ADX_P3 ADX_P4 ADX_P5 ADX_P6 ADX_P7 ADX_P8
                                                 ADX_P9 ADX_P10 ADX_P11 ADX_P12 ADX_P13 ADX_P14
                                                     ADX_P15)
                 : [rp] "+r"(t), [q] "+r"(q), [rows] "+r"(rows), [h0] "=&r"(h0), [h1] "=&r"(h1),
                   [l0] "=&r"(l0), [l1] "=&r"(l1)
                 : [up] "r"(m), [inv] "r"(m0inv)
                 : "rdx", "cc", "memory");
}

void reduce32_rows(u64 *t, const u64 *m, u64 m0inv) {
    u64 q = t[0] * m0inv, h0, h1, l0, l1;
    int rows = 32;
    asm volatile(ADX_REDC_ROW(ADX_P0 ADX_P1, ADX_T30)
                 : [rp] "+r"(t), [q] "+r"(q), [rows] "+r"(rows), [h0] "=&r"(h0), [h1] "=&r"(h1),
                   [l0] "=&r"(l0), [l1] "=&r"(l1)
                 : [up] "r"(m), [inv] "r"(m0inv)
                 : "rdx", "cc", "memory");
}

#undef ADX_REDC_ROW
#undef ADX_LIMB
#undef ADX_FOUR
#undef ADX_SIXTEEN
#undef ADX_END

// rp[0 .. len-1] += up[0 .. len-1] v for any len >= 0; returns the carry limb. The first
// len mod 4 limbs in C++, the rest by the row code.
u64 addmul_any(u64 *rp, const u64 *up, int len, u64 v) {
    u64 carry = 0;
    const int head = len % 4;
    for (int k = 0; k < head; k++) {
        u128 s = static_cast<u128>(up[k]) * v + rp[k] + carry;
        rp[k] = static_cast<u64>(s);
        carry = static_cast<u64>(s >> 64);
    }
    return len > head ? addmul_loop(rp + head, up + head, len - head, v, carry) : carry;
}

// rp[0 .. n-1] += up[0 .. n-1] v, n a multiple of 4; returns the carry limb.
inline u64 addmul_row(u64 *rp, const u64 *up, int n, u64 v) {
    if (n == 16) {
        return addmul16(rp, up, v, 0);
    }
    if (n == 32) {
        return addmul32(rp, up, v, 0);
    }
    return addmul_loop(rp, up, n, v, 0);
}

// r = t[n .. 2n-1] plus the carry limbs t[0 .. n-1] (each one limb up from the row that
// left it there), less m if that sum is at least m. N is the limb count when it is known
// at compile time (the loops are then straight code), else 0 and n gives it.
template <int N>
[[gnu::always_inline]] inline void add_carries_reduce(u64 *r, const u64 *t, const u64 *m,
                                                      int n_any) {
    const int n = N > 0 ? N : n_any;
    unsigned long long s[max_limbs], d[max_limbs];
    unsigned char carry = 0, borrow = 0;
#pragma GCC unroll 32
    for (int i = 0; i < n; i++) {
        carry = _addcarry_u64(carry, t[i + n], t[i], &s[i]);
    }
#pragma GCC unroll 32
    for (int i = 0; i < n; i++) {
        borrow = _subborrow_u64(borrow, s[i], m[i], &d[i]);
    }
    // The sum is below 2m: it is below m when it has no carry out and m - 1 borrows. The
    // mask comes from the two flag bits by arithmetic, and the empty asm keeps the compiler
    // from turning it into a branch: the sum may be secret.
    u64 keep = 0 - (static_cast<u64>(borrow) & (static_cast<u64>(carry) ^ 1));
    asm("" : "+r"(keep));
#pragma GCC unroll 32
    for (int i = 0; i < n; i++) {
        r[i] = (s[i] & keep) | (d[i] & ~keep);
    }
}

// r = t R^-1 mod m for the 2n limbs of t (below m R): n reduction rows, each clearing
// limb i of t and keeping its carry there, then the carries added in one pass.
void reduce_rows(u64 *r, u64 *t, const montgomery_ctx *c) {
    const int n = c->n;
    if (n == 16) {
        reduce16_rows(t, c->m, c->m0inv);
        add_carries_reduce<16>(r, t, c->m, n);
    } else if (n == 32) {
        reduce32_rows(t, c->m, c->m0inv);
        add_carries_reduce<32>(r, t, c->m, n);
    } else {
        for (int i = 0; i < n; i++) {
            t[i] = addmul_row(t + i, c->m, n, t[i] * c->m0inv);
        }
        add_carries_reduce<0>(r, t, c->m, n);
    }
}

// t[0 .. 2n-1] = 2 t + the squares a[i]^2 at limb 2i: adcx doubles each limb with the bit
// shifted out of the one below (t + t + CF), adox adds the square's halves.
void double_add_squares(u64 *t, const u64 *a, long n) {
    long i = -n;
    u64 lo, hi, x;
    a += n;
    asm volatile(
        "xor %k[x], %k[x]\n\t"
        "1:\n\t"
        "mov (%[a],%[i],8), %%rdx\n\t"
        "mulx %%rdx, %[lo], %[hi]\n\t"
        "mov (%[t]), %[x]\n\t"
        "adcx %[x], %[x]\n\t"
        "adox %[lo], %[x]\n\t"
        "mov %[x], (%[t])\n\t"
        "mov 8(%[t]), %[x]\n\t"
        "adcx %[x], %[x]\n\t"
        "adox %[hi], %[x]\n\t"
        "mov %[x], 8(%[t])\n\t"
        "lea 16(%[t]), %[t]\n\t"
        "lea 1(%[i]), %[i]\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        : [i] "+c"(i), [t] "+r"(t), [lo] "=&r"(lo), [hi] "=&r"(hi), [x] "=&r"(x)
        : [a] "r"(a)
        : "rdx", "cc", "memory");
}

}  // namespace

void montgomery_mul_adx(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c) {
    const int n = c->n;
    u64 t[2 * max_limbs];
    for (int i = 0; i < n; i++) {
        t[i] = 0;
    }
    for (int i = 0; i < n; i++) {
        t[i + n] = addmul_row(t + i, b, n, a[i]);
    }
    reduce_rows(r, t, c);
}

void montgomery_sqr_adx(u64 *r, const u64 *a, const montgomery_ctx *c) {
    const int n = c->n;
    u64 t[2 * max_limbs];
    // The cross products: row i adds a[i] a[i+1 .. n-1] at limb 2i + 1.
    for (int i = 0; i < n; i++) {  // the rows write the rest before reading it
        t[i] = 0;
    }
    t[2 * n - 1] = 0;
    if (n == 16) {
        cross_products16(t, a);
    } else if (n == 32) {
        cross_products32(t, a);
    } else {
        for (int i = 0; i + 1 < n; i++) {
            t[i + n] = addmul_any(t + 2 * i + 1, a + i + 1, n - 1 - i, a[i]);
        }
    }
    double_add_squares(t, a, n);  // the square is below 2^(128 n): no carry out
    reduce_rows(r, t, c);
}

#else

void montgomery_mul_adx(u64 *, const u64 *, const u64 *, const montgomery_ctx *) {}
void montgomery_sqr_adx(u64 *, const u64 *, const montgomery_ctx *) {}

#endif
