// Modular arithmetic for odd moduli in Montgomery form (P. L. Montgomery, "Modular
// multiplication without trial division", Math. Comp. 44 (1985); HAC 14.32-14.36), on
// 64-bit limbs made from the 32-bit words of bignum records. Modular exponentiation and
// the Miller-Rabin squarings use it instead of a long division after every product.
//
// A modulus context holds what depends on the modulus alone (its limbs, -m^-1, R^2 mod m
// and the kernel chosen for this CPU), so that a caller with many operations modulo the
// same number (Miller-Rabin: one exponentiation and up to s - 1 squarings per trial, up to
// 100 trials per candidate) computes it once.
#pragma once

#include <cstdint>

#include "bignum.h"

// Largest modulus handled here, in 32-bit words (4096 bits). Larger moduli take the
// division path.
constexpr std::int32_t montgomery_max_words = 128;
constexpr int montgomery_max_limbs = montgomery_max_words / 2;
// Radix-2^52 digits of the vector kernel's largest modulus (2048 bits), a whole number of
// eight-lane vectors.
constexpr int montgomery_max_digits = 40;

// The multiplication kernels. automatic picks the fastest one the CPU runs for the
// modulus's size; the others are for tests and benchmarks (montgomery_force_kernel).
enum class montgomery_kernel {
    automatic,
    portable,       // column-wise product scanning in C++, on every CPU
    adx,            // x86-64 rows of mulx/adcx/adox (BMI2 and ADX), limb counts divisible by 4
    ifma,           // AVX-512 IFMA in radix 2^52, 1024- and 2048-bit sizes (16 and 32 limbs)
    ifma_emulated,  // the same digit loop on a scalar model of the vector lanes, only in
                    // the tests, benchmarks and fuzz target (montgomery_ifma_emulated.h)
};

// What the operations modulo one odd modulus m of n limbs share. Filled by
// montgomery_ctx_init; read-only afterwards.
struct montgomery_ctx {
    std::int32_t n;                 // limbs of m
    montgomery_kernel kernel;       // kernel of the exponentiation (never automatic)
    montgomery_kernel limb_kernel;  // portable or adx: the kernel on 64-bit limbs
    std::uint64_t m0inv;            // -m^-1 mod 2^64
    std::uint64_t m[montgomery_max_limbs];
    std::uint64_t rr[montgomery_max_limbs];  // R^2 mod m for R = 2^(64 n)
    // Radix 2^52, set for the ifma kernels only: m and 2^(104 digits) mod m in digits below
    // 2^52, zero-padded to whole vectors, and -m^-1 mod 2^52. md starts a cache line, so
    // that the kernels' vector loads of it are never split across two.
    std::int32_t digits;  // 20 for 16 limbs, 40 for 32 limbs
    std::uint64_t k0;
    alignas(64) std::uint64_t md[montgomery_max_digits];
    std::uint64_t rrd[montgomery_max_digits];
};

// 1 if modulus is odd, normalised and of 2 to montgomery_max_words words. A one-word
// modulus is left to the division path: its zero remainder has size 1, a form the
// Montgomery path does not track.
int montgomery_applies(const bignum *modulus);

// Sets c up for a modulus for which montgomery_applies.
void montgomery_ctx_init(montgomery_ctx *c, const bignum *modulus);

// result = base^exponent mod m, for a non-zero exponent. base and exponent are normalised
// (or zero) and of any length. The result is normalised, and zero has size 0: the forms a
// division by a modulus of two or more words gives. result may be the same record as base
// or exponent; no heap allocation happens per step, only one work record when base >= m.
// Constant time in the exponent: no branch and no memory address depends on its bits, from
// the first step to the normalised result; only its word count steers the work.
void montgomery_ctx_pow_mod(const montgomery_ctx *c, bignum *result, const bignum *base,
                            const bignum *exponent);

// x = x * x mod m, for x < m.
void montgomery_ctx_square_mod(const montgomery_ctx *c, bignum *x);

// The same two operations with a context made for the one call.
void montgomery_pow_mod(bignum *result, const bignum *base, const bignum *exponent,
                        const bignum *modulus);
void montgomery_square_mod(bignum *x, const bignum *modulus);

// 1 if this CPU runs the kernel: automatic and portable always run, ifma_emulated wherever
// the scalar model of the IFMA lanes is linked in (tests, benchmarks, fuzz target).
int montgomery_kernel_runs(montgomery_kernel k);

// Test and benchmark hook: contexts initialised from now on use kernel k where the
// modulus's size allows it, and what automatic would choose where it does not (with
// portable forced, every operation is portable). Returns 0 and changes nothing if the CPU
// does not run k. automatic restores the normal choice.
int montgomery_force_kernel(montgomery_kernel k);

// Test hook beside montgomery_force_kernel: while on is non-zero, contexts initialised from
// now on do all their 64-bit limb arithmetic (R^2 mod m, the conversions into the digit
// kernels' form, squaring, the limb exponentiation) with the portable kernel, whatever
// kernel is forced; the digit kernels are chosen as before. It lets the IFMA kernel be
// tested on a CPU, such as an emulator, whose ADX results cannot be trusted. 0 restores the
// normal choice.
void montgomery_force_portable_limbs(int on);
