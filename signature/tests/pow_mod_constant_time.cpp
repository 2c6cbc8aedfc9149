// Constant-time check of the modular exponentiation in the exponent, run under valgrind's
// memcheck. Before each call of bignum_pow_mod the exponent's words are marked undefined,
// as if they were secret input that memcheck must not see used (their count stays
// defined: the exponent's length is public). Every value computed from them is undefined
// too, so memcheck reports each conditional jump or move ("Conditional jump or move
// depends on uninitialised value(s)") and each memory address ("Use of uninitialised
// value") that depends on the exponent, from the first step to the normalised result the
// call writes. The errors of each call are counted with VALGRIND_COUNT_ERRORS and printed.
//
// The calls: 1024- and 2048-bit modulus, base and exponent, through the portable kernel,
// the ADX kernel, the emulated IFMA kernel and the automatic choice (which sees the CPU
// valgrind presents). Valgrind's virtual CPU runs adcx and adox but does not report ADX,
// so under valgrind the program first tells the CPU probe to take ADX as present
// wherever BMI2 is; without BMI2 (or off x86-64) the ADX kernel is skipped. Each result is then marked defined again and compared with GMP's mpz_powm.
// bignum_pow_mod is private to rsa.cpp, so rsa.cpp is compiled in, as the unit tests do.
//
// With --planted-leak the program branches on one bit of the exponent inside each
// counted call; it then exits 0 only if memcheck counted an error in every call, which
// shows that the marks are in place and that the check sees a branch on the exponent.
#include <gmp.h>
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <random>

// Compiled in to reach bignum_pow_mod, which is private to rsa.cpp by design.
#include "../rsa.cpp"
#include "cpu_features.h"
#include "montgomery.h"

namespace {

volatile int planted_sink = 0;

// A value of `words` 32-bit words, top bit set, from the generator.
void random_words(bignum *a, std::int32_t words, std::mt19937 &rng) {
    std::uint32_t w[montgomery_max_words];
    for (std::int32_t i = 0; i < words; i++) {
        w[i] = static_cast<std::uint32_t>(rng());
    }
    w[words - 1] |= 0x80000000u;
    bignum view{words, words, w};
    bignum_copy(&view, a);
}

void to_mpz(mpz_t z, const bignum *a) {
    mpz_import(z, static_cast<std::size_t>(a->size), -1, 4, 0, 0, a->words);
}

const char *kernel_name(montgomery_kernel k) {
    switch (k) {
        case montgomery_kernel::portable:
            return "portable";
        case montgomery_kernel::adx:
            return "adx";
        case montgomery_kernel::ifma:
            return "ifma";
        case montgomery_kernel::ifma_emulated:
            return "ifma_emulated";
        default:
            return "automatic";
    }
}

struct Outcome {
    unsigned errors;
    bool right;
};

// One counted call of bignum_pow_mod at `bits` bits with the kernel already forced.
Outcome check_call(int bits, bool planted, std::mt19937 &rng) {
    const std::int32_t words = bits / 32;
    bignum *m = bignum_alloc(), *base = bignum_alloc(), *e = bignum_alloc(),
           *r = bignum_alloc();
    random_words(m, words, rng);
    m->words[0] |= 1;
    random_words(base, words, rng);
    base->words[words - 1] &= 0x7FFFFFFFu;  // below the modulus
    random_words(e, words, rng);

    mpz_t zm, zb, ze, want, got;
    mpz_inits(zm, zb, ze, want, got, nullptr);
    to_mpz(zm, m);
    to_mpz(zb, base);
    to_mpz(ze, e);
    mpz_powm(want, zb, ze, zm);

    VALGRIND_MAKE_MEM_UNDEFINED(e->words, sizeof(std::uint32_t) * static_cast<std::size_t>(words));
    const unsigned before = VALGRIND_COUNT_ERRORS;
    bignum_pow_mod(r, base, e, m);
    if (planted && (e->words[words / 2] >> 7 & 1) != 0) {
        planted_sink = planted_sink + 1;
    }
    const unsigned errors = VALGRIND_COUNT_ERRORS - before;
    VALGRIND_MAKE_MEM_DEFINED(e->words, sizeof(std::uint32_t) * static_cast<std::size_t>(words));
    VALGRIND_MAKE_MEM_DEFINED(&r->size, sizeof r->size);
    VALGRIND_MAKE_MEM_DEFINED(r->words, sizeof(std::uint32_t) * static_cast<std::size_t>(r->capacity));

    // The result must be normalised (size 0 for zero) and equal GMP's.
    bool right = r->size >= 0 && r->size <= r->capacity &&
                 (r->size == 0 || r->words[r->size - 1] != 0);
    if (right) {
        to_mpz(got, r);
        right = mpz_cmp(got, want) == 0;
    }
    mpz_clears(zm, zb, ze, want, got, nullptr);
    bignum_free(m);
    bignum_free(base);
    bignum_free(e);
    bignum_free(r);
    return Outcome{errors, right};
}

}  // namespace

int main(int argc, char **argv) {
    const bool planted = argc > 1 && std::strcmp(argv[1], "--planted-leak") == 0;
    if (argc > 2 || (argc == 2 && !planted)) {
        std::fprintf(stderr, "usage: %s [--planted-leak]\n", argv[0]);
        return 2;
    }
    const bool checked = RUNNING_ON_VALGRIND != 0;
    if (!checked) {
        std::fprintf(stderr, "pow_mod_constant_time: not under valgrind, so only the results "
                             "are checked\n");
    }
    if (checked) {
        cpu_features_assume_adx();
    }
    constexpr montgomery_kernel kernels[] = {
        montgomery_kernel::portable, montgomery_kernel::adx, montgomery_kernel::ifma_emulated,
        montgomery_kernel::automatic};
    std::mt19937 rng(20261209);
    int failures = 0;
    for (int bits : {1024, 2048}) {
        for (montgomery_kernel k : kernels) {
            if (montgomery_force_kernel(k) == 0) {
                std::printf("%d bits, %s: this CPU does not run the kernel\n", bits,
                            kernel_name(k));
                failures += k == montgomery_kernel::adx ? 0 : 1;  // only ADX may be absent
                continue;
            }
            // The kernel the exponentiation's context takes for this size.
            bignum *m = bignum_alloc();
            random_words(m, bits / 32, rng);
            m->words[0] |= 1;
            montgomery_ctx c;
            montgomery_ctx_init(&c, m);
            bignum_free(m);

            const Outcome o = check_call(bits, planted, rng);
            std::printf("%d bits, %s (runs %s): %u errors, result %s\n", bits, kernel_name(k),
                        kernel_name(c.kernel), o.errors, o.right ? "right" : "WRONG");
            failures += o.right ? 0 : 1;
            if (planted) {
                failures += checked && o.errors > 0 ? 0 : 1;  // the planted branch must show
            } else {
                failures += o.errors == 0 ? 0 : 1;
            }
        }
    }
    montgomery_force_kernel(montgomery_kernel::automatic);
    if (planted && !checked) {
        std::fprintf(stderr, "pow_mod_constant_time: the planted leak needs valgrind\n");
    }
    std::printf("%s\n", failures == 0 ? "pass" : "FAIL");
    return failures == 0 ? 0 : 1;
}
