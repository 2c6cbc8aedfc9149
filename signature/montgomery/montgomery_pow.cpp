// The fixed-window exponentiation built on the kernels of montgomery_kernels.h and the
// digit kernels of montgomery_dispatch.h, constant time in the exponent: its branches and
// addresses depend on the exponent's word count only. The table of powers is read whole
// for every window, and the entry kept through masks.
#include "montgomery.h"

#include <cstddef>
#include <cstring>

#include "montgomery_dispatch.h"
#include "montgomery_ifma.h"
#include "montgomery_kernels.h"
#include "montgomery_limbs.h"

namespace {

using u64 = std::uint64_t;

constexpr int max_limbs = montgomery_max_limbs;

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
        const u64 keep = ~montgomery_nonzero_mask(static_cast<u64>(k) ^ index);
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
        const u64 keep = ~montgomery_nonzero_mask(static_cast<u64>(k) ^ index);
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

// The limb kernels as the exponentiation sees them, in the shape of a digit kernel record
// (k->mul, k->sqr, k->select) but with direct calls.
struct limb_kernels {
    static void mul(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c) {
        montgomery_limb_mul(r, a, b, c);
    }
    static void sqr(u64 *r, const u64 *a, const montgomery_ctx *c) {
        montgomery_limb_sqr(r, a, c);
    }
    static void select(u64 *r, const u64 *table, int entries, int width, u64 index) {
        select_entry(r, table, entries, width, index);
    }
};

// acc = x^e in Montgomery form, for x and one (1 in Montgomery form) of `width` words,
// with the kernels of k, in fixed windows of w bits from the top of e's last word: every
// bit up to the word count is processed, each window costs w squarings and one product
// (by one for a zero window), and the table is read whole for every window. Nothing but
// the word count steers a branch or an address.
template <typename K>
void pow_window(u64 *acc, const u64 *x, const u64 *one, const bignum *e, const montgomery_ctx *c,
                int width, const K *k) {
    // entry i = x^i, `width` words each; whole cache lines, so that the vector table read
    // splits no load across two of them
    alignas(64) u64 table[max_table * max_width];
    alignas(64) u64 entry[max_width];
    const std::size_t bytes = sizeof(u64) * static_cast<std::size_t>(width);
    const int w = window_width(e->size);
    const int entries = 1 << w;
    std::memcpy(table, one, bytes);
    std::memcpy(table + width, x, bytes);
    for (int i = 2; i < entries; i++) {
        u64 *t = table + static_cast<std::ptrdiff_t>(i) * width;
        if (i % 2 == 0) {
            k->sqr(t, table + static_cast<std::ptrdiff_t>(i / 2) * width, c);
        } else {
            k->mul(t, table + static_cast<std::ptrdiff_t>(i - 1) * width, x, c);
        }
    }
    if (e->size == 0) {
        std::memcpy(acc, one, bytes);  // a zero exponent of no words
        return;
    }
    const int bits = 32 * e->size;
    // The top window holds what is left above the whole windows at the bottom.
    int pos = (bits - 1) / w * w;
    k->select(acc, table, entries, width, window_value(e, pos, bits - pos));
    while (pos > 0) {
        pos -= w;
        for (int i = 0; i < w; i++) {
            k->sqr(acc, acc, c);
        }
        k->select(entry, table, entries, width, window_value(e, pos, w));
        k->mul(acc, acc, entry, c);
    }
}

// result = base^e mod m for base < m, in n limbs, on 64-bit limbs.
void pow_limbs(u64 *result, const u64 *base, const bignum *e, const montgomery_ctx *c) {
    u64 x[max_limbs], acc[max_limbs], one[max_limbs] = {1}, t[2 * max_limbs];
    const int n = c->n;
    const limb_kernels k{};
    montgomery_limb_mul(x, base, c->rr, c);   // base R mod m
    montgomery_limb_mul(one, one, c->rr, c);  // R mod m
    pow_window(acc, x, one, e, c, n, &k);
    std::memcpy(t, acc, sizeof(u64) * n);
    std::memset(t + n, 0, sizeof(u64) * n);
    montgomery_redc_portable(result, t, c);  // out of Montgomery form
}

// The same in radix 2^52 on the digit kernels of k: into digits and Montgomery form once,
// every product almost reduced (below 2m), then out of Montgomery form (a product with 1
// gives at most m) and the one full reduction.
void pow_digits(u64 *result, const u64 *base, const bignum *e, const montgomery_ctx *c,
                const montgomery_digit_kernels *k) {
    // Whole cache lines, as the table's entries: the kernels load them in vectors.
    alignas(64) u64 x[montgomery_max_digits];
    alignas(64) u64 acc[montgomery_max_digits];
    alignas(64) u64 one[montgomery_max_digits] = {1};
    alignas(64) u64 mont_one[montgomery_max_digits];
    const int width = (c->digits + 7) / 8 * 8;
    montgomery_to_digits(x, base, c);
    k->mul(x, x, c->rrd, c);           // base R mod m, R = 2^(52 digits)
    k->mul(mont_one, one, c->rrd, c);  // R mod m
    pow_window(acc, x, mont_one, e, c, width, k);
    k->mul(acc, acc, one, c);
    montgomery_from_digits(result, acc, c);
    montgomery_subtract_if_needed(result, result, 0, c->m, c->n);
}

// 1 if base (normalised or zero) is below m, and then b = its n limbs.
int reduced_below_modulus(u64 *b, const bignum *base, const montgomery_ctx *c) {
    if (base->size > 2 * c->n) {
        return 0;
    }
    montgomery_load_limbs(b, base, c->n);
    for (int i = c->n - 1; i >= 0; i--) {
        if (b[i] != c->m[i]) {
            return b[i] < c->m[i];
        }
    }
    return 0;
}

}  // namespace

void montgomery_ctx_pow_mod(const montgomery_ctx *c, bignum *result, const bignum *base,
                            const bignum *exponent) {
    u64 b[max_limbs], r[max_limbs];
    if (reduced_below_modulus(b, base, c) == 0) {
        bignum *m = bignum_alloc();
        bignum *reduced = bignum_alloc();
        montgomery_store_limbs(m, c->m, c->n);
        bignum_mod(base, m, reduced);
        montgomery_load_limbs(b, reduced, c->n);
        bignum_free(reduced);
        bignum_free(m);
    }
    switch (c->kernel) {
        case montgomery_kernel::ifma:
        case montgomery_kernel::ifma_emulated:
            pow_digits(r, b, exponent, c, montgomery_digit_kernels_of(c));
            break;
        default:
            pow_limbs(r, b, exponent, c);
    }
    montgomery_store_limbs(result, r, c->n);
}

void montgomery_pow_mod(bignum *result, const bignum *base, const bignum *exponent,
                        const bignum *modulus) {
    montgomery_ctx c;
    montgomery_ctx_init(&c, modulus);
    montgomery_ctx_pow_mod(&c, result, base, exponent);
}

void montgomery_select_masked(u64 *r, const u64 *table, int entries, int width, u64 index) {
    select_entry(r, table, entries, width, index);
}

int montgomery_window_bits(std::int32_t exponent_words) {
    return window_width(exponent_words);
}
