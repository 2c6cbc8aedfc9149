// The exponentiation's table read, window value by window value: for every value v of a
// w-bit window (0 .. 2^w - 1), an exponent whose every whole window is v (its top bit set
// so that it is normalised) must give x^e mod m as GMP's mpz_powm computes it. A table
// entry built wrong, or a masked read that keeps the wrong entry, no entry or two entries
// for some value, changes the result for that v. Run at a one-word exponent (verify's
// size) and at 1024 and 2048 bits, through every kernel this CPU runs.
#include <gmp.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "montgomery.h"
#include "montgomery_kernels.h"
#include "support.h"

namespace {

using test_support::Num;
using test_support::to_mpz;
using test_support::Words;
using test_support::Z;

struct Kernel {
    montgomery_kernel kernel;
    const char *name;
};

constexpr Kernel kernels[] = {{montgomery_kernel::portable, "portable"},
                              {montgomery_kernel::adx, "adx"},
                              {montgomery_kernel::ifma, "ifma"},
                              {montgomery_kernel::ifma_emulated, "ifma_emulated"}};

Words random_words(std::size_t n, std::mt19937 &rng) {
    Words w(n);
    for (auto &x : w) {
        x = static_cast<std::uint32_t>(rng());
    }
    w.back() |= 0x80000000u;
    return w;
}

// Exponent words with value v in every window of w bits from bit 0 up, and the top bit set.
Words repeated_windows(std::size_t n, int w, unsigned v) {
    Words e(n, 0);
    const int bits = static_cast<int>(32 * n);
    for (int pos = 0; pos < bits; pos += w) {
        for (int b = 0; b < w && pos + b < bits; b++) {
            if ((v >> b & 1) != 0) {
                e[static_cast<std::size_t>(pos + b) / 32] |= 1u << ((pos + b) % 32);
            }
        }
    }
    e.back() |= 0x80000000u;
    return e;
}

class ForcedKernel : public testing::Test {
   protected:
    void TearDown() override {
        montgomery_force_kernel(montgomery_kernel::automatic);
    }
};

void check_every_window_value(int modulus_bits, std::size_t exponent_words) {
    std::mt19937 rng(static_cast<unsigned>(modulus_bits * 131 + exponent_words));
    const std::size_t mw = static_cast<std::size_t>(modulus_bits / 32);
    Words mword = random_words(mw, rng);
    mword[0] |= 1;
    Words bword = random_words(mw, rng);
    bword.back() &= 0x7FFFFFFFu;  // below the modulus
    Num m(mword), base(bword);
    Z zm, zb;
    to_mpz(m, zm.v);
    to_mpz(base, zb.v);
    const int w = montgomery_window_bits(static_cast<std::int32_t>(exponent_words));
    ASSERT_GE(w, 1);
    ASSERT_LE(w, 8);
    for (const Kernel &k : kernels) {
        if (montgomery_force_kernel(k.kernel) == 0) {
            continue;  // this CPU does not run it
        }
        for (unsigned v = 0; v < (1u << w); v++) {
            Num e(repeated_windows(exponent_words, w, v)), r;
            montgomery_pow_mod(r, base, e, m);
            Z ze, want, got;
            to_mpz(e, ze.v);
            mpz_powm(want.v, zb.v, ze.v, zm.v);
            to_mpz(r, got.v);
            EXPECT_EQ(got.str(), want.str())
                << k.name << " kernel, " << modulus_bits << "-bit modulus, exponent of "
                << exponent_words << " words, window " << w << " bits, value " << v;
        }
    }
    montgomery_force_kernel(montgomery_kernel::automatic);
}

TEST_F(ForcedKernel, EveryWindowValueOneWordExponent1024) {
    check_every_window_value(1024, 1);
}

TEST_F(ForcedKernel, EveryWindowValue1024) {
    check_every_window_value(1024, 32);
}

TEST_F(ForcedKernel, EveryWindowValue2048) {
    check_every_window_value(2048, 64);
}

}  // namespace
