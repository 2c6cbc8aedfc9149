// The small-prime table, the small factors found on their own and by sieving, and the
// Miller-Rabin trial modulo a small factor, all checked against GMP.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "small_primes.h"
#include "support.h"

namespace {

using test_support::Num;
using test_support::Z;

// The small primes that divide n, by GMP.
std::vector<std::uint32_t> gmp_small_factors(const mpz_t n) {
    std::vector<std::uint32_t> fs;
    for (std::uint32_t f : small_primes) {
        if (mpz_divisible_ui_p(n, f) && fs.size() < small_factor_max) {
            fs.push_back(f);
        }
    }
    return fs;
}

std::vector<std::uint32_t> listed(const small_factors *factors) {
    return std::vector<std::uint32_t>(factors->f, factors->f + factors->count);
}

TEST(SmallPrimes, TableIsEveryOddPrimeBelowTheBound) {
    Z p;
    mpz_set_ui(p.v, 3);
    for (std::uint32_t f : small_primes) {
        ASSERT_EQ(mpz_cmp_ui(p.v, f), 0) << "expected " << p.str();
        mpz_nextprime(p.v, p.v);
    }
    EXPECT_GE(mpz_cmp_ui(p.v, small_prime_bound), 0) << "the next prime, " << p.str();
}

TEST(SmallPrimes, FactorsOnTheirOwnAndBySievingMatchGmp) {
    // Starts: a random odd 1023-bit value, one with many small factors, and 1, whose run
    // 1, 3, 5, ... passes through the small primes themselves. 1100 candidates cross two
    // window boundaries.
    gmp_randstate_t rs;
    gmp_randinit_mt(rs);
    gmp_randseed_ui(rs, 2024);
    Z random_start, smooth_start;
    mpz_urandomb(random_start.v, rs, 1023);
    mpz_setbit(random_start.v, 0);
    mpz_primorial_ui(smooth_start.v, 100);
    mpz_divexact_ui(smooth_start.v, smooth_start.v, 2);  // 3 * 5 * ... * 97
    gmp_randclear(rs);
    auto sieve = std::make_unique<candidate_sieve>();
    for (const std::string &start : {random_start.str(), smooth_start.str(), std::string("1")}) {
        Num n(start.c_str());
        Z candidate(start);
        candidate_sieve_start(sieve.get(), n);
        for (int k = 0; k < 1100; k++) {
            const std::vector<std::uint32_t> want = gmp_small_factors(candidate.v);
            ASSERT_EQ(listed(candidate_sieve_factors(sieve.get(), k)), want)
                << "candidate " << k << " from " << start;
            if (k % 97 == 0) {
                small_factors own;
                small_factors_of(Num(candidate.str().c_str()), &own);
                ASSERT_EQ(listed(&own), want) << candidate.str();
            }
            mpz_add_ui(candidate.v, candidate.v, 2);
        }
    }
}

// The Miller-Rabin trial with witness a by GMP: true if it fails, that is if a^d mod n is
// not 1 and neither it nor any of its s - 1 squarings is n - 1.
bool gmp_trial_fails(const mpz_t n, const mpz_t a, const mpz_t d, int s) {
    Z x, u;
    mpz_sub_ui(u.v, n, 1);
    mpz_powm(x.v, a, d, n);
    if (mpz_cmp_ui(x.v, 1) == 0) {
        return false;
    }
    for (int j = 0; j < s; j++) {
        if (mpz_cmp(x.v, u.v) == 0) {
            return false;
        }
        mpz_powm_ui(x.v, x.v, 2, n);
    }
    return true;
}

enum class witness {
    random,          // uniform in 2 .. n - 2
    edge,            // 0, 1, n - 1, f, 2 f, a multiple of f below n, in turn
    one_liar,        // a = 1 mod m and a^d = 1 mod f, a != 1 where d allows: a^d = 1 mod n
    minus_one_liar,  // of order 2^(level + 1) modulo both primes f and m: a^(d 2^level) = -1
};

// x = the residue r_f mod f and r_m mod m, for coprime f and m.
void crt(mpz_t x, std::uint32_t f, const mpz_t r_f, const mpz_t m, const mpz_t r_m) {
    Z inv, zf;
    mpz_set_ui(zf.v, f);
    mpz_invert(inv.v, m, zf.v);
    mpz_sub(x, r_f, r_m);
    mpz_mul(x, x, inv.v);
    mpz_mod_ui(x, x, f);
    mpz_mul(x, x, m);
    mpz_add(x, x, r_m);
}

// An element of order 2^(level + 1) modulo the prime p = 1 (mod 2^(level + 1)): z^((p - 1)
// / 2^(level + 1)) for a quadratic non-residue z.
void two_power_root(mpz_t r, const mpz_t p, int level, gmp_randstate_t rs) {
    Z z, e;
    do {
        mpz_urandomm(z.v, rs, p);
    } while (mpz_legendre(z.v, p) != -1);
    mpz_sub_ui(e.v, p, 1);
    mpz_fdiv_q_2exp(e.v, e.v, level + 1);
    mpz_powm(r, z.v, e.v, p);
}

// A random prime of bits bits that is 1 (mod 2^(level + 1)).
void random_prime_one_mod(mpz_t m, unsigned bits, int level, gmp_randstate_t rs) {
    do {
        mpz_urandomb(m, rs, bits);
        mpz_setbit(m, bits - 1);
        mpz_fdiv_q_2exp(m, m, level + 1);
        mpz_mul_2exp(m, m, level + 1);
        mpz_add_ui(m, m, 1);
    } while (mpz_probab_prime_p(m, 30) == 0);
}

void make_witness(mpz_t a, witness kind, int level, int w, std::uint32_t f, const mpz_t m,
                  const mpz_t n, const mpz_t d, gmp_randstate_t rs) {
    Z t, r_f, r_m, zf;
    mpz_set_ui(zf.v, f);
    switch (kind) {
        case witness::random:
            mpz_sub_ui(t.v, n, 3);
            mpz_urandomm(a, rs, t.v);
            mpz_add_ui(a, a, 2);
            return;
        case witness::edge: {
            const unsigned long small[] = {0, 1, 0, f, 2ul * f};
            mpz_set_ui(a, small[w % 6 < 5 ? w % 6 : 0]);
            if (w % 6 == 2) {
                mpz_sub_ui(a, n, 1);
            } else if (w % 6 == 5) {
                mpz_urandomm(a, rs, n);
                mpz_sub_ui(a, a, mpz_fdiv_ui(a, f));
            }
            mpz_mod(a, a, n);
            return;
        }
        case witness::one_liar: {
            // t = z^((f - 1) / g) with g = gcd(d, f - 1) has t^d = 1 (mod f); a few tries
            // find a z for which t is not 1 when g > 1.
            const unsigned long g = mpz_gcd_ui(nullptr, d, f - 1);
            for (int tries = 0; tries < 20; tries++) {
                mpz_set_ui(r_f.v, 2 + gmp_urandomm_ui(rs, f - 2));
                mpz_powm_ui(r_f.v, r_f.v, (f - 1) / g, zf.v);
                if (mpz_cmp_ui(r_f.v, 1) != 0) {
                    break;
                }
            }
            mpz_set_ui(r_m.v, 1);
            crt(a, f, r_f.v, m, r_m.v);
            return;
        }
        case witness::minus_one_liar:
            two_power_root(r_f.v, zf.v, level, rs);
            two_power_root(r_m.v, m, level, rs);
            crt(a, f, r_f.v, m, r_m.v);
            return;
    }
}

TEST(SmallPrimes, TrialFailsModuloAFactorOnlyWhenItFailsModuloN) {
    gmp_randstate_t rs;
    gmp_randinit_mt(rs);
    gmp_randseed_ui(rs, 77);
    // n = f m: f a small prime (0: a random one from the table for each sample), m an odd
    // cofactor of cofactor_bits (a prime for the -1 liars; 0 bits: m = 1 and n = f is a
    // prime, for which no trial with a witness other than 0 fails). n - 1 = d 2^s.
    const struct {
        std::uint32_t f;
        unsigned cofactor_bits;
        witness kind;
        int level, samples;
    } cases[] = {
        {0, 1023, witness::random, 0, 600},
        {0, 64, witness::random, 0, 400},
        {3, 1023, witness::random, 0, 100},
        {5, 1023, witness::random, 0, 100},
        {65521, 16, witness::random, 0, 100},
        {3, 2, witness::random, 0, 20},
        {13, 0, witness::random, 0, 20},
        {65521, 0, witness::random, 0, 50},
        {0, 1023, witness::edge, 0, 120},
        {0, 0, witness::edge, 0, 60},
        {3, 2, witness::edge, 0, 12},
        {65521, 1023, witness::one_liar, 0, 60},
        {0, 300, witness::one_liar, 0, 100},
        {5, 256, witness::minus_one_liar, 1, 20},
        {13, 256, witness::minus_one_liar, 1, 20},
        {17, 256, witness::minus_one_liar, 3, 20},
        {65521, 256, witness::minus_one_liar, 2, 20},
        {65521, 256, witness::minus_one_liar, 3, 20},
    };
    int random_fired = 0, random_total = 0;
    for (const auto &c : cases) {
        for (int w = 0; w < c.samples; w++) {
            const std::uint32_t f =
                c.f != 0 ? c.f : small_primes[gmp_urandomm_ui(rs, small_prime_count)];
            Z m, n, d, u, a;
            mpz_set_ui(m.v, 1);
            if (c.kind == witness::minus_one_liar) {
                random_prime_one_mod(m.v, c.cofactor_bits, c.level, rs);
            } else if (c.cofactor_bits > 0) {
                mpz_urandomb(m.v, rs, c.cofactor_bits);
                mpz_setbit(m.v, 0);
            }
            mpz_mul_ui(n.v, m.v, f);
            if (mpz_cmp_ui(n.v, 3) <= 0 || mpz_divisible_ui_p(m.v, f)) {
                continue;  // n - 1 = d 2^s needs n >= 3; the liars need f and m coprime
            }
            mpz_sub_ui(u.v, n.v, 1);
            const int s = static_cast<int>(mpz_scan1(u.v, 0));
            mpz_fdiv_q_2exp(d.v, u.v, s);
            make_witness(a.v, c.kind, c.level, w, f, m.v, n.v, d.v, rs);

            Num ours_n(n.str().c_str()), ours_a(a.str().c_str()), ours_d(d.str().c_str());
            small_factors factors;
            small_factors_of(ours_n, &factors);
            const bool fired = small_factor_trial_fails(&factors, ours_a, ours_d, s) != 0;
            const bool fails = gmp_trial_fails(n.v, a.v, d.v, s);
            if (fired) {
                EXPECT_TRUE(fails) << "a = " << a.str() << ", n = " << n.str();
            }
            // The liars and the primes' witnesses pass: checks of the cases themselves.
            if (c.kind == witness::one_liar || c.kind == witness::minus_one_liar ||
                (c.cofactor_bits == 0 && mpz_sgn(a.v) != 0)) {
                EXPECT_FALSE(fails) << "a = " << a.str() << ", n = " << n.str();
            }
            if (c.kind == witness::random && c.f == 0) {
                random_fired += fired;
                random_total++;
            }
        }
    }
    gmp_randclear(rs);
    // Modulo a prime f a trial passes only for the witnesses whose a^d is 1 or meets f - 1
    // among its squarings; for the large f that a random table entry mostly is, few
    // witnesses do, so the check fires for nearly all random witnesses.
    EXPECT_GT(random_fired, random_total * 9 / 10) << random_fired << " of " << random_total;
    std::printf("fired %d of %d\n", random_fired, random_total);
}

}  // namespace
