// signature_client's big-number arithmetic next to GMP, and the program's whole run.
//   montgomery_pow_mod vs mpz_powm at 1024 and 2048 bits: base, exponent and odd modulus
//   of that many bits (the modulus's top bit set, the base below it), same values, once
//   per Montgomery kernel this CPU runs (portable, adx, ifma), each forced in turn through
//   the test hook. montgomery_pow_mod is the path bignum_pow_mod takes for every odd
//   modulus of two or more words, so for all of key generation's exponentiations; the
//   program itself takes the fastest kernel the CPU runs.
//   signature_client: one complete run of the built program, output discarded; its time is
//   the child's CPU time (user + system), so that other load on the machine counts less.
//   gmp_replay: the same sequence of modular exponentiations done by GMP alone: every
//   Miller-Rabin exponentiation and squaring of key generation (the rand() draws
//   replayed), then the signature and its check under the demonstration key. The replay
//   also runs the program's small-factor sieve and trial check on the same candidates and
//   witnesses, which gives the counts of exponentiations computed and skipped.
//   rsa_generate_key_pair: the program's key generation in-process, with the counts of
//   the replay: prime candidates (checked against the progress dots), Miller-Rabin trials,
//   rand() draws, the exponentiations computed and those skipped because a small prime
//   factor proved the trial's failure, and the time spent finding small factors and
//   checking trials modulo them.
//   small_factors_of, candidate_sieve: finding the small prime factors of a 1023-bit
//   candidate on its own, and by sieving a window of candidates.
//   mpz_powm_sec: GMP's constant-time exponentiation on the same values, the peer of
//   montgomery_pow_mod, which is constant time in the exponent too.
// At the end the ratios are printed: montgomery_pow_mod / mpz_powm and / mpz_powm_sec for
// each size and kernel, mpz_powm_sec / mpz_powm, and whole run / replay.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <gmp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../signature/montgomery/montgomery.h"
#include "../signature/rsa.h"
#include "../signature/small_primes.h"
#include "../signature/tests/driver_source.h"

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

// Operands of `bits` bits for the exponentiation benchmarks.
struct PowInputs {
    std::vector<std::uint32_t> base, exponent, modulus;
    explicit PowInputs(int bits) {
        const std::size_t words = static_cast<std::size_t>(bits / 32);
        std::mt19937 rng(static_cast<unsigned>(bits));
        for (auto *v : {&base, &exponent, &modulus}) {
            v->resize(words);
            for (auto &x : *v) {
                x = static_cast<std::uint32_t>(rng());
            }
            v->back() |= 0x80000000;
        }
        modulus[0] |= 1;
        base.back() &= 0x7FFFFFFF;  // below the modulus
    }
};

// The kernels the exponentiation benchmarks force in turn.
struct Path {
    montgomery_kernel kernel;
    const char *name;
};
constexpr Path paths[] = {
    {montgomery_kernel::portable, "portable"},
    {montgomery_kernel::adx, "adx"},
    {montgomery_kernel::ifma, "ifma"},
};
constexpr int pow_sizes[] = {1024, 2048};

void BM_montgomery_pow_mod(benchmark::State &state, int bits, montgomery_kernel kernel) {
    PowInputs in(bits);
    bignum *b = to_bignum(in.base), *x = to_bignum(in.exponent), *m = to_bignum(in.modulus);
    bignum *r = bignum_alloc();
    if (montgomery_force_kernel(kernel) == 0) {
        state.SkipWithError("this CPU does not run the kernel");
    } else {
        for (auto _ : state) {
            montgomery_pow_mod(r, b, x, m);
            benchmark::DoNotOptimize(r->words);
        }
    }
    montgomery_force_kernel(montgomery_kernel::automatic);
    bignum_free(b);
    bignum_free(x);
    bignum_free(m);
    bignum_free(r);
}

// GMP's exponentiation fn(r, b, x, m) on the benchmark's inputs.
void run_gmp_powm(benchmark::State &state, int bits,
                  void (*fn)(mpz_ptr, mpz_srcptr, mpz_srcptr, mpz_srcptr)) {
    PowInputs in(bits);
    const std::size_t words = in.modulus.size();
    mpz_t b, x, m, r;
    mpz_inits(b, x, m, r, nullptr);
    mpz_import(b, words, -1, 4, 0, 0, in.base.data());
    mpz_import(x, words, -1, 4, 0, 0, in.exponent.data());
    mpz_import(m, words, -1, 4, 0, 0, in.modulus.data());
    for (auto _ : state) {
        fn(r, b, x, m);
        benchmark::DoNotOptimize(r);
    }
    mpz_clears(b, x, m, r, nullptr);
}

void BM_gmp_mpz_powm(benchmark::State &state, int bits) {
    run_gmp_powm(state, bits, mpz_powm);
}

// GMP's exponentiation for secret exponents, whose time and memory accesses do not depend
// on the exponent's bits: the constant-time peer of montgomery_pow_mod.
void BM_gmp_mpz_powm_sec(benchmark::State &state, int bits) {
    run_gmp_powm(state, bits, mpz_powm_sec);
}

// The exponentiation benchmarks: GMP and each kernel this CPU runs, at each size.
void register_pow_benchmarks() {
    for (int bits : pow_sizes) {
        const std::string size = std::to_string(bits);
        benchmark::RegisterBenchmark(("BM_gmp_mpz_powm/" + size).c_str(), BM_gmp_mpz_powm, bits)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_gmp_mpz_powm_sec/" + size).c_str(), BM_gmp_mpz_powm_sec,
                                     bits)
            ->Unit(benchmark::kMillisecond);
        for (const Path &path : paths) {
            if (montgomery_kernel_runs(path.kernel) != 0) {
                benchmark::RegisterBenchmark(
                    ("BM_montgomery_pow_mod/" + size + "/" + path.name).c_str(),
                    BM_montgomery_pow_mod, bits, path.kernel)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

// Runs signature_client once; returns its report and adds its CPU time to *cpu_seconds.
std::string run_client(double *cpu_seconds, bool *ok) {
    int fds[2];
    std::string out;
    *ok = false;
    if (pipe(fds) != 0) {
        return out;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execl(SIGNATURE_CLIENT_PATH, SIGNATURE_CLIENT_PATH, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t got;
    while ((got = read(fds[0], buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<std::size_t>(got));
    }
    close(fds[0]);
    int status = 0;
    struct rusage usage {};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
        *ok = true;
        *cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    }
    return out;
}

std::vector<std::string> report_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void BM_signature_client(benchmark::State &state) {
    long dots = 0;
    for (auto _ : state) {
        double cpu = 0;
        bool ok = false;
        std::vector<std::string> lines = report_lines(run_client(&cpu, &ok));
        if (!ok || lines.size() != 23) {
            state.SkipWithError("signature_client failed");
            return;
        }
        state.SetIterationTime(cpu);
        // Candidates are the dots of the two progress lines.
        dots = static_cast<long>(lines[8].size() + lines[10].size());
    }
    state.counters["candidates"] = static_cast<double>(dots);
}
BENCHMARK(BM_signature_client)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

// One modular exponentiation of the recorded sequence; a squaring of the Miller-Rabin
// loop is a product and a reduction.
struct PowOp {
    mpz_t base, exponent, modulus;
    bool square;
    PowOp(const mpz_t b, const mpz_t e, const mpz_t m, bool sq) : square(sq) {
        mpz_init_set(base, b);
        mpz_init_set(exponent, e);
        mpz_init_set(modulus, m);
    }
    ~PowOp() {
        mpz_clears(base, exponent, modulus, nullptr);
    }
    PowOp(const PowOp &) = delete;
    PowOp &operator=(const PowOp &) = delete;
};

struct Replay {
    std::vector<std::unique_ptr<PowOp>> ops;
    long candidates = 0, trials = 0, squarings = 0, draws = 0;
    // Key generation's exponentiations, those of them a small factor makes the program skip,
    // and the time of its small-factor sieve and trial checks on the same values.
    long keygen_exponentiations = 0, skipped = 0;
    double factor_seconds = 0, check_seconds = 0;
    std::string p, q;
};

struct timed {
    double *seconds;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    ~timed() {
        *seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

void set_bignum(bignum *out, const mpz_t x) {
    std::vector<std::uint32_t> w((mpz_sizeinbase(x, 2) + 31) / 32);
    mpz_export(w.data(), nullptr, -1, sizeof(std::uint32_t), 0, 0, x);
    bignum src{static_cast<std::int32_t>(w.size()), static_cast<std::int32_t>(w.size()), w.data()};
    bignum_copy(&src, out);
}

void replay_draw(Replay *r, mpz_t out, std::size_t words) {
    std::vector<std::uint32_t> w(words);
    for (auto &x : w) {
        x = static_cast<std::uint32_t>(rand());
    }
    r->draws += static_cast<long>(words);
    mpz_import(out, words, -1, sizeof(std::uint32_t), 0, 0, w.data());
}

// 1 if the program skips this trial's exponentiation: a small prime factor of the
// candidate proves the trial fails.
int small_factor_proves(Replay *r, const small_factors *factors, const mpz_t a, const mpz_t d,
                        long s) {
    bignum *ba = bignum_alloc();
    bignum *bd = bignum_alloc();
    set_bignum(ba, a);
    set_bignum(bd, d);
    int fails;
    {
        timed t{&r->check_seconds};
        fails = small_factor_trial_fails(factors, ba, bd, static_cast<int>(s));
    }
    bignum_free(ba);
    bignum_free(bd);
    return fails;
}

// Miller-Rabin as key generation runs it (witnesses of 10 * size / 4 words reduced mod
// n - 1, witnesses below 2 pass), recording each exponentiation and squaring.
bool replay_miller_rabin(Replay *r, const mpz_t n, int count, const small_factors *factors) {
    mpz_t u, d, a, x, two;
    mpz_inits(u, d, a, x, two, nullptr);
    mpz_set_ui(two, 2);
    mpz_sub_ui(u, n, 1);
    mpz_set(d, u);
    long s = 0;
    while (mpz_even_p(d)) {
        mpz_fdiv_q_2exp(d, d, 1);
        s++;
    }
    const std::size_t words = (mpz_sizeinbase(u, 2) + 31) / 32;
    bool prime = true;
    for (int t = 0; t < count && prime; t++) {
        r->trials++;
        replay_draw(r, a, 10 * words / 4);
        mpz_mod(a, a, u);
        if (mpz_cmp_ui(a, 2) < 0) {
            continue;
        }
        r->keygen_exponentiations++;
        r->skipped += small_factor_proves(r, factors, a, d, s);
        r->ops.push_back(std::make_unique<PowOp>(a, d, n, false));
        mpz_powm(x, a, d, n);
        if (mpz_cmp_ui(x, 1) == 0) {
            continue;
        }
        for (long j = 0;; j++) {
            if (mpz_cmp(x, u) == 0) {
                break;
            }
            if (j == s - 1) {
                prime = false;
                break;
            }
            r->ops.push_back(std::make_unique<PowOp>(x, two, n, true));
            r->squarings++;
            mpz_powm_ui(x, x, 2, n);
        }
    }
    mpz_clears(u, d, a, x, two, nullptr);
    return prime;
}

// One prime as key generation finds it, with the program's sieve of its candidates.
std::string replay_prime(Replay *r) {
    mpz_t p;
    mpz_init(p);
    replay_draw(r, p, 128 / 4);
    if (mpz_even_p(p)) {
        mpz_add_ui(p, p, 1);
    }
    bignum *start = bignum_alloc();
    set_bignum(start, p);
    auto sieve = std::make_unique<candidate_sieve>();
    {
        timed t{&r->factor_seconds};
        candidate_sieve_start(sieve.get(), start);
    }
    bignum_free(start);
    for (int k = 0;; k++) {
        r->candidates++;
        const small_factors *factors;
        {
            timed t{&r->factor_seconds};
            factors = candidate_sieve_factors(sieve.get(), k);
        }
        if (replay_miller_rabin(r, p, 100, factors)) {
            break;
        }
        mpz_add_ui(p, p, 2);
    }
    char *text = mpz_get_str(nullptr, 10, p);
    std::string prime(text);
    std::free(text);
    mpz_clear(p);
    return prime;
}

// The program's exponentiations: both primes' tests from the unseeded rand() sequence,
// then the signature h^d mod n and its check s^e mod n (h and s read from a run, the
// demonstration key from the driver's source). Nothing is recorded unless the replayed
// primes are those of the run.
void record(Replay *r) {
    srand(1);
    r->p = replay_prime(r);
    r->q = replay_prime(r);
    double cpu = 0;
    bool ok = false;
    std::vector<std::string> lines = report_lines(run_client(&cpu, &ok));
    if (!ok || lines.size() != 23 || lines[9] != "p = " + r->p || lines[11] != "q = " + r->q) {
        r->ops.clear();
        return;
    }
    const std::string driver = test_support::file_text(SIGNATURE_CLIENT_SOURCE_PATH);
    mpz_t h, sig, zn, zd, ze;
    mpz_init_set_str(h, lines[17].c_str(), 10);
    mpz_init_set_str(sig, lines[19].c_str(), 10);
    mpz_init_set_str(zn, test_support::c_string(driver, "n").c_str(), 10);
    mpz_init_set_str(zd, test_support::c_string(driver, "d").c_str(), 10);
    mpz_init_set_str(ze, test_support::c_string(driver, "e").c_str(), 10);
    r->ops.push_back(std::make_unique<PowOp>(h, zd, zn, false));
    r->ops.push_back(std::make_unique<PowOp>(sig, ze, zn, false));
    mpz_clears(h, sig, zn, zd, ze, nullptr);
}

// Recorded once, for the replay's time and for key generation's counts.
const Replay &recorded() {
    static Replay r;
    static bool done = false;
    if (!done) {
        record(&r);
        done = true;
    }
    return r;
}

void BM_gmp_replay(benchmark::State &state) {
    const Replay &r = recorded();
    if (r.ops.empty()) {
        state.SkipWithError("cannot record the sequence");
        return;
    }
    mpz_t x;
    mpz_init(x);
    for (auto _ : state) {
        for (const auto &op : r.ops) {
            if (op->square) {
                mpz_mul(x, op->base, op->base);
                mpz_mod(x, x, op->modulus);
            } else {
                mpz_powm(x, op->base, op->exponent, op->modulus);
            }
        }
        benchmark::DoNotOptimize(x);
    }
    mpz_clear(x);
    state.counters["candidates"] = static_cast<double>(r.candidates);
    state.counters["mr_trials"] = static_cast<double>(r.trials);
    state.counters["exponentiations"] = static_cast<double>(r.ops.size() - r.squarings);
    state.counters["squarings"] = static_cast<double>(r.squarings);
}
BENCHMARK(BM_gmp_replay)->Unit(benchmark::kMillisecond);

void BM_rsa_generate_key_pair(benchmark::State &state) {
    static char n[rsa_buffer_size], d[rsa_buffer_size], e[rsa_buffer_size];
    const Replay &r = recorded();
    if (r.ops.empty()) {
        state.SkipWithError("cannot record the sequence");
        return;
    }
    long candidates = 0;
    for (auto _ : state) {
        // The program's sequence: rand() as if never seeded, progress dots to a file.
        srand(1);
        std::fflush(stdout);
        FILE *capture = std::tmpfile();
        int saved = dup(STDOUT_FILENO);
        dup2(fileno(capture), STDOUT_FILENO);
        rsa_generate_key_pair(n, d, e, nullptr, 128);
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::rewind(capture);
        candidates = 0;
        for (int c; (c = std::fgetc(capture)) != EOF;) {
            candidates += c == '.';
        }
        std::fclose(capture);
    }
    if (candidates != r.candidates) {
        state.SkipWithError("the replay's candidates are not the run's");
        return;
    }
    // Draws: every candidate and witness word of the replay, and one for e.
    state.counters["candidates"] = static_cast<double>(candidates);
    state.counters["mr_trials"] = static_cast<double>(r.trials);
    state.counters["rand_draws"] = static_cast<double>(r.draws + 1);
    state.counters["exponentiations"] = static_cast<double>(r.keygen_exponentiations - r.skipped);
    state.counters["skipped"] = static_cast<double>(r.skipped);
    state.counters["factor_ms"] = 1e3 * r.factor_seconds;
    state.counters["check_ms"] = 1e3 * r.check_seconds;
}
BENCHMARK(BM_rsa_generate_key_pair)->Unit(benchmark::kSecond)->Iterations(1);

// The small prime factors of one 1023-bit odd candidate found on their own: a pass over
// the candidate per product of primes that fits 64 bits.
void BM_small_factors_of(benchmark::State &state) {
    PowModInputs in;
    bignum *n = to_bignum(in.modulus);
    small_factors factors;
    for (auto _ : state) {
        small_factors_of(n, &factors);
        benchmark::DoNotOptimize(factors);
    }
    bignum_free(n);
}
BENCHMARK(BM_small_factors_of)->Unit(benchmark::kMicrosecond);

// The same for a whole window of sieve_window candidates from one 1023-bit start: the
// residues of the start, then each prime marking the candidates it divides.
void BM_candidate_sieve(benchmark::State &state) {
    PowModInputs in;
    bignum *n = to_bignum(in.modulus);
    auto sieve = std::make_unique<candidate_sieve>();
    for (auto _ : state) {
        candidate_sieve_start(sieve.get(), n);
        benchmark::DoNotOptimize(sieve->factors);
    }
    state.counters["window"] = sieve_window;
    bignum_free(n);
}
BENCHMARK(BM_candidate_sieve)->Unit(benchmark::kMicrosecond);

// The console report, plus the ratios of interest from the times it saw: the medians
// when the benchmarks are repeated (--benchmark_repetitions), else the single runs.
class RatioReporter : public benchmark::ConsoleReporter {
   public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            // The whole run's time is the child's CPU time, given as manual time.
            const std::string name = run.run_name.str();
            // In seconds: the benchmarks report in units of their own.
            const double t = (name.find("signature_client") != std::string::npos
                                  ? run.GetAdjustedRealTime()
                                  : run.GetAdjustedCPUTime()) /
                             benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    medians[name] = t;
                }
            } else {
                singles[name] = t;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (int bits : pow_sizes) {
            const std::string size = std::to_string(bits);
            for (const Path &path : paths) {
                const std::string what = "montgomery_pow_mod (" + std::string(path.name) +
                                         ") / mpz_powm, " + size + " bits (CPU time)";
                ratio(what.c_str(), "BM_montgomery_pow_mod/" + size + "/" + path.name,
                      "BM_gmp_mpz_powm/" + size);
                const std::string sec = "montgomery_pow_mod (" + std::string(path.name) +
                                        ") / mpz_powm_sec, " + size + " bits (CPU time)";
                ratio(sec.c_str(), "BM_montgomery_pow_mod/" + size + "/" + path.name,
                      "BM_gmp_mpz_powm_sec/" + size);
            }
            ratio(("mpz_powm_sec / mpz_powm, " + size + " bits (CPU time)").c_str(),
                  "BM_gmp_mpz_powm_sec/" + size, "BM_gmp_mpz_powm/" + size);
        }
        ratio("signature_client run / GMP replay (CPU time)",
              "BM_signature_client/iterations:3/manual_time", "BM_gmp_replay");
        ratio("rsa_generate_key_pair / GMP replay of its exponentiations (CPU time)",
              "BM_rsa_generate_key_pair/iterations:1", "BM_gmp_replay");
    }

   private:
    double time_of(const std::string &name) {
        return medians.count(name) != 0   ? medians[name]
               : singles.count(name) != 0 ? singles[name]
                                          : 0;
    }
    void ratio(const char *what, const std::string &a, const std::string &b) {
        double ta = time_of(a), tb = time_of(b);
        if (ta > 0 && tb > 0) {
            std::printf("ratio %s: %.2f\n", what, ta / tb);
        }
    }
    std::map<std::string, double> singles, medians;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    register_pow_benchmarks();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
