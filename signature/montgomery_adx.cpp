// The x86-64 Montgomery kernel for CPUs with BMI2 and ADX: rows of multiply-and-add in
// inline assembly that run two carry chains at once (mulx, adcx, adox; Intel, "New
// Instructions Supporting Large Integer Arithmetic", 2012), chosen at run time from CPUID.
// A product is n rows of a[i] b, a square the n - 1 rows of its cross products a[i] a[j]
// (i < j) doubled, with the squares a[i]^2 added in the same pass; the reduction is n rows
// of q m, each keeping its carry in the limb it cleared. Rows of 16 and 32 limbs, the
// sizes of 1024- and 2048-bit moduli, are straight-line code.
#include "montgomery_kernels.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

constexpr int max_limbs = montgomery_max_limbs;

}  // namespace

// CPUID leaf 7, EBX bits 8 (BMI2) and 19 (ADX). CPUID is slow (in a virtual machine it
// traps to the hypervisor), so it is asked once; the answer is a constant of the machine.
int montgomery_cpu_has_adx() {
#if defined(__x86_64__)
    static const int present = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b >> 8 & 1) != 0 &&
               (b >> 19 & 1) != 0;
    }();
    return present;
#else
    return 0;
#endif
}

#if defined(__x86_64__)

namespace {

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

// r = t R^-1 mod m for the 2n limbs of t (below m R): n reduction rows, each clearing
// limb i of t and keeping its carry there, then the carries added in one pass.
void reduce_rows(u64 *r, u64 *t, const montgomery_ctx *c) {
    const int n = c->n;
    for (int i = 0; i < n; i++) {
        t[i] = addmul_row(t + i, c->m, n, t[i] * c->m0inv);
    }
    u64 carry = 0;
    for (int i = 0; i < n; i++) {
        u128 s = static_cast<u128>(t[i + n]) + t[i] + carry;
        t[i + n] = static_cast<u64>(s);
        carry = static_cast<u64>(s >> 64);
    }
    montgomery_subtract_if_needed(r, t + n, carry, c->m, n);  // the sum is below 2m
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
    for (int i = 0; i < 2 * n; i++) {
        t[i] = 0;
    }
    for (int i = 0; i + 1 < n; i++) {
        t[i + n] = addmul_any(t + 2 * i + 1, a + i + 1, n - 1 - i, a[i]);
    }
    // Twice the cross products plus the squares: the doubling shifts each limb's top bit
    // into the next limb.
    u64 top_bit = 0, carry = 0;
    for (int i = 0; i < n; i++) {
        const u128 sq = static_cast<u128>(a[i]) * a[i];
        const u64 lo = t[2 * i], hi = t[2 * i + 1];
        u128 s = static_cast<u128>(lo << 1 | top_bit) + static_cast<u64>(sq) + carry;
        t[2 * i] = static_cast<u64>(s);
        s = static_cast<u128>(hi << 1 | lo >> 63) + static_cast<u64>(sq >> 64) + (s >> 64);
        t[2 * i + 1] = static_cast<u64>(s);
        carry = static_cast<u64>(s >> 64);
        top_bit = hi >> 63;
    }
    reduce_rows(r, t, c);
}

#else

void montgomery_mul_adx(u64 *, const u64 *, const u64 *, const montgomery_ctx *) {}
void montgomery_sqr_adx(u64 *, const u64 *, const montgomery_ctx *) {}

#endif
