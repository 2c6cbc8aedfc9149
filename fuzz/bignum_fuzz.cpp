// Big numbers against GMP. The first byte picks a group of operations; the
// rest is decoded into operands whose words are mostly edge values (0, 1,
// 2^32 - 1, 2^31, 2^31 - 1, 2^32 - 2, small ones), with zero in either form
// and, on request, equal operands. Every result is compared with GMP, in value
// and in form (zero as size 0 or as one word, normalised otherwise).
// montgomery.cpp and rsa.cpp are compiled in for the Montgomery kernels, the
// exponentiation and gcd.
#include <gmp.h>

#include <cstdio>
#include <string>

#include "../signature/montgomery.cpp"
#include "../signature/rsa.cpp"
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

void pow_mod(Input *in) {
    Num m, base, e, r;
    operand(in, &m, 70);
    operand(in, &base, 40);
    // The division path costs a long division per bit: shorter exponents there.
    operand(in, &e, montgomery_applies(m) ? 24 : 4);
    if (bignum_iszero(m)) {
        return;
    }
    Z zb, ze, zm, want;
    to_mpz(base, zb.v);
    to_mpz(e, ze.v);
    to_mpz(m, zm.v);
    bignum_pow_mod(r, base, e, m);
    if (mpz_sgn(ze.v) == 0) {
        CHECK(r.words() == Words{1}, "pow_mod: exponent 0 gives 1 as one word");
        return;
    }
    mpz_powm(want.v, zb.v, ze.v, zm.v);
    expect(r, want.v, m.p->size == 1 ? Zero::either : Zero::size0, "pow_mod");
    if (montgomery_applies(m)) {  // the Miller-Rabin squaring, on x < m
        Num x;
        mpz_mod(want.v, zb.v, zm.v);
        bignum_copy(base, x);
        bignum_imod(x, m);
        montgomery_square_mod(x, m);
        mpz_powm_ui(want.v, want.v, 2, zm.v);
        expect(x, want.v, Zero::size0, "montgomery_square_mod");
    }
}

void to_limbs(u64 *out, const mpz_t x, int n) {
    std::memset(out, 0, sizeof(u64) * n);
    mpz_export(out, nullptr, -1, sizeof(u64), 0, 0, x);
}

void expect_limbs(const u64 *got, const mpz_t want, int n, const char *what) {
    Z g;
    mpz_import(g.v, static_cast<std::size_t>(n), -1, sizeof(u64), 0, 0, got);
    CHECK(mpz_cmp(g.v, want) == 0, what);
}

// out = x y R^-1 mod m.
void montgomery_product(mpz_t out, const mpz_t x, const mpz_t y, const mpz_t r_inverse,
                        const mpz_t m) {
    mpz_mul(out, x, y);
    mpz_mul(out, out, r_inverse);
    mpz_mod(out, out, m);
}

// Every Montgomery kernel on a b (and a a) below an odd modulus of 1 to 64 limbs:
// the column forms at any size and at the fixed sizes, the row form where the
// CPU has it, and the reduction alone; and the setup's R^2 mod m.
void kernels(Input *in) {
    Num m, a, b;
    operand(in, &m, montgomery_max_words);
    operand(in, &a, montgomery_max_words);
    operand(in, &b, montgomery_max_words);
    if (m.p->size == 0 || m.words().back() == 0) {
        return;
    }
    m.p->words[0] |= 1;
    modulus_ctx c;
    setup(&c, m);
    const int n = c.n;
    Z zm, za, zb, r, rinv, ab, aa, t;
    to_mpz(m, zm.v);
    to_mpz(a, za.v);
    to_mpz(b, zb.v);
    mpz_mod(za.v, za.v, zm.v);
    mpz_mod(zb.v, zb.v, zm.v);
    mpz_setbit(r.v, 64 * n);
    mpz_powm_ui(t.v, r.v, 2, zm.v);
    expect_limbs(c.rr, t.v, n, "R^2 mod m");
    CHECK(mpz_invert(rinv.v, r.v, zm.v) != 0 || mpz_cmp_ui(zm.v, 1) == 0, "R^-1");
    montgomery_product(ab.v, za.v, zb.v, rinv.v, zm.v);
    montgomery_product(aa.v, za.v, za.v, rinv.v, zm.v);
    u64 la[max_limbs], lb[max_limbs], lt[2 * max_limbs], out[max_limbs];
    to_limbs(la, za.v, n);
    to_limbs(lb, zb.v, n);
    mpz_mul(t.v, za.v, zb.v);
    to_limbs(lt, t.v, 2 * n);
    const auto kernel = [&](const char *what, const mpz_t want, auto run) {
        run(out);
        expect_limbs(out, want, n, what);
    };
    kernel("column product", ab.v, [&](u64 *o) { mont_mul_columns(o, la, lb, &c, n); });
    kernel("column square", aa.v, [&](u64 *o) { mont_sqr_columns(o, la, &c, n); });
    kernel("reduction", ab.v, [&](u64 *o) { redc(o, lt, &c, n); });
    if (n == 16) {
        const limbs16 fixed;
        kernel("column product, 16", ab.v, [&](u64 *o) { mont_mul_columns(o, la, lb, &c, fixed); });
        kernel("column square, 16", aa.v, [&](u64 *o) { mont_sqr_columns(o, la, &c, fixed); });
    }
    if (n == 32) {
        const limbs32 fixed;
        kernel("column product, 32", ab.v, [&](u64 *o) { mont_mul_columns(o, la, lb, &c, fixed); });
        kernel("column square, 32", aa.v, [&](u64 *o) { mont_sqr_columns(o, la, &c, fixed); });
    }
#if defined(__x86_64__)
    if (n % 4 == 0 && has_adx()) {
        kernel("row product", ab.v, [&](u64 *o) { mont_mul_rows(o, la, lb, &c, n); });
        kernel("row square", aa.v, [&](u64 *o) { mont_mul_rows(o, la, la, &c, n); });
    }
#endif
}

void gcd_and_inverse(Input *in) {
    Num a, m, r;
    operand(in, &a, 16);
    operand(in, &m, 16);
    Z za, zm, want;
    to_mpz(a, za.v);
    to_mpz(m, zm.v);
    gcd(a, m, r);
    mpz_gcd(want.v, za.v, zm.v);
    expect(r, want.v, Zero::either, "gcd");
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
            pow_mod(&in);
            break;
        case 5:
            kernels(&in);
            break;
        case 6:
            gcd_and_inverse(&in);
            break;
        case 7:
            strings(&in);
            break;
        default:  // half of all inputs: the arithmetic and the divisions
            arithmetic(&in, (op & 0x80) != 0);
    }
    return 0;
}
