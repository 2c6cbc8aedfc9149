// Every Montgomery kernel against GMP, and every exponentiation path against the portable
// one and GMP: the portable kernel at every size, the ADX kernel where the CPU has it, the
// radix-2^52 kernel on the scalar model of its lanes everywhere and on IFMA where the CPU
// has it. Moduli: random, just below 2^k, just above 2^(k-1); operands 0, 1, m - 1,
// random, and products whose Montgomery sum needs the final subtraction. Expected values
// come from GMP (mpz_mul, mpz_mod, mpz_invert, mpz_powm).
#include <gmp.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "montgomery.h"
#include "montgomery_ifma.h"
#include "montgomery_kernels.h"
#include "support.h"

namespace {

using test_support::Num;
using test_support::to_mpz;
using test_support::Z;
using u64 = std::uint64_t;

void to_limbs(u64 *out, const mpz_t x, int n) {
    for (int i = 0; i < n; i++) {
        out[i] = 0;
    }
    mpz_export(out, nullptr, -1, sizeof(u64), 0, 0, x);
}

void from_limbs(mpz_t out, const u64 *limbs, int n) {
    mpz_import(out, static_cast<std::size_t>(n), -1, sizeof(u64), 0, 0, limbs);
}

// Digits of 52 bits, one per limb, as GMP exports them with 12 nail bits.
void to_digits(u64 *out, const mpz_t x, int count) {
    for (int i = 0; i < count; i++) {
        out[i] = 0;
    }
    mpz_export(out, nullptr, -1, sizeof(u64), 0, 12, x);
}

void from_digits(mpz_t out, const u64 *digits, int count) {
    mpz_import(out, static_cast<std::size_t>(count), -1, sizeof(u64), 0, 12, digits);
}

void assign(Num *r, const mpz_t x) {
    std::vector<std::uint32_t> words((mpz_sizeinbase(x, 2) + 31) / 32 + 1, 0);
    std::size_t count = 0;
    mpz_export(words.data(), &count, -1, 4, 0, 0, x);
    words.resize(count);
    r->set(words);
}

// The moduli of n limbs: random (top limb random), 2^(64n) - 1 and 2^(64n) - 2^32 + 1
// (just below 2^k), 2^(64n - 1) + 1 and 2^(64n - 1) + 2^40 + 1 (just above 2^(k-1)), and
// a random one of a shorter top limb.
enum class Modulus { random, all_ones, below_power, above_half, above_half_2, short_top };

constexpr Modulus moduli[] = {Modulus::random,     Modulus::all_ones,     Modulus::below_power,
                              Modulus::above_half, Modulus::above_half_2, Modulus::short_top};

void make_modulus(mpz_t m, Modulus kind, int n, gmp_randstate_t rs) {
    const unsigned k = 64 * static_cast<unsigned>(n);
    Z t;
    switch (kind) {
        case Modulus::random:
            mpz_urandomb(m, rs, k);
            mpz_setbit(m, k - 1 - static_cast<unsigned>(gmp_urandomm_ui(rs, 8)));
            break;
        case Modulus::all_ones:
            mpz_set_ui(m, 0);
            mpz_setbit(m, k);
            mpz_sub_ui(m, m, 1);
            break;
        case Modulus::below_power:
            mpz_set_ui(m, 0);
            mpz_setbit(m, k);
            mpz_sub_ui(m, m, 1ul << 32);
            mpz_add_ui(m, m, 1);
            break;
        case Modulus::above_half:
            mpz_set_ui(m, 1);
            mpz_setbit(m, k - 1);
            break;
        case Modulus::above_half_2:
            mpz_set_ui(m, 1);
            mpz_setbit(m, 40);
            mpz_setbit(m, k - 1);
            break;
        case Modulus::short_top:
            mpz_urandomb(m, rs, k - 40);
            mpz_setbit(m, k - 41);
            break;
    }
    mpz_setbit(m, 0);
}

// The kernels on 64-bit limbs that this CPU runs for n limbs.
struct LimbKernel {
    const char *name;
    void (*mul)(u64 *, const u64 *, const u64 *, const montgomery_ctx *);
    void (*sqr)(u64 *, const u64 *, const montgomery_ctx *);
    bool runs(int n) const {
        return mul == montgomery_mul_portable || (n % 4 == 0 && montgomery_cpu_has_adx());
    }
};

constexpr LimbKernel limb_kernels[] = {
    {"portable", montgomery_mul_portable, montgomery_sqr_portable},
    {"adx", montgomery_mul_adx, montgomery_sqr_adx},
};

// The radix-2^52 kernels this CPU runs.
struct DigitKernel {
    const char *name;
    montgomery_kernel kernel;
    void (*mul)(u64 *, const u64 *, const u64 *, const montgomery_ctx *);
    void (*sqr)(u64 *, const u64 *, const montgomery_ctx *);
};

constexpr DigitKernel digit_kernels[] = {
    {"ifma (emulated lanes)", montgomery_kernel::ifma_emulated, montgomery_mul_ifma_emulated,
     montgomery_sqr_ifma_emulated},
    {"ifma", montgomery_kernel::ifma, montgomery_mul_ifma, montgomery_sqr_ifma},
};

class Kernels : public ::testing::Test {
   protected:
    void SetUp() override {
        gmp_randinit_mt(rs);
        gmp_randseed_ui(rs, 4096);
    }
    void TearDown() override {
        gmp_randclear(rs);
        montgomery_force_kernel(montgomery_kernel::automatic);
    }
    // Operand pairs below `bound` (m or 2m): (0, random), (1, random), (bound - 1,
    // bound - 1), (bound - 1, 1), random pairs, and pairs whose Montgomery sum
    // (a b + q m) / R is at least m, so that a kernel's final subtraction is needed, or
    // an almost reduced result lies in [m, 2m). With R = 2^64n such pairs are searched for;
    // with the larger R of the digit kernels they are rare, so for bound = 2m two are made:
    // (m, b), whose sum is exactly m, and (R b^-1 mod m, b), whose sum is m + 1. `found`
    // tells whether any pair at or above m turned up.
    std::vector<std::pair<std::string, std::string>> operands(const mpz_t bound, const mpz_t m,
                                                              unsigned r_bits, bool *found) {
        std::vector<std::pair<std::string, std::string>> pairs;
        Z a, b, top, r, minv, q, t;
        mpz_sub_ui(top.v, bound, 1);
        mpz_urandomm(b.v, rs, bound);
        pairs.emplace_back("0", b.str());
        pairs.emplace_back("1", b.str());
        pairs.emplace_back(top.str(), top.str());
        pairs.emplace_back(top.str(), "1");
        for (int k = 0; k < 6; k++) {
            mpz_urandomm(a.v, rs, bound);
            mpz_urandomm(b.v, rs, bound);
            pairs.emplace_back(a.str(), b.str());
        }
        mpz_setbit(r.v, r_bits);
        mpz_invert(minv.v, m, r.v);
        // q = -a b m^-1 mod R, sum = (a b + q m) / R.
        const auto sum_reaches_m = [&](const mpz_t x, const mpz_t y) {
            mpz_mul(t.v, x, y);
            mpz_mul(q.v, t.v, minv.v);
            mpz_neg(q.v, q.v);
            mpz_fdiv_r_2exp(q.v, q.v, r_bits);
            mpz_addmul(t.v, q.v, m);
            mpz_fdiv_q_2exp(t.v, t.v, r_bits);
            return mpz_cmp(t.v, m) >= 0;
        };
        *found = false;
        if (mpz_cmp(bound, m) > 0) {
            do {
                mpz_urandomm(b.v, rs, m);
            } while (mpz_invert(a.v, b.v, m) == 0);
            mpz_mul(a.v, a.v, r.v);
            mpz_mod(a.v, a.v, m);
            *found = sum_reaches_m(a.v, b.v) && sum_reaches_m(m, b.v);
            pairs.emplace_back(a.str(), b.str());
            mpz_set(a.v, m);
            pairs.emplace_back(a.str(), b.str());
        }
        for (int k = 0; k < 2000 && !*found; k++) {
            mpz_urandomm(a.v, rs, m);
            mpz_urandomm(b.v, rs, m);
            if (sum_reaches_m(a.v, b.v)) {
                pairs.emplace_back(a.str(), b.str());
                *found = true;
            }
        }
        return pairs;
    }
    gmp_randstate_t rs;
};

// want = a b 2^-r_bits mod m.
void montgomery_product(mpz_t want, const mpz_t a, const mpz_t b, const mpz_t m, unsigned r_bits) {
    Z r, rinv;
    mpz_setbit(r.v, r_bits);
    ASSERT_NE(mpz_invert(rinv.v, r.v, m), 0);
    mpz_mul(want, a, b);
    mpz_mul(want, want, rinv.v);
    mpz_mod(want, want, m);
}

TEST_F(Kernels, LimbKernelsAgainstGmp) {
    int with_subtraction = 0;
    for (int n = 2; n <= montgomery_max_limbs; n++) {
        for (Modulus kind : moduli) {
            Z m, rr;
            make_modulus(m.v, kind, n, rs);
            Num nm;
            assign(&nm, m.v);
            montgomery_ctx c;
            montgomery_ctx_init(&c, nm);
            ASSERT_EQ(c.n, n);
            mpz_setbit(rr.v, 128 * static_cast<unsigned>(n));
            mpz_mod(rr.v, rr.v, m.v);
            Z got;
            from_limbs(got.v, c.rr, n);
            EXPECT_EQ(mpz_cmp(got.v, rr.v), 0) << n << " limbs: R^2 mod m";
            bool found = false;
            for (const auto &[sa, sb] : operands(m.v, m.v, 64 * n, &found)) {
                Z a(sa), b(sb), want, want_sq;
                montgomery_product(want.v, a.v, b.v, m.v, 64 * n);
                montgomery_product(want_sq.v, a.v, a.v, m.v, 64 * n);
                u64 la[montgomery_max_limbs], lb[montgomery_max_limbs], out[montgomery_max_limbs];
                to_limbs(la, a.v, n);
                to_limbs(lb, b.v, n);
                for (const LimbKernel &k : limb_kernels) {
                    if (!k.runs(n)) {
                        continue;
                    }
                    SCOPED_TRACE(std::string(k.name) + ", " + std::to_string(n) +
                                 " limbs, a = " + sa + ", b = " + sb);
                    k.mul(out, la, lb, &c);
                    from_limbs(got.v, out, n);
                    EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "product";
                    k.sqr(out, la, &c);
                    from_limbs(got.v, out, n);
                    EXPECT_EQ(mpz_cmp(got.v, want_sq.v), 0) << "square";
                }
            }
            with_subtraction += found;
        }
    }
    EXPECT_GT(with_subtraction, 100) << "moduli with a product needing the final subtraction";
}

TEST_F(Kernels, DigitKernelsAgainstGmp) {
    for (const DigitKernel &k : digit_kernels) {
        if (montgomery_force_kernel(k.kernel) == 0) {
            continue;  // this CPU has no IFMA
        }
        for (int n : {16, 32}) {
            const int digits = montgomery_ifma_digits(n);
            const int lanes = (digits + 7) / 8 * 8;  // what the kernel reads and writes
            const unsigned r_bits = 52 * static_cast<unsigned>(digits);
            int with_subtraction = 0;
            for (Modulus kind : moduli) {
                Z m, two_m, rr;
                make_modulus(m.v, kind, n, rs);
                mpz_mul_2exp(two_m.v, m.v, 1);
                Num nm;
                assign(&nm, m.v);
                montgomery_ctx c;
                montgomery_ctx_init(&c, nm);
                ASSERT_EQ(c.kernel, k.kernel);
                ASSERT_EQ(c.digits, digits);
                mpz_setbit(rr.v, 2 * r_bits);
                mpz_mod(rr.v, rr.v, m.v);
                Z got;
                from_digits(got.v, c.rrd, digits);
                EXPECT_EQ(mpz_cmp(got.v, rr.v), 0) << n << " limbs: R^2 mod m in digits";
                from_digits(got.v, c.md, digits);
                EXPECT_EQ(mpz_cmp(got.v, m.v), 0) << n << " limbs: m in digits";
                // Inputs below 2m, as the exponentiation gives them.
                bool found = false;
                for (const auto &[sa, sb] : operands(two_m.v, m.v, r_bits, &found)) {
                    Z a(sa), b(sb), want, want_sq;
                    montgomery_product(want.v, a.v, b.v, m.v, r_bits);
                    montgomery_product(want_sq.v, a.v, a.v, m.v, r_bits);
                    u64 da[montgomery_max_digits], db[montgomery_max_digits],
                        out[montgomery_max_digits];
                    to_digits(da, a.v, lanes);
                    to_digits(db, b.v, lanes);
                    SCOPED_TRACE(std::string(k.name) + ", " + std::to_string(n) +
                                 " limbs, a = " + sa + ", b = " + sb);
                    for (int sq = 0; sq < 2; sq++) {
                        if (sq == 0) {
                            k.mul(out, da, db, &c);
                        } else {
                            k.sqr(out, da, &c);
                        }
                        for (int j = 0; j < lanes; j++) {
                            ASSERT_LT(out[j], u64{1} << 52) << "digit " << j << " not normalised";
                        }
                        from_digits(got.v, out, lanes);
                        EXPECT_LT(mpz_cmp(got.v, two_m.v), 0) << "not below 2m";
                        mpz_mod(got.v, got.v, m.v);
                        EXPECT_EQ(mpz_cmp(got.v, sq == 0 ? want.v : want_sq.v), 0)
                            << (sq == 0 ? "product" : "square");
                    }
                }
                with_subtraction += found;
            }
            EXPECT_EQ(with_subtraction, 6) << n << " limbs: results at or above m";
        }
    }
}

// 64-bit limbs to 52-bit digits and back, against GMP's export with nail bits.
TEST_F(Kernels, DigitConversions) {
    for (int n : {16, 32}) {
        Z m, x, got;
        make_modulus(m.v, Modulus::all_ones, n, rs);
        Num nm;
        assign(&nm, m.v);
        ASSERT_EQ(montgomery_force_kernel(montgomery_kernel::ifma_emulated), 1);
        montgomery_ctx c;
        montgomery_ctx_init(&c, nm);
        for (int round = 0; round < 20; round++) {
            if (round == 0) {
                mpz_set(x.v, m.v);
            } else {
                mpz_urandomb(x.v, rs, 64 * static_cast<unsigned>(n));
            }
            u64 limbs[montgomery_max_limbs], digits[montgomery_max_digits];
            u64 want[montgomery_max_digits];
            to_limbs(limbs, x.v, n);
            montgomery_to_digits(digits, limbs, &c);
            to_digits(want, x.v, montgomery_max_digits);
            for (int j = 0; j < (c.digits + 7) / 8 * 8; j++) {
                EXPECT_EQ(digits[j], want[j]) << n << " limbs, digit " << j;
            }
            montgomery_from_digits(limbs, digits, &c);
            from_limbs(got.v, limbs, n);
            EXPECT_EQ(mpz_cmp(got.v, x.v), 0) << n << " limbs: back to limbs";
        }
    }
}

// The whole exponentiation and the squaring through each path this CPU runs, from one
// context per modulus reused for every base and exponent, against mpz_powm and against
// the portable path.
TEST_F(Kernels, EveryPathAgainstPortableAndGmp) {
    constexpr montgomery_kernel paths[] = {montgomery_kernel::adx, montgomery_kernel::ifma,
                                           montgomery_kernel::ifma_emulated};
    for (int n : {2, 5, 8, 16, 32, 44}) {
        for (Modulus kind : moduli) {
            Z m;
            make_modulus(m.v, kind, n, rs);
            Num nm;
            assign(&nm, m.v);
            ASSERT_EQ(montgomery_force_kernel(montgomery_kernel::portable), 1);
            montgomery_ctx portable;
            montgomery_ctx_init(&portable, nm);
            ASSERT_EQ(portable.kernel, montgomery_kernel::portable);
            for (montgomery_kernel path : paths) {
                if (montgomery_force_kernel(path) == 0) {
                    continue;
                }
                montgomery_ctx c;
                montgomery_ctx_init(&c, nm);
                for (int round = 0; round < 4; round++) {
                    Z b, e, want, got;
                    if (round == 0) {
                        mpz_sub_ui(b.v, m.v, 1);
                    } else if (round == 1) {
                        mpz_set_ui(b.v, 0);
                    } else {
                        mpz_urandomb(b.v, rs, 64 * static_cast<unsigned>(n) + 30);  // may be >= m
                    }
                    mpz_urandomb(e.v, rs, 1 + static_cast<unsigned>(gmp_urandomm_ui(rs, 1100)));
                    mpz_setbit(e.v, 0);
                    mpz_powm(want.v, b.v, e.v, m.v);
                    Num nb, ne, r, rp;
                    assign(&nb, b.v);
                    assign(&ne, e.v);
                    montgomery_ctx_pow_mod(&c, r, nb, ne);
                    montgomery_ctx_pow_mod(&portable, rp, nb, ne);
                    to_mpz(r, got.v);
                    SCOPED_TRACE(std::to_string(n) + " limbs, kernel " +
                                 std::to_string(static_cast<int>(c.kernel)) + ", round " +
                                 std::to_string(round));
                    EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "power";
                    EXPECT_EQ(r.words(), rp.words()) << "power, against the portable path";
                    Num x;
                    assign(&x, want.v);
                    montgomery_ctx_square_mod(&c, x);
                    mpz_powm_ui(want.v, want.v, 2, m.v);
                    to_mpz(x, got.v);
                    EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "square";
                }
            }
        }
    }
}

// The hook refuses what the CPU cannot run and leaves the choice as it was.
TEST(KernelChoice, ForcingFollowsTheCpu) {
    EXPECT_EQ(montgomery_force_kernel(montgomery_kernel::portable), 1);
    EXPECT_EQ(montgomery_force_kernel(montgomery_kernel::ifma_emulated), 1);
    EXPECT_EQ(montgomery_force_kernel(montgomery_kernel::adx), montgomery_cpu_has_adx());
    EXPECT_EQ(montgomery_force_kernel(montgomery_kernel::ifma), montgomery_cpu_has_ifma());
    EXPECT_EQ(montgomery_force_kernel(montgomery_kernel::automatic), 1);
    Z zm;
    mpz_setbit(zm.v, 1024);
    mpz_sub_ui(zm.v, zm.v, 1105);  // odd, 16 limbs
    Num m;
    assign(&m, zm.v);
    montgomery_ctx c;
    montgomery_ctx_init(&c, m);
    if (montgomery_cpu_has_ifma()) {
        EXPECT_EQ(c.kernel, montgomery_kernel::ifma);
    } else {
        EXPECT_EQ(c.kernel,
                  montgomery_cpu_has_adx() ? montgomery_kernel::adx : montgomery_kernel::portable);
    }
}

}  // namespace
