// The small odd primes, built at compile time by a sieve of Eratosthenes; the small prime
// factors of big numbers, one by one or by sieving a run of candidates; and the
// Miller-Rabin trial modulo a small prime factor.
#include "small_primes.h"

#include <initializer_list>
#include <utility>

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

// The sieve of Eratosthenes runs over segments of segment_span numbers, each in a constant
// evaluation of its own, so that none comes near the compilers' limits on the work of one
// (about a million steps for clang). Plain arrays, as each call of std::array's operator[]
// counts against those limits.
constexpr u64 segment_span = 65536;
constexpr int segment_count =
    static_cast<int>((small_prime_bound + segment_span - 1) / segment_span);

struct segment {
    int count;
    std::uint32_t p[segment_span / 2];
};

// 1 if the odd number p >= 3 is prime, by trial division.
constexpr bool odd_prime(u64 p) {
    for (u64 q = 3; q * q <= p; q += 2) {
        if (p % q == 0) {
            return false;
        }
    }
    return true;
}

// The odd primes in lo .. hi - 1, for even lo and hi <= lo + segment_span. Entry i stands
// for the odd number lo + 2 i + 1. Every odd prime p with p^2 < hi strikes out its odd
// multiples from p^2 on.
constexpr segment sieve_segment(u64 lo, u64 hi) {
    bool composite[segment_span / 2] = {};
    for (u64 p = 3; p * p < hi; p += 2) {
        if (!odd_prime(p)) {
            continue;
        }
        u64 j = (lo / p + 1) * p;  // the first multiple above lo
        if (j % 2 == 0) {
            j += p;
        }
        for (j = j < p * p ? p * p : j; j < hi; j += 2 * p) {
            composite[(j - lo) / 2] = true;
        }
    }
    segment primes{};
    for (u64 x = lo + 1; x < hi; x += 2) {
        if (x > 1 && !composite[(x - lo) / 2]) {
            primes.p[primes.count++] = static_cast<std::uint32_t>(x);
        }
    }
    return primes;
}

template <int k>
constexpr segment sieved = sieve_segment(
    k * segment_span, (k + 1) * segment_span < small_prime_bound ? (k + 1) * segment_span
                                                                  : small_prime_bound);

template <int... k>
constexpr int prime_count(std::integer_sequence<int, k...>) {
    return (sieved<k>.count + ...);
}

template <int... k>
constexpr std::array<std::uint32_t, small_prime_count> concatenate(
    std::integer_sequence<int, k...>) {
    std::array<std::uint32_t, small_prime_count> table{};
    int n = 0;
    for (const segment *s : {&sieved<k>...}) {
        for (int i = 0; i < s->count && n < small_prime_count; i++) {
            table[n++] = s->p[i];
        }
    }
    return table;
}

constexpr auto segments = std::make_integer_sequence<int, segment_count>{};
static_assert(prime_count(segments) == small_prime_count,
              "small_prime_count is the number of odd primes below small_prime_bound");

}  // namespace

constexpr std::array<std::uint32_t, small_prime_count> small_primes = concatenate(segments);

namespace {

// Consecutive primes whose product fits 64 bits: one pass over n per group gives n modulo
// the product, and each prime's residue is one more division of that.
struct prime_group {
    u64 product;
    int first, count;
};

constexpr bool fits(u64 product, int i) {
    return i < small_prime_count && product <= ~u64{0} / small_primes[i];
}

constexpr int group_count() {
    int groups = 0;
    for (int i = 0; i < small_prime_count; groups++) {
        for (u64 product = 1; fits(product, i); i++) {
            product *= small_primes[i];
        }
    }
    return groups;
}

constexpr std::array<prime_group, group_count()> make_groups() {
    std::array<prime_group, group_count()> groups{};
    int i = 0;
    for (prime_group &g : groups) {
        g = {1, i, 0};
        for (; fits(g.product, i); i++) {
            g.product *= small_primes[i];
            g.count++;
        }
    }
    return groups;
}

constexpr auto groups = make_groups();

// n mod m for m >= 1, over 64-bit limbs from the top.
u64 remainder(const bignum *n, u64 m) {
    u64 r = 0;
    std::int32_t i = n->size;
    if (i % 2 != 0) {
        i--;
        r = n->words[i] % m;
    }
    while (i > 0) {
        i -= 2;
        const u64 limb = n->words[i] | static_cast<u64>(n->words[i + 1]) << 32;
        r = static_cast<u64>((static_cast<u128>(r) << 64 | limb) % m);
    }
    return r;
}

// use(i, n mod small_primes[i]) for every i in increasing order.
template <typename Use>
void for_each_residue(const bignum *n, Use use) {
    for (const prime_group &g : groups) {
        const u64 r = remainder(n, g.product);
        for (int i = g.first; i < g.first + g.count; i++) {
            use(i, static_cast<std::uint32_t>(r % small_primes[i]));
        }
    }
}

void add_factor(small_factors *factors, std::uint32_t f) {
    if (factors->count < small_factor_max) {
        factors->f[factors->count++] = f;
    }
}

// Marks the window's candidates with the primes that divide them, and moves each prime's
// next candidate past the window.
void sieve_window_of(candidate_sieve *sieve) {
    for (small_factors &c : sieve->factors) {
        c.count = 0;
    }
    for (int i = 0; i < small_prime_count; i++) {
        const std::uint32_t f = small_primes[i];
        std::uint32_t j = sieve->next[i];
        for (; j < sieve_window; j += f) {
            add_factor(&sieve->factors[j], f);
        }
        sieve->next[i] = j - sieve_window;
    }
}

// b^e mod m for b < m < 2^32.
u64 pow_small(u64 b, u64 e, u64 m) {
    u64 r = 1;
    while (e != 0) {
        if (e & 1) {
            r = r * b % m;
        }
        b = b * b % m;
        e >>= 1;
    }
    return r;
}

// 1 if the trial fails modulo the prime f: y = a^d mod f is not 1, and neither y nor any
// of its s - 1 squarings is f - 1. By Fermat a^d = a^(d mod (f - 1)) mod f when f does not
// divide a; when it does, y = 0.
int trial_fails_mod(u64 f, const bignum *a, const bignum *d, int s) {
    const u64 a_f = remainder(a, f);
    if (a_f == 0) {
        return 1;
    }
    u64 y = pow_small(a_f, remainder(d, f - 1), f);
    if (y == 1) {
        return 0;
    }
    for (int j = 0; y != f - 1; j++) {
        if (j >= s - 1) {
            return 1;
        }
        y = y * y % f;
    }
    return 0;
}

}  // namespace

void small_factors_of(const bignum *n, small_factors *factors) {
    factors->count = 0;
    for_each_residue(n, [factors](int i, std::uint32_t r) {
        if (r == 0) {
            add_factor(factors, small_primes[i]);
        }
    });
}

void candidate_sieve_start(candidate_sieve *sieve, const bignum *n) {
    sieve->start = 0;
    // Candidate k is n + 2 k, so a prime f with n = r (mod f) first divides candidate
    // j = -r / 2 (mod f): (f - r) / 2 for odd r, f - r / 2 for even r > 0.
    for_each_residue(n, [sieve](int i, std::uint32_t r) {
        const std::uint32_t f = small_primes[i];
        sieve->next[i] = r == 0 ? 0 : r % 2 != 0 ? (f - r) / 2 : f - r / 2;
    });
    sieve_window_of(sieve);
}

const small_factors *candidate_sieve_factors(candidate_sieve *sieve, int k) {
    while (k - sieve->start >= sieve_window) {
        sieve->start += sieve_window;
        sieve_window_of(sieve);
    }
    return &sieve->factors[k - sieve->start];
}

int small_factor_trial_fails(const small_factors *factors, const bignum *a, const bignum *d,
                             int s) {
    for (int i = 0; i < factors->count; i++) {
        if (trial_fails_mod(factors->f[i], a, d, s)) {
            return 1;
        }
    }
    return 0;
}
