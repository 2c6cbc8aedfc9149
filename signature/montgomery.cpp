// The modulus context, the choice of kernel, and the fixed-window exponentiation built
// on the kernels of montgomery_kernels.h and montgomery_ifma.h, constant time in the
// exponent: its branches and addresses depend on the exponent's word count only.
#include "montgomery.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "montgomery_ifma.h"
#include "montgomery_kernels.h"

namespace {

using u64 = std::uint64_t;

constexpr int max_limbs = montgomery_max_limbs;

// The kernel montgomery_force_kernel asked for; automatic when none was.
montgomery_kernel forced = montgomery_kernel::automatic;
// Set by montgomery_force_portable_limbs: no limb arithmetic on the ADX kernel.
bool portable_limbs = false;

// Limbs of a bignum, zero-extended to n limbs; a has at most 2 n words.
void load(u64 *limbs, const bignum *a, int n) {
    for (int i = 0; i < n; i++) {
        u64 lo = 2 * i < a->size ? a->words[2 * i] : 0;
        u64 hi = 2 * i + 1 < a->size ? a->words[2 * i + 1] : 0;
        limbs[i] = lo | hi << 32;
    }
}

// All ones if x is non-zero, else zero, computed without a comparison; the empty asm
// keeps the compiler from turning a select on the mask back into a branch.
u64 nonzero_mask(u64 x) {
    u64 mask = 0 - ((x | (0 - x)) >> 63);
    asm("" : "+r"(mask));
    return mask;
}

// result = the value of n limbs, normalised, with size 0 for zero. The limbs may be
// secret: the size is found with masks over every word, and all 2 n words are written
// whatever it is, so neither a branch nor an address depends on the value.
void store(bignum *result, const u64 *limbs, int n) {
    const std::int32_t words = 2 * n;
    // Capacity for every word: a zero-size record of that capacity, copied into result,
    // grows it if needed and copies no word.
    bignum room{0, words, nullptr};
    bignum_copy(&room, result);
    u64 size = 0;
    for (int i = 0; i < n; i++) {
        const u64 lo = limbs[i] & 0xFFFFFFFF, hi = limbs[i] >> 32;
        result->words[2 * i] = static_cast<std::uint32_t>(lo);
        result->words[2 * i + 1] = static_cast<std::uint32_t>(hi);
        // size becomes 2i + 1 if word 2i is non-zero, then 2i + 2 if word 2i + 1 is.
        u64 m = nonzero_mask(lo);
        size = (size & ~m) | (static_cast<u64>(2 * i + 1) & m);
        m = nonzero_mask(hi);
        size = (size & ~m) | (static_cast<u64>(2 * i + 2) & m);
    }
    result->size = static_cast<std::int32_t>(size);
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

// The products on 64-bit limbs, by the context's limb kernel.
void limb_mul(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c) {
    if (c->limb_kernel == montgomery_kernel::adx) {
        montgomery_mul_adx(r, a, b, c);
    } else {
        montgomery_mul_portable(r, a, b, c);
    }
}

void limb_sqr(u64 *r, const u64 *a, const montgomery_ctx *c) {
    if (c->limb_kernel == montgomery_kernel::adx) {
        montgomery_sqr_adx(r, a, c);
    } else {
        montgomery_sqr_portable(r, a, c);
    }
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

// The kernels this CPU runs for n limbs, when nothing is forced.
montgomery_kernel limb_kernel_for(int n) {
    return n % 4 == 0 && montgomery_cpu_has_adx() ? montgomery_kernel::adx
                                                  : montgomery_kernel::portable;
}

void choose_kernels(montgomery_ctx *c) {
    const int n = c->n;
    c->limb_kernel = forced == montgomery_kernel::portable || portable_limbs
                         ? montgomery_kernel::portable
                         : limb_kernel_for(n);
    c->kernel = c->limb_kernel;
    if (montgomery_ifma_digits(n) == 0) {
        return;
    }
    if (forced == montgomery_kernel::ifma_emulated) {
        c->kernel = montgomery_kernel::ifma_emulated;
    } else if ((forced == montgomery_kernel::ifma || forced == montgomery_kernel::automatic) &&
               montgomery_cpu_has_ifma()) {
        c->kernel = montgomery_kernel::ifma;
    }
}

// The radix-2^52 part of the context: m in digits, -m^-1 mod 2^52, and
// 2^(104 digits) mod m, which is R 2^(104 digits - 64 n) mod m, a product of R^2 mod m
// and a power of two in Montgomery form.
void setup_digits(montgomery_ctx *c, int bits) {
    c->digits = montgomery_ifma_digits(c->n);
    c->k0 = c->m0inv & ((u64{1} << 52) - 1);
    montgomery_to_digits(c->md, c->m, c);
    u64 t[max_limbs];
    power_of_two(t, 104 * c->digits - 64 * c->n, bits, c);
    limb_mul(t, t, c->rr, c);
    montgomery_to_digits(c->rrd, t, c);
}

// Window width for an exponent of `words` 32-bit words. Only the word count, which is
// public, decides it: the exponentiation costs 2^w - 2 products for the table and one
// product and one read of the whole table per window, for ceil(32 words / w) windows, so
// a one-word exponent (verify's 65537) gets a table of 8 and key-sized ones a table of 32.
int window_width(std::int32_t words) {
    const int bits = 32 * words;
    return bits > 512 ? 5 : bits > 128 ? 4 : 3;
}

constexpr int max_window = 5;
constexpr int max_table = 1 << max_window;
// Words of an entry of the table: limbs or padded digits, whichever is larger.
constexpr int max_width = max_limbs > montgomery_max_digits ? max_limbs : montgomery_max_digits;

// Bits pos .. pos + w - 1 of e, zero above its last word. The words read depend only on
// pos and the word count; the value is secret and only ever combined with masks.
u64 window_value(const bignum *e, int pos, int w) {
    const int k = pos / 32;
    u64 v = e->words[k];
    if (k + 1 < e->size) {
        v |= static_cast<u64>(e->words[k + 1]) << 32;
    }
    return v >> (pos % 32) & ((u64{1} << w) - 1);
}

// r = table[index] for a table of `entries` entries of `width` words each, reading every
// entry and keeping the one whose position equals index through a mask, so that neither
// an address nor a branch depends on index. The sum is kept in a local array, which the
// table cannot alias; the key sizes take select_fixed below.
void select_words(u64 *r, const u64 *table, int entries, int width, u64 index) {
    u64 acc[max_width] = {};
    for (int k = 0; k < entries; k++) {
        const u64 keep = ~nonzero_mask(static_cast<u64>(k) ^ index);
        const u64 *entry = table + static_cast<std::ptrdiff_t>(k) * width;
        for (int i = 0; i < width; i++) {
            acc[i] |= entry[i] & keep;
        }
    }
    std::memcpy(r, acc, sizeof(u64) * static_cast<std::size_t>(width));
}

// The same for the key sizes' widths, with the word loop unrolled whole: the sum then
// stays in registers (rolled, GCC keeps it on the stack, one store-to-load trip per word
// and entry, a tenth of a 1024-bit exponentiation on the ADX kernel).
template <int W>
void select_fixed(u64 *r, const u64 *table, int entries, u64 index) {
    u64 acc[W] = {};
    for (int k = 0; k < entries; k++) {
        const u64 keep = ~nonzero_mask(static_cast<u64>(k) ^ index);
        const u64 *entry = table + static_cast<std::ptrdiff_t>(k) * W;
#pragma GCC unroll 40
        for (int i = 0; i < W; i++) {
            acc[i] |= entry[i] & keep;
        }
    }
    std::memcpy(r, acc, sizeof(u64) * W);
}

void select_entry(u64 *r, const u64 *table, int entries, int width, u64 index) {
    switch (width) {
        case 16:
            select_fixed<16>(r, table, entries, index);
            break;
        case 24:
            select_fixed<24>(r, table, entries, index);
            break;
        case 32:
            select_fixed<32>(r, table, entries, index);
            break;
        case 40:
            select_fixed<40>(r, table, entries, index);
            break;
        default:
            select_words(r, table, entries, width, index);
    }
}

// The kernels as the exponentiation sees them: K::mul, K::sqr, K::select on width(c) words.
struct limb_kernels {
    static int width(const montgomery_ctx *c) {
        return c->n;
    }
    static void mul(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c) {
        limb_mul(r, a, b, c);
    }
    static void sqr(u64 *r, const u64 *a, const montgomery_ctx *c) {
        limb_sqr(r, a, c);
    }
    static void select(u64 *r, const u64 *table, int entries, int width, u64 index) {
        select_entry(r, table, entries, width, index);
    }
};

template <bool emulated>
struct digit_kernels {
    static int width(const montgomery_ctx *c) {
        return (c->digits + 7) / 8 * 8;
    }
    static void mul(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c) {
        if (emulated) {
            montgomery_mul_ifma_emulated(r, a, b, c);
        } else {
            montgomery_mul_ifma(r, a, b, c);
        }
    }
    static void sqr(u64 *r, const u64 *a, const montgomery_ctx *c) {
        if (emulated) {
            montgomery_sqr_ifma_emulated(r, a, c);
        } else {
            montgomery_sqr_ifma(r, a, c);
        }
    }
    // The real kernel selects on zmm registers with compare masks; the emulated path
    // uses the scalar masks above.
    static void select(u64 *r, const u64 *table, int entries, int width, u64 index) {
        if (emulated) {
            select_entry(r, table, entries, width, index);
        } else {
            montgomery_select_ifma(r, table, entries, width, index);
        }
    }
};

// acc = x^e in Montgomery form, for x and one (1 in Montgomery form) of width(c) words,
// in fixed windows of w bits from the top of e's last word: every bit up to the word
// count is processed, each window costs w squarings and one product (by one for a zero
// window), and the table is read whole for every window. Nothing but the word count
// steers a branch or an address.
template <typename K>
void pow_window(u64 *acc, const u64 *x, const u64 *one, const bignum *e,
                const montgomery_ctx *c) {
    u64 table[max_table * max_width];  // entry k = x^k, `width` words each
    u64 entry[max_width];
    const int width = K::width(c);
    const std::size_t bytes = sizeof(u64) * static_cast<std::size_t>(width);
    const int w = window_width(e->size);
    const int entries = 1 << w;
    std::memcpy(table, one, bytes);
    std::memcpy(table + width, x, bytes);
    for (int k = 2; k < entries; k++) {
        u64 *t = table + static_cast<std::ptrdiff_t>(k) * width;
        if (k % 2 == 0) {
            K::sqr(t, table + static_cast<std::ptrdiff_t>(k / 2) * width, c);
        } else {
            K::mul(t, table + static_cast<std::ptrdiff_t>(k - 1) * width, x, c);
        }
    }
    if (e->size == 0) {
        std::memcpy(acc, one, bytes);  // a zero exponent of no words
        return;
    }
    const int bits = 32 * e->size;
    // The top window holds what is left above the whole windows at the bottom.
    int pos = (bits - 1) / w * w;
    K::select(acc, table, entries, width, window_value(e, pos, bits - pos));
    while (pos > 0) {
        pos -= w;
        for (int k = 0; k < w; k++) {
            K::sqr(acc, acc, c);
        }
        K::select(entry, table, entries, width, window_value(e, pos, w));
        K::mul(acc, acc, entry, c);
    }
}

// result = base^e mod m for base < m, in n limbs, on 64-bit limbs.
void pow_limbs(u64 *result, const u64 *base, const bignum *e, const montgomery_ctx *c) {
    u64 x[max_limbs], acc[max_limbs], one[max_limbs] = {1}, t[2 * max_limbs];
    const int n = c->n;
    limb_mul(x, base, c->rr, c);    // base R mod m
    limb_mul(one, one, c->rr, c);   // R mod m
    pow_window<limb_kernels>(acc, x, one, e, c);
    std::memcpy(t, acc, sizeof(u64) * n);
    std::memset(t + n, 0, sizeof(u64) * n);
    montgomery_redc_portable(result, t, c);  // out of Montgomery form
}

// The same in radix 2^52: into digits and Montgomery form once, every product almost
// reduced (below 2m), then out of Montgomery form (a product with 1 gives at most m) and
// the one full reduction.
template <bool emulated>
void pow_digits(u64 *result, const u64 *base, const bignum *e, const montgomery_ctx *c) {
    using K = digit_kernels<emulated>;
    u64 x[montgomery_max_digits], acc[montgomery_max_digits], one[montgomery_max_digits] = {1},
        mont_one[montgomery_max_digits];
    montgomery_to_digits(x, base, c);
    K::mul(x, x, c->rrd, c);           // base R mod m, R = 2^(52 digits)
    K::mul(mont_one, one, c->rrd, c);  // R mod m
    pow_window<K>(acc, x, mont_one, e, c);
    K::mul(acc, acc, one, c);
    montgomery_from_digits(result, acc, c);
    montgomery_subtract_if_needed(result, result, 0, c->m, c->n);
}

// 1 if base (normalised or zero) is below m, and then b = its n limbs.
int reduced_below_modulus(u64 *b, const bignum *base, const montgomery_ctx *c) {
    if (base->size > 2 * c->n) {
        return 0;
    }
    load(b, base, c->n);
    for (int i = c->n - 1; i >= 0; i--) {
        if (b[i] != c->m[i]) {
            return b[i] < c->m[i];
        }
    }
    return 0;
}

}  // namespace

int montgomery_applies(const bignum *modulus) {
    return modulus->size >= 2 && modulus->size <= montgomery_max_words &&
           modulus->words[modulus->size - 1] != 0 && (modulus->words[0] & 1) != 0;
}

// R^2 mod m: double 2^(bits - 1) up to 2^(65 n) mod m = R 2^n mod m, then square six
// times in Montgomery form, each squaring taking R 2^a to R 2^(2a).
void montgomery_ctx_init(montgomery_ctx *c, const bignum *modulus) {
    const int n = (modulus->size + 1) / 2;
    c->n = n;
    load(c->m, modulus, n);
    c->m0inv = negated_inverse(c->m[0]);
    choose_kernels(c);
    const int bits = 64 * (n - 1) + std::bit_width(c->m[n - 1]);
    power_of_two(c->rr, 65 * n, bits, c);
    for (int k = 0; k < 6; k++) {
        limb_sqr(c->rr, c->rr, c);
    }
    c->digits = 0;
    if (c->kernel == montgomery_kernel::ifma || c->kernel == montgomery_kernel::ifma_emulated) {
        setup_digits(c, bits);
    }
}

void montgomery_ctx_pow_mod(const montgomery_ctx *c, bignum *result, const bignum *base,
                            const bignum *exponent) {
    u64 b[max_limbs], r[max_limbs];
    if (reduced_below_modulus(b, base, c) == 0) {
        bignum *m = bignum_alloc();
        bignum *reduced = bignum_alloc();
        store(m, c->m, c->n);
        bignum_mod(base, m, reduced);
        load(b, reduced, c->n);
        bignum_free(reduced);
        bignum_free(m);
    }
    switch (c->kernel) {
        case montgomery_kernel::ifma:
            pow_digits<false>(r, b, exponent, c);
            break;
        case montgomery_kernel::ifma_emulated:
            pow_digits<true>(r, b, exponent, c);
            break;
        default:
            pow_limbs(r, b, exponent, c);
    }
    store(result, r, c->n);
}

void montgomery_ctx_square_mod(const montgomery_ctx *c, bignum *x) {
    u64 a[max_limbs];
    load(a, x, c->n);
    limb_sqr(a, a, c);         // x^2 R^-1
    limb_mul(a, a, c->rr, c);  // x^2
    store(x, a, c->n);
}

void montgomery_pow_mod(bignum *result, const bignum *base, const bignum *exponent,
                        const bignum *modulus) {
    montgomery_ctx c;
    montgomery_ctx_init(&c, modulus);
    montgomery_ctx_pow_mod(&c, result, base, exponent);
}

void montgomery_square_mod(bignum *x, const bignum *modulus) {
    montgomery_ctx c;
    montgomery_ctx_init(&c, modulus);
    montgomery_ctx_square_mod(&c, x);
}

int montgomery_window_bits(std::int32_t exponent_words) {
    return window_width(exponent_words);
}

int montgomery_kernel_runs(montgomery_kernel k) {
    switch (k) {
        case montgomery_kernel::adx:
            return montgomery_cpu_has_adx();
        case montgomery_kernel::ifma:
            return montgomery_cpu_has_ifma();
        default:
            return 1;
    }
}

int montgomery_force_kernel(montgomery_kernel k) {
    if (montgomery_kernel_runs(k) == 0) {
        return 0;
    }
    forced = k;
    return 1;
}

void montgomery_force_portable_limbs(int on) {
    portable_limbs = on != 0;
}
