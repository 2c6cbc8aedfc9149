// Modular exponentiation and the Miller-Rabin squaring against GMP, over odd moduli (the
// Montgomery path) and even ones (the division path) of 1 to 40 words, with the exponent
// and base edge cases as a table. rsa.cpp is compiled in to reach bignum_pow_mod.
#include <gmp.h>
#include <gtest/gtest.h>

#include <string>

// Compiled in to test bignum_pow_mod, which is private to rsa.cpp by design.
#include "../rsa.cpp"
#include "montgomery.h"
#include "support.h"

namespace {

using test_support::Num;
using test_support::to_mpz;
using test_support::Z;

// Operands as functions of the modulus m (of w words) and a GMP random state.
enum class Value { zero, one, two, f4, word, same_size, twice, m_minus_1, m, two_m };

struct Operand {
    Value kind;
    const char *name;
};

// Exponents: 0 (which gives 1 unreduced), 1, 2, 65537, and random values of one word,
// of the modulus's size and of twice its size.
constexpr Operand exponents[] = {
    {Value::zero, "0"},
    {Value::one, "1"},
    {Value::two, "2"},
    {Value::f4, "65537"},
    {Value::word, "one word"},
    {Value::same_size, "modulus size"},
    {Value::twice, "twice the modulus size"},
};

// Bases: 0, 1, m - 1, m, 2m (multiples of m reduce to zero), and random values below m
// and of twice the modulus's size.
constexpr Operand bases[] = {
    {Value::zero, "0"},
    {Value::one, "1"},
    {Value::m_minus_1, "m - 1"},
    {Value::m, "m"},
    {Value::two_m, "2m"},
    {Value::same_size, "below m"},
    {Value::twice, "twice the modulus size"},
};

void random_words(mpz_t out, gmp_randstate_t rs, unsigned words) {
    mpz_urandomb(out, rs, 32 * words);
    mpz_setbit(out, 32 * (words - 1));  // exactly `words` words
}

void make(mpz_t out, Value kind, const mpz_t m, unsigned w, gmp_randstate_t rs) {
    switch (kind) {
        case Value::zero:
            mpz_set_ui(out, 0);
            break;
        case Value::one:
            mpz_set_ui(out, 1);
            break;
        case Value::two:
            mpz_set_ui(out, 2);
            break;
        case Value::f4:
            mpz_set_ui(out, 65537);
            break;
        case Value::word:
            random_words(out, rs, 1);
            break;
        case Value::same_size:
            mpz_urandomm(out, rs, m);
            break;
        case Value::twice:
            random_words(out, rs, 2 * w);
            break;
        case Value::m_minus_1:
            mpz_sub_ui(out, m, 1);
            break;
        case Value::m:
            mpz_set(out, m);
            break;
        case Value::two_m:
            mpz_mul_2exp(out, m, 1);
            break;
    }
}

// A modulus of exactly w words, odd or even, at least 2. Its top word is random, so
// both full and short top words occur.
void make_modulus(mpz_t m, unsigned w, bool odd, gmp_randstate_t rs) {
    mpz_urandomb(m, rs, 32 * w);
    mpz_setbit(m, 32 * (w - 1) + 1);
    if (odd) {
        mpz_setbit(m, 0);
    } else {
        mpz_clrbit(m, 0);
    }
}

std::string dec(const mpz_t x) {
    char *s = mpz_get_str(nullptr, 10, x);
    std::string r(s);
    std::free(s);
    return r;
}

TEST(PowMod, AgainstGmpOverModulusSizesExponentsAndBases) {
    gmp_randstate_t rs;
    gmp_randinit_mt(rs);
    gmp_randseed_ui(rs, 2024);
    for (unsigned w = 1; w <= 40; w++) {
        for (bool odd : {true, false}) {
            Z m;
            make_modulus(m.v, w, odd, rs);
            Num nm(dec(m.v).c_str());
            ASSERT_EQ(nm.p->size, static_cast<std::int32_t>(w));
            for (const Operand &e : exponents) {
                for (const Operand &b : bases) {
                    Z ze, zb, want, got;
                    make(ze.v, e.kind, m.v, w, rs);
                    make(zb.v, b.kind, m.v, w, rs);
                    Num ne(dec(ze.v).c_str()), nb(dec(zb.v).c_str()), r;
                    bignum_pow_mod(r, nb, ne, nm);
                    mpz_powm(want.v, zb.v, ze.v, m.v);
                    to_mpz(r, got.v);
                    SCOPED_TRACE(std::to_string(w) + (odd ? " odd" : " even") +
                                 " words, exponent " + e.name + ", base " + b.name);
                    if (e.kind == Value::zero) {
                        // 1 unreduced, as one word, whatever the modulus.
                        EXPECT_EQ(r.words(), test_support::Words{1});
                        continue;
                    }
                    EXPECT_EQ(mpz_cmp(got.v, want.v), 0);
                    if (mpz_sgn(want.v) != 0) {
                        EXPECT_NE(r.p->words[r.p->size - 1], 0u) << "not normalised";
                    } else if (w > 1) {
                        // A division by a modulus of two or more words gives zero as size 0.
                        EXPECT_EQ(r.p->size, 0);
                    }
                }
            }
        }
    }
    gmp_randclear(rs);
}

// Zero results for a one-word modulus keep the forms of the right-to-left method: the
// remainder of a non-zero product is one word, a zero product has size 0.
TEST(PowMod, ZeroFormsForOneWordModuli) {
    const struct {
        const char *base, *exponent, *modulus;
        std::int32_t size;
    } cases[] = {
        {"7", "1", "7", 1},   // 1 * 7 mod 7: a non-zero product
        {"0", "5", "7", 0},   // the product with zero has size 0
        {"14", "2", "7", 0},  // 14^2 mod 7 becomes zero first, then 1 * 0
        {"21", "3", "7", 0},  // 1 * 21 mod 7 is zero; the next product is zero
        {"0", "1", "1", 0},   // zero modulo 1
        {"5", "1", "1", 1},   // 5 mod 1: a non-zero product
        {"3", "0", "1", 1},   // exponent 0: 1, unreduced
    };
    for (const auto &c : cases) {
        Num b(c.base), e(c.exponent), m(c.modulus), r;
        bignum_pow_mod(r, b, e, m);
        Z want, zb(c.base), ze(c.exponent), zm(c.modulus), got;
        to_mpz(r, got.v);
        if (std::string(c.exponent) == "0") {
            mpz_set_ui(want.v, 1);
        } else {
            mpz_powm(want.v, zb.v, ze.v, zm.v);
        }
        EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << c.base << "^" << c.exponent << " mod " << c.modulus;
        EXPECT_EQ(r.p->size, c.size) << c.base << "^" << c.exponent << " mod " << c.modulus;
    }
}

TEST(PowMod, ResultMayBeTheBaseOrTheExponentRecord) {
    Z zm("170141183460469231731687303715884105727"), zb("123456789123456789123456789"),
        ze("98765432109876543210"), want;
    mpz_powm(want.v, zb.v, ze.v, zm.v);
    Num m(zm.str().c_str()), x(zb.str().c_str()), e(ze.str().c_str());
    bignum_pow_mod(x, x, e, m);
    EXPECT_EQ(x.str(), want.str());
    Num b(zb.str().c_str()), y(ze.str().c_str());
    bignum_pow_mod(y, b, y, m);
    EXPECT_EQ(y.str(), want.str());
}

// x = x^2 mod n as the Miller-Rabin loop does it, for odd n of 2 to 40 words and x of
// 0, 1, n - 1 and random values below n.
TEST(MontgomerySquare, AgainstGmp) {
    gmp_randstate_t rs;
    gmp_randinit_mt(rs);
    gmp_randseed_ui(rs, 77);
    for (unsigned w = 2; w <= 40; w++) {
        Z m;
        make_modulus(m.v, w, true, rs);
        Num nm(dec(m.v).c_str());
        ASSERT_EQ(montgomery_applies(nm), 1);
        for (Value kind : {Value::zero, Value::one, Value::m_minus_1, Value::same_size}) {
            Z x, want, got;
            make(x.v, kind, m.v, w, rs);
            Num nx(dec(x.v).c_str());
            montgomery_square_mod(nx, nm);
            mpz_powm_ui(want.v, x.v, 2, m.v);
            to_mpz(nx, got.v);
            EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << w << " words";
        }
    }
    gmp_randclear(rs);
    // Even, one-word and non-normalised moduli are not for this path.
    Num even("18446744073709551616"), small("7");
    EXPECT_EQ(montgomery_applies(even), 0);
    EXPECT_EQ(montgomery_applies(small), 0);
}

}  // namespace
