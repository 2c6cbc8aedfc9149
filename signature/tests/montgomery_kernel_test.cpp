// The Montgomery kernels one by one against GMP: for random a, b below an odd m, every
// kernel must give a b R^-1 mod m (R = 2^(64 n)), and the setup R^2 mod m. Both kernel
// forms run at the sizes where both exist, whatever the exponentiation would pick.
// montgomery.cpp is compiled in to reach its file-local kernels.
#include <gmp.h>
#include <gtest/gtest.h>

// Compiled in to test the kernels, which are private to montgomery.cpp by design.
#include "../montgomery.cpp"
#include "support.h"

namespace {

using test_support::Z;

void to_limbs(u64 *out, const mpz_t x, int n) {
    for (int i = 0; i < n; i++) {
        out[i] = 0;
    }
    mpz_export(out, nullptr, -1, sizeof(u64), 0, 0, x);
}

void from_limbs(mpz_t out, const u64 *limbs, int n) {
    mpz_import(out, static_cast<std::size_t>(n), -1, sizeof(u64), 0, 0, limbs);
}

class Kernels : public ::testing::Test {
   protected:
    void SetUp() override {
        gmp_randinit_mt(rs);
        gmp_randseed_ui(rs, 4096);
    }
    void TearDown() override {
        gmp_randclear(rs);
    }
    // A random odd modulus of n limbs with a non-zero top limb, set up as the
    // exponentiation sets it up; m and R^-1 mod m also as GMP values.
    void make(int n, modulus_ctx *c, Z *m, Z *r_inverse) {
        mpz_urandomb(m->v, rs, 64 * n);
        mpz_setbit(m->v, 64 * (n - 1) + static_cast<unsigned>(gmp_urandomm_ui(rs, 64)));
        mpz_setbit(m->v, 0);
        std::vector<std::uint32_t> words(2 * n, 0);
        mpz_export(words.data(), nullptr, -1, 4, 0, 0, m->v);
        std::int32_t size = 2 * n;
        while (words[size - 1] == 0) {
            size--;
        }
        bignum view{size, size, words.data()};
        setup(c, &view);
        Z big;
        mpz_setbit(big.v, 64 * n);
        ASSERT_NE(mpz_invert(r_inverse->v, big.v, m->v), 0);
    }
    gmp_randstate_t rs;
};

TEST_F(Kernels, ProductsAndSquaresAgainstGmp) {
    for (int n = 1; n <= max_limbs; n++) {
        modulus_ctx c;
        Z m, r_inverse;
        make(n, &c, &m, &r_inverse);
        Z rr, want_rr;
        from_limbs(rr.v, c.rr, n);
        mpz_setbit(want_rr.v, 128 * n);
        mpz_mod(want_rr.v, want_rr.v, m.v);
        EXPECT_EQ(mpz_cmp(rr.v, want_rr.v), 0) << n << " limbs: R^2 mod m";
        for (int round = 0; round < 20; round++) {
            Z a, b, want, want_sq, got;
            // Extremes first: m - 1 times m - 1, then random values.
            if (round == 0) {
                mpz_sub_ui(a.v, m.v, 1);
                mpz_set(b.v, a.v);
            } else {
                mpz_urandomm(a.v, rs, m.v);
                mpz_urandomm(b.v, rs, m.v);
            }
            mpz_mul(want.v, a.v, b.v);
            mpz_mul(want.v, want.v, r_inverse.v);
            mpz_mod(want.v, want.v, m.v);
            mpz_mul(want_sq.v, a.v, a.v);
            mpz_mul(want_sq.v, want_sq.v, r_inverse.v);
            mpz_mod(want_sq.v, want_sq.v, m.v);
            u64 la[max_limbs], lb[max_limbs], out[max_limbs];
            to_limbs(la, a.v, n);
            to_limbs(lb, b.v, n);
            mont_mul_columns(out, la, lb, &c, n);
            from_limbs(got.v, out, n);
            EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << n << " limbs: column product";
            mont_sqr_columns(out, la, &c, n);
            from_limbs(got.v, out, n);
            EXPECT_EQ(mpz_cmp(got.v, want_sq.v), 0) << n << " limbs: column square";
            if (n == 16) {
                mont_sqr_columns(out, la, &c, limbs16{});
                from_limbs(got.v, out, n);
                EXPECT_EQ(mpz_cmp(got.v, want_sq.v), 0) << "fixed 16 limbs: column square";
            }
#if defined(__x86_64__)
            if (n % 4 == 0 && has_adx()) {
                mont_mul_rows(out, la, lb, &c, n);
                from_limbs(got.v, out, n);
                EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << n << " limbs: row product";
            }
#endif
        }
    }
}

}  // namespace
