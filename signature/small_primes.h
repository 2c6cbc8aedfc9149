// The odd primes below small_prime_bound, the small prime factors of a big number and of a
// run of odd candidates (by sieving), and the Miller-Rabin trial taken modulo them. Key
// generation uses these to skip the exponentiation of a trial whose failure a small prime
// factor of the candidate already proves.
#pragma once

#include <array>
#include <cstdint>

#include "bignum.h"

// A larger bound finds more factors, and so skips more exponentiations, but makes each
// run of candidates cost more to sieve. On the program's key generation 2^18 skips 527 of
// its 840 exponentiations for about 1.7 ms of sieving (65536: 508 for 0.4 ms; 2^20: 540
// for 6 ms).
constexpr std::uint32_t small_prime_bound = 262144;
constexpr int small_prime_count = 22999;

// 3, 5, 7, ... in increasing order: every odd prime below small_prime_bound.
extern const std::array<std::uint32_t, small_prime_count> small_primes;

// Small primes that divide a number, in increasing order. Only the first small_factor_max
// are kept: each one on its own is a proof, so a shorter list only proves less often.
constexpr int small_factor_max = 32;
struct small_factors {
    int count;
    std::uint32_t f[small_factor_max];
};

// factors = the small primes that divide n. n need not be normalised.
void small_factors_of(const bignum *n, small_factors *factors);

// The small prime factors of the candidates n, n + 2, n + 4, ..., sieved sieve_window
// candidates at a time: each prime marks the candidates of the window that it divides.
constexpr int sieve_window = 512;
struct candidate_sieve {
    int start;  // index k of the window's first candidate n + 2 k
    // For each prime, the index of the next candidate it divides, counted from start.
    std::uint32_t next[small_prime_count];
    small_factors factors[sieve_window];
};

// Sets up sieve for the candidates n + 2 k, k = 0, 1, 2, ...
void candidate_sieve_start(candidate_sieve *sieve, const bignum *n);

// The small prime factors of candidate k. k never decreases from one call to the next.
const small_factors *candidate_sieve_factors(candidate_sieve *sieve, int k);

// 1 if the Miller-Rabin trial with witness a, for n - 1 = d * 2^s (d odd, s >= 1), fails
// modulo one of the factors of n, and so fails modulo n; 0 if none of them proves it.
// a and d are normalised or zero.
int small_factor_trial_fails(const small_factors *factors, const bignum *a, const bignum *d,
                             int s);
