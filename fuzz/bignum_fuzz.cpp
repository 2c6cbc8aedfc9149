// Big numbers against GMP. The first byte picks a group of operations; the
// rest is decoded into operands whose words are mostly edge values (0, 1,
// 2^32 - 1, 2^31, 2^31 - 1, 2^32 - 2, small ones), with zero in either form
// and, on request, equal operands. Every result is compared with GMP, in value
// and in form (zero as size 0 or as one word, normalised otherwise). Modular
// exponentiation is reached through montgomery_pow_mod for odd moduli, once per
// Montgomery kernel this CPU runs (portable, ADX, IFMA, and the IFMA digit loop on
// its scalar lane model, forced in turn), and through rsa_encrypt, on decimal
// strings, for any modulus. The kernels' single products are checked too.
#include <gmp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bignum.h"
#include "montgomery.h"
#include "montgomery_ifma.h"
#include "montgomery_ifma_emulated.h"
#include "montgomery_kernels.h"
#include "rsa.h"
#include "support.h"

namespace {

using test_support::Num;
using test_support::to_mpz;
using test_support::Words;
using test_support::Z;

#define CHECK(cond, what)                                    \
    do {                                                     \
        if (!(cond)) {                                       \
            std::fprintf(stderr, "mismatch: %s\n", (what)); \
            std::abort();                                    \
        }                                                    \
    } while (0)

struct Input {
    const std::uint8_t *p;
    std::size_t n;
    std::uint8_t byte() {
        return n > 0 ? (n--, *p++) : 0;
    }
};

std::uint32_t word(Input *in) {
    static constexpr std::uint32_t edge[] = {0, 1, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 0xFFFFFFFE};
    const std::uint8_t c = in->byte();
    if (c % 8 < 6) {
        return edge[c % 8];
    }
    if (c % 8 == 6) {  // 0 .. 15 or its complement
        return c & 0x80 ? ~std::uint32_t{c >> 3 & 15u} : c >> 3 & 15u;
    }
    std::uint32_t w = 0;
    for (int i = 0; i < 4; i++) {
        w = w << 8 | in->byte();
    }
    return w;
}

// Up to max_words words with the zero top words dropped; zero is size 0, or
// one word of 0 when the length byte's top bit is set.
void operand(Input *in, Num *x, int max_words) {
    const std::uint8_t h = in->byte();
    Words w(h % (max_words + 1));
    for (auto &v : w) {
        v = word(in);
    }
    while (!w.empty() && w.back() == 0) {
        w.pop_back();
    }
    if (w.empty() && (h & 0x80) != 0) {
        w.push_back(0);
    }
    x->set(w);
}

// zero: the form zero takes (size 0; size 1; either); non-zero values are normalised.
enum class Zero { size0, size1, either };

void expect(const bignum *x, const mpz_t want, Zero zero, const char *what) {
    Z got;
    to_mpz(x, got.v);
    CHECK(mpz_cmp(got.v, want) == 0, what);
    const bool form = mpz_sgn(want) != 0  ? x->words[x->size - 1] != 0
                      : zero == Zero::size0 ? x->size == 0
                      : zero == Zero::size1 ? x->size == 1
                                            : x->size <= 1;
    CHECK(form, what);
}

void divisions(const Num &a, const Num &b, const Z &za, const Z &zb) {
    if (bignum_iszero(b) && !bignum_iszero(a)) {
        return;  // outside the contract: it aborts
    }
    Z zq, zr;
    const bool both_zero = bignum_iszero(a) && bignum_iszero(b);
    if (!both_zero) {
        mpz_tdiv_qr(zq.v, zr.v, za.v, zb.v);
    }
    // The remainder's form: a copy of a smaller dividend, one word for 0/0 and
    // one-word divisors, normalised (size 0 for zero) for longer divisors.
    const bool smaller = mpz_cmp(za.v, zb.v) < 0;
    const Zero rzero = both_zero || b.p->size == 1 ? Zero::size1 : Zero::size0;
    Num q, r;
    bignum_divide(q, r, a, b);
    expect(q, zq.v, Zero::size0, "divide: quotient");
    if (smaller) {
        CHECK(r.words() == a.words(), "divide: remainder of a smaller dividend");
    } else {
        expect(r, zr.v, rzero, "divide: remainder");
    }
    Num m, x, y, t;
    const Words before = a.words();
    bignum_mod(a, b, m);
    CHECK(m.words() == r.words() && a.words() == before, "mod");
    bignum_copy(a, x);
    bignum_imod(x, b);
    CHECK(x.words() == r.words(), "imod");
    bignum_copy(a, x);
    bignum_idivide(x, b);
    expect(x, zq.v, Zero::size0, "idivide");
    bignum_copy(a, y);
    bignum_idivider(y, b, t);
    expect(y, zq.v, Zero::size0, "idivider: quotient");
    CHECK(t.words() == r.words(), "idivider: remainder");
}

void arithmetic(Input *in, bool same) {
    Num a, b, r;
    operand(in, &a, 64);
    operand(in, &b, 40);
    if (same) {
        bignum_copy(a, b);
    }
    Z za, zb, want;
    to_mpz(a, za.v);
    to_mpz(b, zb.v);
    const int cmp = mpz_cmp(za.v, zb.v);
    CHECK(bignum_isless(a, b) == (cmp < 0) && bignum_isgreater(a, b) == (cmp > 0) &&
              bignum_isequal(a, b) == (cmp == 0),
          "comparison");
    bignum_add(r, a, b);
    mpz_add(want.v, za.v, zb.v);
    expect(r, want.v, Zero::either, "add");
    bignum_subtract(r, cmp >= 0 ? a : b, cmp >= 0 ? b : a);
    mpz_sub(want.v, za.v, zb.v);
    mpz_abs(want.v, want.v);
    expect(r, want.v, Zero::size0, "subtract");
    bignum_multiply(r, a, b);
    mpz_mul(want.v, za.v, zb.v);
    expect(r, want.v, Zero::size0, "multiply");
    divisions(a, b, za, zb);
}

// x^2 mod m by montgomery_square_mod, the Miller-Rabin squaring, on x = base mod m.
void square_mod(const Num &base, const Num &m, const Z &zb, const Z &zm) {
    Num x;
    Z want;
    mpz_mod(want.v, zb.v, zm.v);
    bignum_copy(base, x);
    bignum_imod(x, m);
    montgomery_square_mod(x, m);
    mpz_powm_ui(want.v, want.v, 2, zm.v);
    expect(x, want.v, Zero::size0, "montgomery_square_mod");
}

// Every kernel; those this CPU does not run are refused by the hook and skipped.
constexpr std::pair<montgomery_kernel, const char *> kernels[] = {
    {montgomery_kernel::automatic, "montgomery_pow_mod"},
    {montgomery_kernel::portable, "montgomery_pow_mod, portable"},
    {montgomery_kernel::adx, "montgomery_pow_mod, adx"},
    {montgomery_kernel::ifma, "montgomery_pow_mod, ifma"},
    {montgomery_kernel::ifma_emulated, "montgomery_pow_mod, ifma emulated"},
};

// Operand sizes in words for pow_mod; odd makes the modulus odd.
struct PowSizes {
    int modulus, base, exponent;
    bool odd;
};

// base^e mod m: by montgomery_pow_mod where it applies (a non-zero exponent), and by
// rsa_encrypt on decimal strings for every modulus, which takes the division path for
// even and one-word moduli.
void pow_mod(Input *in, PowSizes sizes) {
    Num m, base, e, r;
    operand(in, &m, sizes.modulus);
    if (sizes.odd && m.p->size > 0) {
        m.p->words[0] |= 1;
    }
    operand(in, &base, sizes.base);
    // The division path costs a long division per bit: shorter exponents there.
    operand(in, &e, montgomery_applies(m) ? sizes.exponent : 4);
    if (bignum_iszero(m)) {
        return;
    }
    Z zb, ze, zm, want;
    to_mpz(base, zb.v);
    to_mpz(e, ze.v);
    to_mpz(m, zm.v);
    mpz_powm(want.v, zb.v, ze.v, zm.v);
    if (mpz_sgn(ze.v) == 0) {
        mpz_set_ui(want.v, 1);  // exponent 0 gives 1, unreduced
    }
    if (montgomery_applies(m) && mpz_sgn(ze.v) != 0) {
        for (const auto &[kernel, name] : kernels) {
            if (montgomery_force_kernel(kernel) != 0) {
                montgomery_pow_mod(r, base, e, m);
                expect(r, want.v, Zero::size0, name);
                square_mod(base, m, zb, zm);
            }
        }
        montgomery_force_kernel(montgomery_kernel::automatic);
    }
    char *decimal[3] = {bignum_tostring(base), bignum_tostring(e), bignum_tostring(m)};
    static char out[rsa_buffer_size];
    rsa_encrypt(out, decimal[0], 0, decimal[2], decimal[1]);
    char *expected = mpz_get_str(nullptr, 10, want.v);
    CHECK(std::strcmp(out, expected) == 0, "rsa_encrypt");
    std::free(expected);
    for (char *text : decimal) {
        std::free(text);
    }
}

void to_limbs(std::uint64_t *out, const mpz_t x, int count, unsigned nails) {
    std::memset(out, 0, sizeof(std::uint64_t) * static_cast<std::size_t>(count));
    mpz_export(out, nullptr, -1, sizeof(std::uint64_t), 0, nails, x);
}

void expect_limbs(const std::uint64_t *got, int count, unsigned nails, const mpz_t want,
                  const mpz_t m, bool almost, const char *what) {
    Z g, twice;
    mpz_import(g.v, static_cast<std::size_t>(count), -1, sizeof(std::uint64_t), 0, nails, got);
    if (almost) {  // below 2m, then reduced
        mpz_mul_2exp(twice.v, m, 1);
        CHECK(mpz_cmp(g.v, twice.v) < 0, what);
        mpz_mod(g.v, g.v, m);
    }
    CHECK(mpz_cmp(g.v, want) == 0, what);
}

// One Montgomery product and square per kernel this CPU runs, for an odd modulus of
// 2 to 128 words and operands reduced below m (the limb kernels) or 2m (the digit
// kernels): a b R^-1 mod m from GMP, R = 2^(64 limbs) or 2^(52 digits).
void kernel_products(Input *in) {
    Num m, a, b;
    operand(in, &m, montgomery_max_words);
    if (m.p->size > 0) {
        m.p->words[0] |= 1;
    }
    operand(in, &a, montgomery_max_words + 1);
    operand(in, &b, montgomery_max_words + 1);
    if (!montgomery_applies(m)) {
        return;
    }
    Z zm, za, zb, bound, r, rinv, ab, aa;
    to_mpz(m, zm.v);
    to_mpz(a, za.v);
    to_mpz(b, zb.v);
    // The digit kernels first: they take operands up to 2m.
    for (montgomery_kernel kernel : {montgomery_kernel::ifma, montgomery_kernel::ifma_emulated,
                                     montgomery_kernel::portable, montgomery_kernel::adx}) {
        if (montgomery_force_kernel(kernel) == 0) {
            continue;
        }
        montgomery_ctx c;
        montgomery_ctx_init(&c, m);
        const bool digits =
            c.kernel == montgomery_kernel::ifma || c.kernel == montgomery_kernel::ifma_emulated;
        if (c.kernel != kernel && c.limb_kernel != kernel) {
            continue;  // not for this size
        }
        const unsigned nails = digits ? 12 : 0;
        const int count = digits ? (c.digits + 7) / 8 * 8 : c.n;
        mpz_set_ui(r.v, 0);
        mpz_setbit(r.v, static_cast<unsigned>(digits ? 52 * c.digits : 64 * c.n));
        mpz_mul_2exp(bound.v, zm.v, digits ? 1 : 0);
        mpz_mod(za.v, za.v, bound.v);
        mpz_mod(zb.v, zb.v, bound.v);
        CHECK(mpz_invert(rinv.v, r.v, zm.v) != 0, "R^-1");
        mpz_mul(ab.v, za.v, zb.v);
        mpz_mul(ab.v, ab.v, rinv.v);
        mpz_mod(ab.v, ab.v, zm.v);
        mpz_mul(aa.v, za.v, za.v);
        mpz_mul(aa.v, aa.v, rinv.v);
        mpz_mod(aa.v, aa.v, zm.v);
        std::uint64_t la[montgomery_max_limbs], lb[montgomery_max_limbs];
        std::uint64_t out[montgomery_max_limbs];
        to_limbs(la, za.v, count, nails);
        to_limbs(lb, zb.v, count, nails);
        if (digits && kernel == montgomery_kernel::ifma) {
            montgomery_mul_ifma(out, la, lb, &c);
            expect_limbs(out, count, nails, ab.v, zm.v, true, "ifma product");
            montgomery_sqr_ifma(out, la, &c);
            expect_limbs(out, count, nails, aa.v, zm.v, true, "ifma square");
        } else if (digits) {
            montgomery_mul_ifma_emulated(out, la, lb, &c);
            expect_limbs(out, count, nails, ab.v, zm.v, true, "ifma emulated product");
            montgomery_sqr_ifma_emulated(out, la, &c);
            expect_limbs(out, count, nails, aa.v, zm.v, true, "ifma emulated square");
        } else if (kernel == montgomery_kernel::adx) {
            montgomery_mul_adx(out, la, lb, &c);
            expect_limbs(out, count, nails, ab.v, zm.v, false, "adx product");
            montgomery_sqr_adx(out, la, &c);
            expect_limbs(out, count, nails, aa.v, zm.v, false, "adx square");
        } else {
            montgomery_mul_portable(out, la, lb, &c);
            expect_limbs(out, count, nails, ab.v, zm.v, false, "portable product");
            montgomery_sqr_portable(out, la, &c);
            expect_limbs(out, count, nails, aa.v, zm.v, false, "portable square");
        }
    }
    montgomery_force_kernel(montgomery_kernel::automatic);
}

void inverse(Input *in) {
    Num a, m, r;
    operand(in, &a, 16);
    operand(in, &m, 16);
    Z za, zm, want;
    to_mpz(a, za.v);
    to_mpz(m, zm.v);
    if (mpz_cmp_ui(zm.v, 1) > 0 && mpz_invert(want.v, za.v, zm.v) != 0) {
        modular_inverse(a, m, r);
        expect(r, want.v, Zero::either, "modular_inverse");
    }
}

// bignum_tostring of an operand and back with leading zeros, and
// bignum_fromstring of the input's remaining bytes as digits.
void strings(Input *in) {
    Num a, b;
    operand(in, &a, 24);
    Z za, zb;
    to_mpz(a, za.v);
    char *s = bignum_tostring(a);
    char *want = mpz_get_str(nullptr, 10, za.v);
    CHECK(std::strcmp(s, want) == 0, "tostring");
    std::free(want);
    const std::string text = std::string(in->byte() % 4, '0') + s;
    std::free(s);
    bignum_fromstring(b, text.c_str());
    expect(b, za.v, Zero::either, "fromstring of tostring");
    std::string digits;
    while (in->n > 0 && digits.size() < 400) {
        digits += static_cast<char>('0' + in->byte() % 10);
    }
    bignum_fromstring(b, digits.c_str());
    mpz_set_str(zb.v, digits.empty() ? "0" : digits.c_str(), 10);
    expect(b, zb.v, digits.empty() ? Zero::size0 : Zero::either, "fromstring");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in{data, size};
    const std::uint8_t op = in.byte();
    switch (op % 8) {
        case 4:
            pow_mod(&in, {70, 40, 24, false});
            break;
        case 5:  // odd moduli of every size the Montgomery path takes, short exponents
            if ((op & 0x80) != 0) {
                kernel_products(&in);
            } else {
                pow_mod(&in, {montgomery_max_words, montgomery_max_words, 2, true});
            }
            break;
        case 6:
            inverse(&in);
            break;
        case 7:
            strings(&in);
            break;
        default:  // half of all inputs: the arithmetic and the divisions
            arithmetic(&in, (op & 0x80) != 0);
    }
    return 0;
}
