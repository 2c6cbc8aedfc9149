// Big numbers: the carry, borrow, zero-form and division corner cases, then a
// differential test against GMP on random operands of 1 to 70 words.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bignum.h"
#include "emulator.h"
#include "support.h"

namespace {

using test_support::Num;
using test_support::to_mpz;
using test_support::Words;
using test_support::Z;

std::string mpz_text(const mpz_t x) {
    char *s = mpz_get_str(nullptr, 10, x);
    std::string r(s);
    std::free(s);
    return r;
}

bool normalised(const bignum *a) {
    return a->size == 0 || a->words[a->size - 1] != 0;
}

// Expects a to hold exactly the words w (so also its size).
#define EXPECT_WORDS(a, ...) EXPECT_EQ((a).words(), (Words{__VA_ARGS__}))

TEST(BignumCore, ZeroForms) {
    Num fresh, one_word;
    EXPECT_EQ(fresh.p->size, 0);
    EXPECT_EQ(fresh.p->capacity, 20);
    EXPECT_TRUE(bignum_iszero(fresh));
    bignum_fromint(one_word, 0);
    EXPECT_EQ(one_word.p->size, 1);
    EXPECT_TRUE(bignum_iszero(one_word));
    EXPECT_TRUE(bignum_isequal(fresh, one_word));
    EXPECT_FALSE(bignum_isless(fresh, one_word));
    EXPECT_FALSE(bignum_isgreater(one_word, fresh));
    EXPECT_FALSE(bignum_isodd(fresh));

    Num x({0, 1});
    EXPECT_TRUE(bignum_isless(fresh, x));
    EXPECT_TRUE(bignum_isless(one_word, x));
    EXPECT_TRUE(bignum_isgreater(x, fresh));
    EXPECT_TRUE(bignum_isgreater(x, one_word));
    EXPECT_FALSE(bignum_isequal(x, fresh));
    EXPECT_TRUE(bignum_isgeq(x, x));
    EXPECT_TRUE(bignum_isleq(x, x));
    EXPECT_FALSE(bignum_isless(x, x));
    EXPECT_FALSE(bignum_isgreater(x, x));

    // Sizes decide before words.
    Num small({0xFFFFFFFF}), two_words({0, 1});
    EXPECT_TRUE(bignum_isgreater(two_words, small));
    EXPECT_TRUE(bignum_isless(small, two_words));
}

TEST(BignumCore, CarryAndBorrowChains) {
    Num r;
    Num a({0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}), one({1});
    bignum_add(r, a, one);  // (2^96 - 1) + 1
    EXPECT_WORDS(r, 0, 0, 0, 1);

    Num b({1, 7}), c({0xFFFFFFFF, 0xFFFFFFFF});
    bignum_add(r, b, c);  // (7*2^32 + 1) + (2^64 - 1)
    EXPECT_WORDS(r, 0, 7, 1);

    Num d({5, 0, 1});
    bignum_subtract(r, d, c);  // (2^64 + 5) - (2^64 - 1)
    EXPECT_WORDS(r, 6);

    Num e({0, 0, 0, 1});
    bignum_subtract(r, e, one);  // 2^96 - 1
    EXPECT_WORDS(r, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);

    bignum_subtract(r, e, e);
    EXPECT_EQ(r.p->size, 0);

    Num x({0xFFFFFFFF, 0xFFFFFFFF});
    bignum_iadd(x, x);  // in place with the same record twice
    EXPECT_WORDS(x, 0xFFFFFFFE, 0xFFFFFFFF, 1);
    bignum_imultiply(x, x);  // squares: (2^65 - 2)^2 = 2^130 - 2^67 + 4
    EXPECT_WORDS(x, 4, 0, 0xFFFFFFF8, 0xFFFFFFFF, 3);
    bignum_iadd_2(x);
    EXPECT_WORDS(x, 6, 0, 0xFFFFFFF8, 0xFFFFFFFF, 3);
}

TEST(BignumCore, ProductsWithZeroAndSmallConstructors) {
    Num r, three({1, 2, 3}), zero_word, fresh;
    bignum_fromint(zero_word, 0);
    bignum_multiply(r, three, zero_word);
    EXPECT_EQ(r.p->size, 0);
    bignum_multiply(r, three, fresh);
    EXPECT_EQ(r.p->size, 0);

    bignum_fromint(r, -1);
    EXPECT_WORDS(r, 0xFFFFFFFF);

    bignum_random(10, r);
    EXPECT_EQ(r.p->size, 2);
    for (std::uint32_t w : r.words()) {
        EXPECT_LT(w, 0x80000000u);  // glibc rand() stays below 2^31
    }
    bignum_random(3, r);
    EXPECT_EQ(r.p->size, 0);

    bignum_set_zero(three);
    EXPECT_EQ(three.p->size, 0);
}

// Divides and checks quotient and remainder against GMP, plus the normalised forms.
void check_divide(const Words &dividend, const Words &divisor) {
    Num a(dividend), b(divisor), q, r;
    bignum_divide(q, r, a, b);
    Z za, zb, zq, zr, got_q, got_r;
    to_mpz(a, za.v);
    to_mpz(b, zb.v);
    mpz_tdiv_qr(zq.v, zr.v, za.v, zb.v);
    to_mpz(q, got_q.v);
    to_mpz(r, got_r.v);
    EXPECT_EQ(mpz_cmp(got_q.v, zq.v), 0) << mpz_text(za.v) << " / " << mpz_text(zb.v);
    EXPECT_EQ(mpz_cmp(got_r.v, zr.v), 0) << mpz_text(za.v) << " % " << mpz_text(zb.v);
    EXPECT_TRUE(normalised(q));
    if (divisor.size() == 1 && mpz_cmp(za.v, zb.v) >= 0) {
        EXPECT_EQ(r.p->size, 1);  // a one-word remainder, also when it is zero
    } else {
        EXPECT_TRUE(normalised(r));
    }
}

TEST(BignumDivision, SmallerDividendAndZeroes) {
    Num five({5}), seven({7}), q, r, fresh;
    bignum_divide(q, r, five, seven);
    EXPECT_EQ(q.p->size, 0);
    EXPECT_WORDS(r, 5);

    bignum_divide(q, r, fresh, seven);  // 0 / 7: remainder is the zero dividend as it is
    EXPECT_EQ(q.p->size, 0);
    EXPECT_EQ(r.p->size, 0);

    Num zero_a, zero_b;
    bignum_divide(q, r, zero_a, zero_b);  // 0 / 0 is answered with 0 remainder 0
    EXPECT_EQ(q.p->size, 0);
    EXPECT_EQ(r.p->size, 1);
    EXPECT_TRUE(bignum_iszero(r));
}

TEST(BignumDivision, ValueByItself) {
    Num x1({12345}), x3({1, 2, 3}), q, r;
    bignum_divide(q, r, x1, x1);
    EXPECT_WORDS(q, 1);
    EXPECT_EQ(r.p->size, 1);
    EXPECT_TRUE(bignum_iszero(r));
    bignum_divide(q, r, x3, x3);
    EXPECT_WORDS(q, 1);
    EXPECT_EQ(r.p->size, 0);
}

TEST(BignumDivision, EstimateLoweredAndCorrected) {
    // 2^95 / (2^63 + 1): the first estimate exceeds 32 bits and is lowered.
    Num a({0, 0, 0x80000000}), b({1, 0x80000000}), q, r;
    bignum_divide(q, r, a, b);
    EXPECT_WORDS(q, 0xFFFFFFFF);
    EXPECT_WORDS(r, 1, 0x7FFFFFFF);  // 2^63 - 2^32 + 1

    // ((2^63 + 1) * 2^32) / (2^63 + 1): zero windows and zero trial products.
    Num c({0, 1, 0x80000000});
    bignum_divide(q, r, c, b);
    EXPECT_WORDS(q, 0, 1);
    EXPECT_EQ(r.p->size, 0);

    // 2^127 / (2^95 + 2^64 - 1): borrows run through the divisor's 0xFFFFFFFF words.
    Num d({0, 0, 0, 0x80000000}), e({0xFFFFFFFF, 0xFFFFFFFF, 0x80000000});
    bignum_divide(q, r, d, e);
    EXPECT_WORDS(q, 0xFFFFFFFE);
    EXPECT_WORDS(r, 0xFFFFFFFE, 0, 2);  // 2^65 + 2^32 - 2

    for (const Words &w : {Words{0, 0, 0, 0x80000000}, Words{1, 2, 3}}) {
        check_divide(w, {0xFFFFFFFF, 0xFFFFFFFF, 0x80000000});
    }
}

TEST(BignumDivision, EstimateOneTooLargeAddsTheDivisorBack) {
    // Operands found by searching for a digit estimate that survives the second-word test
    // and still exceeds the true digit; quotient and remainder from GMP.
    const struct {
        Words dividend, divisor;
    } cases[] = {
        {{0x0, 0x0, 0x7fffffff, 0xffffffff}, {0xffffffff, 0xfffffffe, 0x1}},
        {{0x1, 0x2, 0x80000000, 0x80000000, 0xffffffff}, {0xffffffff, 0x80000000, 0xffffffff}},
        {{0x80000001, 0xffffffff, 0xfffffffe, 0x7fffffff, 0x1},
         {0xfffffffe, 0xffffffff, 0x7fffffff}},
        {{0x2, 0x0, 0x1, 0xffffffff, 0x1}, {0x80000001, 0x80000000, 0xffffffff}},
    };
    for (const auto &c : cases) {
        check_divide(c.dividend, c.divisor);
    }
}

TEST(BignumDivision, HalvingAndTheInPlaceForms) {
    Num one({1}), big({0, 1});
    bignum_idivide_2(one);
    EXPECT_EQ(one.p->size, 0);
    bignum_idivide_2(big);
    EXPECT_WORDS(big, 0x80000000);

    Num a({7, 0, 5}), b({3, 1}), r;
    bignum_mod(a, b, r);  // the result comes last; a is left as it is
    EXPECT_WORDS(r, 52);
    EXPECT_WORDS(a, 7, 0, 5);
    Num q({7, 0, 5});
    bignum_idivider(q, b, r);  // (5*2^64 + 7) = (5*2^32 - 15)(2^32 + 3) + 52
    EXPECT_WORDS(q, 0xFFFFFFF1, 4);
    EXPECT_WORDS(r, 52);
    bignum_imod(a, b);
    EXPECT_WORDS(a, 52);
    Num c({7, 0, 5});
    bignum_idivide(c, b);
    EXPECT_WORDS(c, 0xFFFFFFF1, 4);
}

TEST(BignumDecimal, Conversions) {
    Num fresh, zero_word, x;
    bignum_fromint(zero_word, 0);
    for (bignum *z : {fresh.p, zero_word.p}) {
        char *s = bignum_tostring(z);
        EXPECT_STREQ(s, "0");
        std::free(s);
    }
    x.set({0, 1});
    char *s = bignum_tostring(x);
    EXPECT_STREQ(s, "4294967296");
    std::free(s);

    bignum_fromstring(x, "");
    EXPECT_EQ(x.p->size, 0);
    bignum_fromstring(x, "000123");
    EXPECT_WORDS(x, 123);

    // 99, 100 and 101 digits around the buffer's first growth, and 616 digits.
    for (std::size_t digits : {99u, 100u, 101u, 199u, 200u, 616u}) {
        std::string text = "9";
        for (std::size_t i = 1; i < digits; i++) {
            text += static_cast<char>('0' + (i * 7) % 10);
        }
        bignum_fromstring(x, text.c_str());
        Z expected, got;
        mpz_set_str(expected.v, text.c_str(), 10);
        to_mpz(x, got.v);
        EXPECT_EQ(mpz_cmp(got.v, expected.v), 0) << text;
        char *back = bignum_tostring(x);
        EXPECT_EQ(back, text);
        std::free(back);
    }
}

TEST(BignumFailures, NonDigitAndDivisionByZeroAbort) {
    GTEST_FLAG_SET(death_test_style, test_emulator::death_test_style());
    Num x, q, r, five({5}), zero_word, fresh;
    bignum_fromint(zero_word, 0);
    EXPECT_DEATH(bignum_fromstring(x, "12a4"), "character other than 0-9");
    EXPECT_DEATH(bignum_fromstring(x, "-1"), "character other than 0-9");
    EXPECT_DEATH(bignum_divide(q, r, five, zero_word), "by zero");
    EXPECT_DEATH(bignum_divide(q, r, five, fresh), "by zero");
}

// Random words with an excess of the values that provoke carries, borrows and estimate
// corrections.
Words random_words(std::mt19937_64 &rng, std::size_t n) {
    static const std::uint32_t special[] = {0,          1,          2,         0x7FFFFFFF,
                                            0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    Words w(n);
    for (auto &x : w) {
        std::uint64_t pick = rng();
        x = (pick % 3 == 0) ? special[(pick >> 8) % 7] : static_cast<std::uint32_t>(pick >> 32);
    }
    while (w.back() == 0) {
        w.back() = static_cast<std::uint32_t>(rng());
    }
    return w;
}

TEST(BignumDifferential, AgainstGmp) {
    std::mt19937_64 rng(20261207);
    for (int round = 0; round < 3000; round++) {
        Num a(random_words(rng, 1 + rng() % 70));
        Num b(random_words(rng, 1 + rng() % 70));
        Z za, zb, want, got;
        to_mpz(a, za.v);
        to_mpz(b, zb.v);
        SCOPED_TRACE("round " + std::to_string(round));

        int cmp = mpz_cmp(za.v, zb.v);
        EXPECT_EQ(bignum_isless(a, b), cmp < 0);
        EXPECT_EQ(bignum_isgreater(a, b), cmp > 0);
        EXPECT_EQ(bignum_isequal(a, b), cmp == 0);

        Num r;
        bignum_add(r, a, b);
        mpz_add(want.v, za.v, zb.v);
        to_mpz(r, got.v);
        EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "add";
        EXPECT_TRUE(normalised(r));

        const bignum *big = cmp >= 0 ? a.p : b.p, *small = cmp >= 0 ? b.p : a.p;
        bignum_subtract(r, big, small);
        mpz_sub(want.v, cmp >= 0 ? za.v : zb.v, cmp >= 0 ? zb.v : za.v);
        to_mpz(r, got.v);
        EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "subtract";
        EXPECT_TRUE(normalised(r));

        bignum_multiply(r, a, b);
        mpz_mul(want.v, za.v, zb.v);
        to_mpz(r, got.v);
        EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "multiply";
        EXPECT_TRUE(normalised(r));

        // Divide the product plus a little by b as well, so quotients are long too.
        Num prod;
        bignum_copy(r, prod);
        bignum_iadd(prod, a);
        check_divide(prod.words(), b.words());
        check_divide(a.words(), b.words());

        Num m;
        bignum_mod(prod, b, m);
        mpz_add(want.v, want.v, za.v);
        mpz_mod(want.v, want.v, zb.v);
        to_mpz(m, got.v);
        EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "mod";

        if (round % 10 == 0) {
            char *s = bignum_tostring(a);
            EXPECT_EQ(s, mpz_text(za.v)) << "tostring";
            std::string padded = (round % 20 == 0 ? "00" : "") + mpz_text(zb.v);
            Num back;
            bignum_fromstring(back, padded.c_str());
            EXPECT_EQ(back.words(), b.words()) << "fromstring";
            std::free(s);
        }
    }
}

}  // namespace
