// signature_client's big-number arithmetic next to GMP, and the program's whole run.
//   bignum_pow_mod vs mpz_powm: 1023-bit base, exponent and odd modulus, same values.
//   signature_client: one complete run of the program, output discarded.
//   rsa_generate_key_pair: the program's key generation in-process, counting the prime
//   candidates (progress dots) and the Miller-Rabin trials (rand() draws).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <gmp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../signature/rsa.cpp"

namespace {

// Counts rand() draws: the build links this binary with --wrap=rand.
long rand_draws = 0;

}  // namespace

extern "C" int __real_rand();
extern "C" int __wrap_rand() {
    ++rand_draws;
    return __real_rand();
}

namespace {

// 32 words with the top word's bit 30 set, as key generation's 1023-bit values have.
std::vector<std::uint32_t> operand(std::mt19937 &rng, bool odd) {
    std::vector<std::uint32_t> w(32);
    for (auto &x : w) {
        x = static_cast<std::uint32_t>(rng());
    }
    w[31] = (w[31] & 0x7FFFFFFF) | 0x40000000;
    if (odd) {
        w[0] |= 1;
    }
    return w;
}

struct PowModInputs {
    std::vector<std::uint32_t> base, exponent, modulus;
    PowModInputs() {
        std::mt19937 rng(1023);
        base = operand(rng, false);
        exponent = operand(rng, false);
        modulus = operand(rng, true);
        base[31] &= 0x3FFFFFFF;  // base below the modulus
    }
};

bignum *to_bignum(const std::vector<std::uint32_t> &w) {
    bignum src{static_cast<std::int32_t>(w.size()), static_cast<std::int32_t>(w.size()),
               const_cast<std::uint32_t *>(w.data())};
    bignum *b = bignum_alloc();
    bignum_copy(&src, b);
    return b;
}

void BM_bignum_pow_mod(benchmark::State &state) {
    PowModInputs in;
    bignum *b = to_bignum(in.base), *x = to_bignum(in.exponent), *m = to_bignum(in.modulus);
    bignum *r = bignum_alloc();
    for (auto _ : state) {
        bignum_pow_mod(r, b, x, m);
        benchmark::DoNotOptimize(r->words);
    }
    bignum_free(b);
    bignum_free(x);
    bignum_free(m);
    bignum_free(r);
}
BENCHMARK(BM_bignum_pow_mod)->Unit(benchmark::kMillisecond);

void BM_gmp_mpz_powm(benchmark::State &state) {
    PowModInputs in;
    mpz_t b, x, m, r;
    mpz_inits(b, x, m, r, nullptr);
    mpz_import(b, 32, -1, 4, 0, 0, in.base.data());
    mpz_import(x, 32, -1, 4, 0, 0, in.exponent.data());
    mpz_import(m, 32, -1, 4, 0, 0, in.modulus.data());
    for (auto _ : state) {
        mpz_powm(r, b, x, m);
        benchmark::DoNotOptimize(r);
    }
    mpz_clears(b, x, m, r, nullptr);
}
BENCHMARK(BM_gmp_mpz_powm)->Unit(benchmark::kMillisecond);

void BM_signature_client(benchmark::State &state) {
    long dots = 0;
    for (auto _ : state) {
        FILE *f = popen(SIGNATURE_CLIENT_PATH, "r");
        if (f == nullptr) {
            state.SkipWithError("cannot run signature_client");
            return;
        }
        // Candidates are the dots of the two progress lines (the message has dots too).
        dots = 0;
        std::string line;
        for (int c; (c = std::fgetc(f)) != EOF;) {
            if (c != '\n') {
                line += static_cast<char>(c);
                continue;
            }
            if (!line.empty() && line.find_first_not_of('.') == std::string::npos) {
                dots += static_cast<long>(line.size());
            }
            line.clear();
        }
        if (pclose(f) != 0) {
            state.SkipWithError("signature_client failed");
            return;
        }
    }
    state.counters["candidates"] = static_cast<double>(dots);
}
BENCHMARK(BM_signature_client)->Unit(benchmark::kSecond)->Iterations(1);

void BM_rsa_generate_key_pair(benchmark::State &state) {
    static char n[rsa_buffer_size], d[rsa_buffer_size], e[rsa_buffer_size];
    long candidates = 0, draws = 0;
    for (auto _ : state) {
        // The program's sequence: rand() as if never seeded, progress dots to a file.
        srand(1);
        rand_draws = 0;
        std::fflush(stdout);
        FILE *capture = std::tmpfile();
        int saved = dup(STDOUT_FILENO);
        dup2(fileno(capture), STDOUT_FILENO);
        rsa_generate_key_pair(n, d, e, nullptr, 128);
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        draws = rand_draws;
        std::rewind(capture);
        candidates = 0;
        for (int c; (c = std::fgetc(capture)) != EOF;) {
            candidates += c == '.';
        }
        std::fclose(capture);
    }
    // Draws: 32 words per prime's first candidate, 80 per trial, one for e.
    state.counters["candidates"] = static_cast<double>(candidates);
    state.counters["mr_trials"] = static_cast<double>((draws - 2 * 32 - 1) / 80);
    state.counters["rand_draws"] = static_cast<double>(draws);
}
BENCHMARK(BM_rsa_generate_key_pair)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
