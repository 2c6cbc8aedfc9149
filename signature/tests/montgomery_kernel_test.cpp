// Every Montgomery kernel against GMP, and every exponentiation path against the portable
// one and GMP: the portable kernel at every size, the ADX kernel where the CPU has it, the
// radix-2^52 kernel on the scalar model of its lanes everywhere and on IFMA where the CPU
// has it. Moduli: random, just below 2^k, just above 2^(k-1); operands 0, 1, m - 1,
// random, and products whose Montgomery sum needs the final subtraction. Expected values
// come from GMP (mpz_mul, mpz_mod, mpz_invert, mpz_powm). A planted carry fault in the
// digit loop shows that the comparison finds a wrong carry.
//
// Options after the GoogleTest ones:
//   --no-adx  the ADX kernel is run nowhere: its cases are skipped and every context does
//             its limb arithmetic on the portable kernel (for an emulator whose ADOX is
//             wrong, where the IFMA kernel is still to be tested);
//   --guest   a run small enough for an emulated CPU: 1024- and 2048-bit moduli only, and
//             a few exponentiations.
// Each test prints the kernels it checked ("kernel ifma: 96 results checked against
// GMP"); the program ends with the lines
//   montgomery kernels run: <kernels that gave checked results, in the order portable adx
//                           ifma_emulated ifma, or none>
//   planted carry faults found: <builds, ifma_emulated ifma, in which the planted fault was
//                               found and the unbroken build agreed, or none>
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "montgomery.h"
#include "montgomery_ifma.h"
#include "montgomery_ifma_emulated.h"
#include "montgomery_ifma_scalar_ops.h"
#include "montgomery_kernels.h"
#include "planted_carry_fault.h"
#include "support.h"

int planted_carry_step = -1;

namespace {

using test_support::Num;
using test_support::to_mpz;
using test_support::Z;
using u64 = std::uint64_t;
using MulFn = void (*)(u64 *, const u64 *, const u64 *, const montgomery_ctx *);
using SqrFn = void (*)(u64 *, const u64 *, const montgomery_ctx *);

// What the command line asked for (see the top of this file).
struct Options {
    bool no_adx = false;
    bool guest = false;
};
Options options;

// The names the output uses for the kernels, in the order of the closing line.
constexpr const char *kernel_names[] = {"portable", "adx", "ifma_emulated", "ifma"};

const char *name_of(montgomery_kernel k) {
    switch (k) {
        case montgomery_kernel::adx:
            return "adx";
        case montgomery_kernel::ifma_emulated:
            return "ifma_emulated";
        case montgomery_kernel::ifma:
            return "ifma";
        default:
            return "portable";
    }
}

// Which kernels gave results that a test compared with an independent value, per test
// (printed as the test ends) and for the whole run (printed by main), and in which builds
// the planted carry fault was found.
class RunRecord : public ::testing::EmptyTestEventListener {
   public:
    void checked(const std::string &kernel, int results) {
        in_test_[kernel] += results;
        if (results > 0) {
            in_run_.insert(kernel);
        }
    }
    void planted_fault_found(const std::string &build) {
        planted_.insert(build);
    }
    void OnTestEnd(const ::testing::TestInfo &) override {
        for (const char *k : kernel_names) {
            if (in_test_.count(k) != 0) {
                std::printf("kernel %s: %d results checked against GMP\n", k, in_test_[k]);
            }
        }
        in_test_.clear();
        std::fflush(stdout);
    }
    void print_totals() const {
        std::printf("montgomery kernels run:%s\n", listed(in_run_).c_str());
        std::printf("planted carry faults found:%s\n", listed(planted_).c_str());
        std::fflush(stdout);
    }

   private:
    static std::string listed(const std::set<std::string> &names) {
        std::string out;
        for (const char *k : kernel_names) {
            if (names.count(k) != 0) {
                out += std::string(" ") + k;
            }
        }
        return out.empty() ? " none" : out;
    }
    std::map<std::string, int> in_test_;
    std::set<std::string> in_run_, planted_;
};
RunRecord *run_record = nullptr;  // owned by GoogleTest's listener list

void record_checked(const char *kernel, int results) {
    if (run_record != nullptr) {
        run_record->checked(kernel, results);
    }
}

// The limb counts a test covers: the given ones, or only 16 and 32 (1024 and 2048 bits, the
// IFMA kernel's sizes) in a guest run.
std::vector<int> sizes(std::vector<int> all) {
    return options.guest ? std::vector<int>{16, 32} : all;
}

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
        return mul == montgomery_mul_portable ||
               (n % 4 == 0 && montgomery_cpu_has_adx() && !options.no_adx);
    }
};

constexpr LimbKernel limb_kernels[] = {
    {"portable", montgomery_mul_portable, montgomery_sqr_portable},
    {"adx", montgomery_mul_adx, montgomery_sqr_adx},
};

// The radix-2^52 kernels, each run with contexts made for `kernel`.
struct DigitKernel {
    const char *name;
    montgomery_kernel kernel;
    MulFn mul;
    SqrFn sqr;
};

constexpr DigitKernel digit_kernels[] = {
    {"ifma_emulated", montgomery_kernel::ifma_emulated, montgomery_mul_ifma_emulated,
     montgomery_sqr_ifma_emulated},
    {"ifma", montgomery_kernel::ifma, montgomery_mul_ifma, montgomery_sqr_ifma},
};

// What a digit kernel gave over the moduli and operands of one size.
struct DigitReport {
    int results = 0;           // products and squares compared
    int wrong = 0;             // of them not normalised, not below 2m, or not right mod m
    int with_subtraction = 0;  // moduli with a pair whose result lies in [m, 2m)
    std::string first_wrong;   // what the first wrong one was, and its operands
    int portable_results = 0;  // the portable kernel's products and squares, against GMP
    int portable_wrong = 0;
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

// "" if the digits `out` (lanes of them) are normalised, below 2m and congruent to `want`
// mod m, else what is wrong with them.
std::string digit_error(const u64 *out, int lanes, const mpz_t m, const mpz_t want) {
    for (int j = 0; j < lanes; j++) {
        if (out[j] >> 52 != 0) {
            return "digit " + std::to_string(j) + " not normalised";
        }
    }
    Z got, two_m;
    from_digits(got.v, out, lanes);
    mpz_mul_2exp(two_m.v, m, 1);
    if (mpz_cmp(got.v, two_m.v) >= 0) {
        return "not below 2m";
    }
    mpz_mod(got.v, got.v, m);
    return mpz_cmp(got.v, want) == 0 ? "" : "wrong mod m";
}

// 1 if the digit result `out` (a b 2^(-52 digits)), times 2^(52 digits - 64 n), is the
// portable kernel's result `limbs` (a b 2^(-64 n)) mod m.
bool agrees_with_portable(const u64 *out, int lanes, const u64 *limbs, int n, const mpz_t m) {
    Z got, portable;
    from_digits(got.v, out, lanes);
    mpz_mul_2exp(got.v, got.v, static_cast<unsigned>(52 * montgomery_ifma_digits(n) - 64 * n));
    mpz_mod(got.v, got.v, m);
    from_limbs(portable.v, limbs, n);
    return mpz_cmp(got.v, portable.v) == 0;
}

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

    // A digit kernel against GMP, and against the portable kernel on the same operands
    // reduced below m, over the six moduli of n limbs and operands below 2m (as the
    // exponentiation gives them); the contexts are made with `kernel` forced. The
    // portable kernel's own results are checked against GMP as well.
    DigitReport check_digit_kernel(MulFn mul, SqrFn sqr, montgomery_kernel kernel, int n) {
        DigitReport rep;
        const int digits = montgomery_ifma_digits(n);
        const unsigned r_bits = 52 * static_cast<unsigned>(digits);
        EXPECT_EQ(montgomery_force_kernel(kernel), 1);
        for (Modulus kind : moduli) {
            Z m, two_m;
            make_modulus(m.v, kind, n, rs);
            mpz_mul_2exp(two_m.v, m.v, 1);
            montgomery_ctx c;
            init_digit_context(&c, m.v, kernel, digits, r_bits);
            bool found = false;
            for (const auto &[sa, sb] : operands(two_m.v, m.v, r_bits, &found)) {
                const bool none_wrong_yet = rep.wrong == 0;
                check_pair(&rep, mul, sqr, c, Z(sa), Z(sb), m.v);
                if (none_wrong_yet && rep.wrong > 0) {
                    rep.first_wrong +=
                        ", " + std::to_string(n) + " limbs, a = " + sa + ", b = " + sb;
                }
            }
            rep.with_subtraction += found;
        }
        return rep;
    }

    gmp_randstate_t rs;

   private:
    // c for m with `kernel` forced, and its digit form checked against GMP.
    static void init_digit_context(montgomery_ctx *c, const mpz_t m, montgomery_kernel kernel,
                                   int digits, unsigned r_bits) {
        Num nm;
        assign(&nm, m);
        montgomery_ctx_init(c, nm);
        EXPECT_EQ(c->kernel, kernel);
        EXPECT_EQ(c->digits, digits);
        Z rr, got;
        mpz_setbit(rr.v, 2 * r_bits);
        mpz_mod(rr.v, rr.v, m);
        from_digits(got.v, c->rrd, digits);
        EXPECT_EQ(mpz_cmp(got.v, rr.v), 0) << "R^2 mod m in digits";
        from_digits(got.v, c->md, digits);
        EXPECT_EQ(mpz_cmp(got.v, m), 0) << "m in digits";
    }

    // The product and the square of one operand pair (below 2m) into rep.
    static void check_pair(DigitReport *rep, MulFn mul, SqrFn sqr, const montgomery_ctx &c,
                           const Z &a, const Z &b, const mpz_t m) {
        const int n = c.n, lanes = (c.digits + 7) / 8 * 8;
        u64 da[montgomery_max_digits], db[montgomery_max_digits], out[montgomery_max_digits];
        u64 la[montgomery_max_limbs], lb[montgomery_max_limbs], lout[montgomery_max_limbs];
        to_digits(da, a.v, lanes);
        to_digits(db, b.v, lanes);
        Z ar, br;  // below m, for the portable kernel
        mpz_mod(ar.v, a.v, m);
        mpz_mod(br.v, b.v, m);
        to_limbs(la, ar.v, n);
        to_limbs(lb, br.v, n);
        for (int sq = 0; sq < 2; sq++) {
            const mpz_srcptr y = sq == 0 ? b.v : a.v;
            Z want, want_limbs, got;
            montgomery_product(want.v, a.v, y, m, 52 * static_cast<unsigned>(c.digits));
            montgomery_product(want_limbs.v, a.v, y, m, 64 * static_cast<unsigned>(n));
            if (sq == 0) {
                mul(out, da, db, &c);
                montgomery_mul_portable(lout, la, lb, &c);
            } else {
                sqr(out, da, &c);
                montgomery_sqr_portable(lout, la, &c);
            }
            from_limbs(got.v, lout, n);
            rep->portable_results++;
            rep->portable_wrong += mpz_cmp(got.v, want_limbs.v) != 0;
            std::string why = digit_error(out, lanes, m, want.v);
            if (why.empty() && !agrees_with_portable(out, lanes, lout, n, m)) {
                why = "differs from the portable kernel";
            }
            rep->results++;
            if (!why.empty()) {
                rep->wrong++;
                if (rep->first_wrong.empty()) {
                    rep->first_wrong = (sq == 0 ? "product: " : "square: ") + why;
                }
            }
        }
    }
};

TEST_F(Kernels, LimbKernelsAgainstGmp) {
    std::vector<int> every_size;
    for (int n = 2; n <= montgomery_max_limbs; n++) {
        every_size.push_back(n);
    }
    int with_subtraction = 0, moduli_tried = 0;
    for (int n : sizes(every_size)) {
        for (Modulus kind : moduli) {
            moduli_tried++;
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
                    record_checked(k.name, 2);
                }
            }
            with_subtraction += found;
        }
    }
    // The search finds such a product for about five moduli in six.
    EXPECT_GT(with_subtraction, moduli_tried / 2)
        << "moduli with a product needing the final subtraction";
    std::printf("limb kernels: %d of %d moduli with a product needing the final subtraction\n",
                with_subtraction, moduli_tried);
}

TEST_F(Kernels, DigitKernelsAgainstGmp) {
    for (const DigitKernel &k : digit_kernels) {
        if (montgomery_kernel_runs(k.kernel) == 0) {
            std::printf("kernel %s not run: this CPU has no AVX-512 IFMA\n", k.name);
            continue;
        }
        for (int n : {16, 32}) {
            const DigitReport rep = check_digit_kernel(k.mul, k.sqr, k.kernel, n);
            EXPECT_EQ(rep.wrong, 0) << k.name << ": " << rep.wrong << " of " << rep.results
                                    << " results wrong; first: " << rep.first_wrong;
            EXPECT_EQ(rep.with_subtraction, 6) << n << " limbs: results at or above m";
            EXPECT_EQ(rep.portable_wrong, 0) << "portable kernel, " << n << " limbs";
            record_checked(k.name, rep.results);
            record_checked("portable", rep.portable_results);
        }
    }
}

// The same comparison finds a carry dropped in the last step of the digit loop, built over
// the scalar lane model here and over the real IFMA instructions where the CPU has them;
// the same builds with no carry dropped pass it, so the check can fail both ways.
TEST_F(Kernels, PlantedCarryFaultIsFound) {
    const DigitKernel builds[] = {
        {"ifma_emulated", montgomery_kernel::ifma_emulated, planted_amm<scalar_ops>,
         planted_ams<scalar_ops>},
        {"ifma", montgomery_kernel::ifma, planted_mul_ifma, planted_sqr_ifma},
    };
    for (const DigitKernel &k : builds) {
        if (montgomery_kernel_runs(k.kernel) == 0) {
            std::printf("planted carry fault in %s not run: this CPU has no AVX-512 IFMA\n",
                        k.name);
            continue;
        }
        bool found_everywhere = true;
        for (int n : {16, 32}) {
            // Both builds on the same moduli and operands.
            planted_carry_step = -1;
            gmp_randseed_ui(rs, 4096 + static_cast<unsigned>(n));
            const DigitReport sound = check_digit_kernel(k.mul, k.sqr, k.kernel, n);
            planted_carry_step = montgomery_ifma_digits(n) - 1;
            gmp_randseed_ui(rs, 4096 + static_cast<unsigned>(n));
            const DigitReport broken = check_digit_kernel(k.mul, k.sqr, k.kernel, n);
            planted_carry_step = -1;
            std::printf(
                "planted carry fault, %s build, %d bits: found in %d of %d results; "
                "unbroken build: %d of %d wrong\n",
                k.name, 64 * n, broken.wrong, broken.results, sound.wrong, sound.results);
            EXPECT_EQ(sound.wrong, 0) << k.name << ", unbroken build: " << sound.first_wrong;
            EXPECT_GT(broken.wrong, 0) << k.name << ", " << n << " limbs: planted fault not found";
            EXPECT_EQ(sound.portable_wrong + broken.portable_wrong, 0) << "portable kernel";
            found_everywhere = found_everywhere && sound.wrong == 0 && broken.wrong > 0;
        }
        if (found_everywhere && run_record != nullptr) {
            run_record->planted_fault_found(k.name);
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
// The exponentiation paths a test forces: `always` on every run, then on the host (a guest
// run is kept to them) the emulated IFMA kernel and, unless --no-adx, the ADX kernel. A
// path the CPU does not run is refused by montgomery_force_kernel and skipped.
std::vector<montgomery_kernel> paths_with(std::vector<montgomery_kernel> always) {
    if (!options.guest) {
        always.push_back(montgomery_kernel::ifma_emulated);
        if (!options.no_adx) {
            always.push_back(montgomery_kernel::adx);
        }
    }
    return always;
}

TEST_F(Kernels, EveryPathAgainstPortableAndGmp) {
    const std::vector<montgomery_kernel> paths = paths_with({montgomery_kernel::ifma});
    for (int n : sizes({2, 5, 8, 16, 32, 44})) {
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
                    SCOPED_TRACE(std::to_string(n) + " limbs, kernel " + name_of(c.kernel) +
                                 ", round " + std::to_string(round));
                    to_mpz(r, got.v);
                    EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "power";
                    EXPECT_EQ(r.words(), rp.words()) << "power, against the portable path";
                    to_mpz(rp, got.v);
                    EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "power on the portable path";
                    Num x;
                    assign(&x, want.v);
                    montgomery_ctx_square_mod(&c, x);
                    mpz_powm_ui(want.v, want.v, 2, m.v);
                    to_mpz(x, got.v);
                    EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << "square";
                    record_checked(name_of(c.kernel), 1);
                    record_checked("portable", 1);
                    record_checked(name_of(c.limb_kernel), 1);  // the square
                }
            }
        }
    }
}

// Powers that are 0 mod m although no step is 0: m = s^2 (s odd), base s or a multiple of
// it, exponent at least 2. The digit kernels keep every value below 2m, so such a power
// may reach its last step as m itself, and only the final subtraction makes it 0.
TEST_F(Kernels, PowersThatVanishModuloASquare) {
    const std::vector<montgomery_kernel> paths =
        paths_with({montgomery_kernel::portable, montgomery_kernel::ifma});
    for (int n : {16, 32}) {  // the sizes of the digit kernels
        Z s, m;
        mpz_urandomb(s.v, rs, 32 * static_cast<unsigned>(n));
        mpz_setbit(s.v, 32 * static_cast<unsigned>(n) - 1);
        mpz_setbit(s.v, 0);
        mpz_mul(m.v, s.v, s.v);
        Num nm;
        assign(&nm, m.v);
        for (montgomery_kernel path : paths) {
            if (montgomery_force_kernel(path) == 0) {
                continue;
            }
            montgomery_ctx c;
            montgomery_ctx_init(&c, nm);
            for (int round = 0; round < 6; round++) {
                Z b, e, want, got;
                mpz_urandomb(b.v, rs, 64);
                mpz_mul(b.v, b.v, s.v);  // a multiple of s, below m
                mpz_set_ui(e.v, round < 2 ? 2 + round : 0);
                if (round >= 2) {
                    mpz_urandomb(e.v, rs, 2 + static_cast<unsigned>(gmp_urandomm_ui(rs, 1100)));
                    mpz_setbit(e.v, 1);
                }
                mpz_powm(want.v, b.v, e.v, m.v);
                ASSERT_EQ(mpz_sgn(want.v), 0);
                Num nb, ne, r;
                assign(&nb, b.v);
                assign(&ne, e.v);
                montgomery_ctx_pow_mod(&c, r, nb, ne);
                to_mpz(r, got.v);
                EXPECT_EQ(mpz_sgn(got.v), 0)
                    << n << " limbs, kernel " << name_of(c.kernel) << ", round " << round;
                record_checked(name_of(c.kernel), 1);
            }
        }
    }
    montgomery_force_kernel(montgomery_kernel::automatic);
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
    const montgomery_kernel limbs = montgomery_cpu_has_adx() && !options.no_adx
                                        ? montgomery_kernel::adx
                                        : montgomery_kernel::portable;
    EXPECT_EQ(c.limb_kernel, limbs);
    EXPECT_EQ(c.kernel, montgomery_cpu_has_ifma() ? montgomery_kernel::ifma : limbs);
}

// montgomery_force_portable_limbs: on, every context does its limb arithmetic on the
// portable kernel whatever is forced, with the digit kernels chosen as before and R^2 mod m
// still right (against GMP); off, the normal choice is back.
TEST(KernelChoice, PortableLimbsHook) {
    Z zm, rr, got;
    mpz_setbit(zm.v, 1024);
    mpz_sub_ui(zm.v, zm.v, 1105);  // odd, 16 limbs
    mpz_setbit(rr.v, 2048);
    mpz_mod(rr.v, rr.v, zm.v);
    Num m;
    assign(&m, zm.v);
    montgomery_force_portable_limbs(1);
    for (montgomery_kernel k : {montgomery_kernel::automatic, montgomery_kernel::adx,
                                montgomery_kernel::ifma, montgomery_kernel::ifma_emulated}) {
        if (montgomery_force_kernel(k) == 0) {
            continue;
        }
        montgomery_ctx c;
        montgomery_ctx_init(&c, m);
        SCOPED_TRACE(std::string("forced ") + name_of(k));
        EXPECT_EQ(c.limb_kernel, montgomery_kernel::portable);
        if (k == montgomery_kernel::ifma || k == montgomery_kernel::ifma_emulated) {
            EXPECT_EQ(c.kernel, k);
        } else if (k == montgomery_kernel::automatic && montgomery_cpu_has_ifma()) {
            EXPECT_EQ(c.kernel, montgomery_kernel::ifma);
        } else {  // the limb kernel, portable
            EXPECT_EQ(c.kernel, montgomery_kernel::portable);
        }
        from_limbs(got.v, c.rr, 16);
        EXPECT_EQ(mpz_cmp(got.v, rr.v), 0) << "R^2 mod m";
    }
    if (!options.no_adx) {  // the normal choice may run the ADX kernel
        montgomery_force_portable_limbs(0);
        ASSERT_EQ(montgomery_force_kernel(montgomery_kernel::ifma_emulated), 1);
        montgomery_ctx c;
        montgomery_ctx_init(&c, m);
        EXPECT_EQ(c.limb_kernel,
                  montgomery_cpu_has_adx() ? montgomery_kernel::adx : montgomery_kernel::portable);
        EXPECT_EQ(c.kernel, montgomery_kernel::ifma_emulated);
    }
    montgomery_force_portable_limbs(options.no_adx ? 1 : 0);
    montgomery_force_kernel(montgomery_kernel::automatic);
}

}  // namespace

// GoogleTest's options first, then this program's (see the top of the file).
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; i++) {
        const std::string_view arg = argv[i];
        if (arg == "--no-adx") {
            options.no_adx = true;
        } else if (arg == "--guest") {
            options.guest = true;
        } else {
            std::fprintf(stderr, "%s: unknown option %s (known: --no-adx, --guest)\n", argv[0],
                         argv[i]);
            return 2;
        }
    }
    // Listing the tests (as CTest's discovery does) prints nothing else.
    const bool listing = GTEST_FLAG_GET(list_tests);
    if (options.no_adx) {
        montgomery_force_portable_limbs(1);
        if (!listing) {
            std::printf(
                "ADX kernel left out: this CPU's ADOX results are not trusted "
                "(emulator)\n");
        }
    }
    if (options.guest && !listing) {
        std::printf(
            "guest-sized run: 1024- and 2048-bit moduli, the IFMA exponentiation "
            "path only\n");
    }
    run_record = new RunRecord;
    ::testing::UnitTest::GetInstance()->listeners().Append(run_record);
    const int status = RUN_ALL_TESTS();
    if (!listing) {
        run_record->print_totals();
    }
    return status;
}
