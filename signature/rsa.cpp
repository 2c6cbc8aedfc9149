// RSA key generation from rand() with Miller-Rabin primality testing, modular
// exponentiation, and the RSA operation on decimal strings.
#include "rsa.h"

#include "montgomery.h"
#include "small_primes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "rsa: %s\n", what);
    std::abort();
}

// Copies a decimal string into a caller's buffer of rsa_buffer_size bytes.
void copy_out(char *out, const char *s) {
    if (std::strlen(s) >= static_cast<std::size_t>(rsa_buffer_size)) {
        fail("decimal result does not fit its 2048-byte buffer");
    }
    std::strcpy(out, s);
}

void print_bignum(const char *name, const bignum *x) {
    char *s = bignum_tostring(x);
    std::printf("%s = %s\n", name, s);
    std::free(s);
}

// Euclid's algorithm on copies of a and b.
void gcd(const bignum *a, const bignum *b, bignum *result) {
    bignum *x = bignum_alloc();
    bignum *y = bignum_alloc();
    bignum *t = bignum_alloc();
    bignum_copy(a, x);
    bignum_copy(b, y);
    while (!bignum_iszero(y)) {
        bignum_copy(y, t);
        bignum_imod(x, y);
        bignum_copy(x, y);
        bignum_copy(t, x);
    }
    bignum_copy(x, result);
    bignum_free(x);
    bignum_free(y);
    bignum_free(t);
}

// e = the first candidate coprime to phi, starting from one rand() draw below bound and
// stepping by one; stepped candidates below 3 are raised to 3.
void random_exponent(const bignum *phi, std::uint32_t bound, bignum *e) {
    std::uint32_t k = static_cast<std::uint32_t>(std::rand()) % bound;
    bignum *g = bignum_alloc();
    for (;;) {
        bignum_fromint(e, static_cast<std::int32_t>(k));
        gcd(e, phi, g);
        if (g->size == 1 && g->words[0] == 1) {
            break;
        }
        k = (k + 1) % bound;
        if (k <= 2) {
            k = 3;
        }
    }
    bignum_free(g);
}

// result = base^exponent mod modulus. An exponent of zero gives 1 unreduced; any other
// exponent gives the residue in 0 .. modulus - 1. Odd moduli of two or more words go
// through Montgomery multiplication; the others keep the right-to-left square-and-multiply
// with a division after every product, on work records allocated once per call.
void bignum_pow_mod(bignum *result, const bignum *base, const bignum *exponent,
                    const bignum *modulus) {
    if (!bignum_iszero(exponent) && montgomery_applies(modulus)) {
        montgomery_pow_mod(result, base, exponent, modulus);
        return;
    }
    bignum *b = bignum_alloc();
    bignum *x = bignum_alloc();
    bignum *t = bignum_alloc();
    bignum *q = bignum_alloc();
    bignum_copy(base, b);
    bignum_copy(exponent, x);
    bignum_fromint(result, 1);
    while (!bignum_iszero(x)) {
        if (x->words[0] & 1) {
            bignum_multiply(t, result, b);
            bignum_divide(q, result, t, modulus);
        }
        // x = x / 2, in place.
        for (std::int32_t i = 0; i < x->size; i++) {
            x->words[i] = x->words[i] >> 1 | (i + 1 < x->size ? x->words[i + 1] << 31 : 0);
        }
        if (x->words[x->size - 1] == 0) {
            x->size--;
        }
        bignum_multiply(t, b, b);
        bignum_divide(q, b, t, modulus);
    }
    bignum_free(b);
    bignum_free(x);
    bignum_free(t);
    bignum_free(q);
}

// 1 if the Miller-Rabin trial with witness a passes for n - 1 = u = d * 2^s: a^d mod n is
// 1, or it or one of its s - 1 squarings is u. x is a work record. ctx is n's Montgomery
// context, or null when n is not for the Montgomery path.
int trial_passes(const bignum *n, const bignum *u, const bignum *d, int s, const bignum *a,
                 bignum *x, const montgomery_ctx *ctx) {
    if (ctx != nullptr) {
        montgomery_ctx_pow_mod(ctx, x, a, d);  // d is odd, so not zero
    } else {
        bignum_pow_mod(x, a, d, n);
    }
    if (bignum_isequal(x, &NUMS[1])) {
        return 1;
    }
    for (int j = 0;; j++) {
        if (bignum_isequal(x, u)) {
            return 1;
        }
        if (j == s - 1) {
            return 0;
        }
        if (ctx != nullptr) {
            montgomery_ctx_square_mod(ctx, x);
        } else {
            bignum_imultiply(x, x);
            bignum_imod(x, n);
        }
    }
}

// 1 if n passes count Miller-Rabin trials with random witnesses, 0 if n is found
// composite. Each trial draws 10 * (words of n - 1) / 4 words from rand(). A witness
// below 2 proves nothing, so its trial passes; a prime is never reported composite.
// factors, if not null, are the small prime factors of n (small_factors_of); if null,
// they are found here.
int miller_rabin_test(const bignum *n, int count, const small_factors *factors = nullptr) {
    // n - 1 = d * 2^s only has an odd d for odd n >= 3; smaller or even n are settled here
    // without drawing.
    if (bignum_isless(n, &NUMS[3])) {
        return bignum_isequal(n, &NUMS[2]);
    }
    if (!bignum_isodd(n)) {
        return 0;
    }
    small_factors found;
    if (factors == nullptr) {
        small_factors_of(n, &found);
        factors = &found;
    }
    bignum *u = bignum_alloc();
    bignum *d = bignum_alloc();
    bignum *a = bignum_alloc();
    bignum *x = bignum_alloc();
    bignum_subtract(u, n, &NUMS[1]);
    bignum_copy(u, d);
    int s = 0;
    while (!bignum_isodd(d)) {
        bignum_idivide_2(d);
        s++;
    }
    // n's Montgomery context, made by the first trial that needs an exponentiation and
    // shared by all of them.
    montgomery_ctx ctx;
    bool ctx_ready = false;
    const bool montgomery = montgomery_applies(n) != 0;
    int result = 1;
    for (int trial = 0; trial < count && result == 1; trial++) {
        bignum_random(10 * u->size, a);
        bignum_imod(a, u);
        if (bignum_isless(a, &NUMS[2])) {
            continue;
        }
        // A passing trial has a^d = 1 or a^(d 2^j) = n - 1 (mod n) for some j < s; both hold
        // modulo any prime f dividing n, where n - 1 becomes f - 1. So a trial that fails
        // modulo such an f fails modulo n too, and its exponentiation would only confirm it.
        if (small_factor_trial_fails(factors, a, d, s)) {
            result = 0;
            continue;
        }
        if (montgomery && !ctx_ready) {
            montgomery_ctx_init(&ctx, n);
            ctx_ready = true;
        }
        if (!trial_passes(n, u, d, s, a, x, montgomery ? &ctx : nullptr)) {
            result = 0;
        }
    }
    bignum_free(u);
    bignum_free(d);
    bignum_free(a);
    bignum_free(x);
    return result;
}

// p = the first probable prime at or above a random odd value of size / 4 words; one dot
// per candidate shows progress. The candidates' small prime factors come from sieving the
// run of candidates, which costs less than finding them for each candidate on its own.
void random_prime(int size, bignum *p) {
    bignum_random(size, p);
    if (!bignum_isodd(p)) {
        p->words[0] += 1;  // cannot carry: the word was even
    }
    auto sieve = std::make_unique<candidate_sieve>();
    candidate_sieve_start(sieve.get(), p);
    for (int k = 0;; k++) {
        std::putchar('.');
        std::fflush(stdout);
        if (miller_rabin_test(p, 100, candidate_sieve_factors(sieve.get(), k))) {
            break;
        }
        bignum_iadd_2(p);
    }
    std::putchar('\n');
}

}  // namespace

void modular_inverse(const bignum *a, const bignum *m, bignum *result) {
    // Extended Euclid; the coefficient of a is kept as a magnitude whose sign alternates
    // with every division.
    bignum *r0 = bignum_alloc();
    bignum *r1 = bignum_alloc();
    bignum *x0 = bignum_alloc();
    bignum *x1 = bignum_alloc();
    bignum *q = bignum_alloc();
    bignum *rem = bignum_alloc();
    bignum *t = bignum_alloc();
    bignum_copy(a, r0);
    bignum_copy(m, r1);
    bignum_fromint(x0, 1);
    int sign = 1;
    while (!bignum_iszero(r1)) {
        bignum_divide(q, rem, r0, r1);
        bignum_imultiply(q, x1);
        bignum_add(t, x0, q);
        bignum_copy(x1, x0);
        bignum_copy(t, x1);
        bignum_copy(r1, r0);
        bignum_copy(rem, r1);
        sign = -sign;
    }
    if (sign < 0) {
        bignum_subtract(result, m, x0);
    } else {
        bignum_copy(x0, result);
    }
    bignum_free(r0);
    bignum_free(r1);
    bignum_free(x0);
    bignum_free(x1);
    bignum_free(q);
    bignum_free(rem);
    bignum_free(t);
}

void rsa_generate_key_pair(char *n_out, char *d_out, char *e_out, char *phi_out,
                           std::int32_t size) {
    bignum *one = bignum_alloc();
    bignum *p = bignum_alloc();
    bignum *q = bignum_alloc();
    bignum *n = bignum_alloc();
    bignum *phi = bignum_alloc();
    bignum *e = bignum_alloc();
    bignum *d = bignum_alloc();
    bignum_fromint(one, 1);

    random_prime(size, p);
    print_bignum("p", p);
    random_prime(size, q);
    print_bignum("q", q);
    bignum_multiply(n, p, q);
    bignum_isubtract(p, one);
    bignum_isubtract(q, one);
    bignum_multiply(phi, p, q);
    random_exponent(phi, 2147483647u, e);
    modular_inverse(e, phi, d);

    const struct {
        const bignum *value;
        char *out;
    } outputs[] = {{n, n_out}, {d, d_out}, {e, e_out}, {phi, phi_out}};
    for (const auto &o : outputs) {
        if (o.out != nullptr) {
            // The caller sizes these buffers for the key size it asks for.
            char *s = bignum_tostring(o.value);
            std::strcpy(o.out, s);
            std::free(s);
        }
    }

    bignum_free(one);
    bignum_free(p);
    bignum_free(q);
    bignum_free(n);
    bignum_free(phi);
    bignum_free(e);
    bignum_free(d);
}

void rsa_encrypt(char *out, const char *in, std::int32_t in_len, const char *modulus,
                 const char *exponent) {
    (void)in_len;
    bignum *m = bignum_alloc();
    bignum *x = bignum_alloc();
    bignum *base = bignum_alloc();
    bignum *r = bignum_alloc();
    bignum_fromstring(m, modulus);
    bignum_fromstring(x, exponent);
    bignum_fromstring(base, in);
    bignum_pow_mod(r, base, x, m);
    char *s = bignum_tostring(r);
    copy_out(out, s);
    std::free(s);
    bignum_free(m);
    bignum_free(x);
    bignum_free(base);
    bignum_free(r);
}

void rsa_decrypt(char *out, const char *in, std::int32_t in_len, const char *modulus,
                 const char *exponent) {
    rsa_encrypt(out, in, in_len, modulus, exponent);
}

char *rsa_bin2dec(const std::uint8_t *bytes, std::int32_t len) {
    bignum *pow = bignum_alloc();
    bignum *k = bignum_alloc();
    bignum *acc = bignum_alloc();
    bignum *t = bignum_alloc();
    bignum_fromint(pow, 1);
    bignum_fromint(k, 256);
    for (std::int32_t i = 0; i < len; i++) {
        bignum_fromint(t, bytes[i]);
        bignum_imultiply(t, pow);
        bignum_iadd(acc, t);
        bignum_imultiply(pow, k);
    }
    char *s = bignum_tostring(acc);
    bignum_free(pow);
    bignum_free(k);
    bignum_free(acc);
    bignum_free(t);
    return s;
}
