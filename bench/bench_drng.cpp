// libquorvandelith's drng_chacha20_get next to the kernel's getrandom system
// call, OpenSSL's RAND_bytes, OpenSSL's ChaCha20 keystream (EVP_chacha20, the
// same primitive) and libsodium's randombytes_buf, for the same request sizes
// in one run, and next to a floor: the least work one get of
// 16, 32 or 64 bytes asks for, written here as plain scalar code. Bytes per
// second are reported as MB/s; at the end the run prints the ratios of
// interest from the medians (--benchmark_repetitions), else the single runs.
//
// Each whole-block path of the generator (portable, AVX2, AVX-512, where the
// CPU runs it) is also measured on its own, on a fixed state, for 4 KiB and
// 1 MiB, next to EVP_chacha20 of the same sizes. Every case also reports
// tsc_cpb: TSC cycles per byte, the time-stamp counter's ticks over the
// thread's CPU time. The TSC ticks at a fixed rate, which need not be the
// core's clock (turbo, power states), so these are TSC cycles, not core cycles.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sodium.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include <bit>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "chacha20_blocks.h"
#include "quorvandelith.h"

namespace {

const std::vector<int64_t> sizes = {16, 32, 64, 4096, 1 << 20};

int64_t nanoseconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// TSC cycles per byte over the thread's CPU time: the TSC's rate is taken from
// its ticks over the wall-clock time of the same loop, then applied to the CPU
// time, so that time the thread spent descheduled is not counted. Where there
// is no TSC (not x86-64) nothing is reported.
class TscCycles {
   public:
    TscCycles() : wall_(nanoseconds(CLOCK_MONOTONIC)), cpu_(nanoseconds(CLOCK_THREAD_CPUTIME_ID)) {
#if defined(__x86_64__)
        tsc_ = __rdtsc();
#endif
    }
    void report(benchmark::State &state, int64_t bytes) const {
#if defined(__x86_64__)
        const double ticks = static_cast<double>(__rdtsc() - tsc_);
        const double wall = static_cast<double>(nanoseconds(CLOCK_MONOTONIC) - wall_);
        const double cpu = static_cast<double>(nanoseconds(CLOCK_THREAD_CPUTIME_ID) - cpu_);
        if (wall > 0 && bytes > 0) {
            state.counters["tsc_cpb"] = ticks / wall * cpu / static_cast<double>(bytes);
        }
#else
        (void)state;
        (void)bytes;
#endif
    }

   private:
    int64_t wall_, cpu_;
#if defined(__x86_64__)
    uint64_t tsc_ = 0;
#endif
};

template <typename Fill>
void run(benchmark::State &state, Fill fill) {
    const size_t len = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> buf(len);
    const TscCycles cycles;
    for (auto _ : state) {
        if (!fill(buf.data(), len)) {
            state.SkipWithError("generator failed");
            break;
        }
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    const int64_t bytes = static_cast<int64_t>(state.iterations()) * state.range(0);
    state.SetBytesProcessed(bytes);
    cycles.report(state, bytes);
}

void BM_drng_chacha20_get(benchmark::State &state) {
    drng_chacha20 *drng = nullptr;
    if (drng_chacha20_init(&drng) != 0) {
        state.SkipWithError("drng_chacha20_init failed");
        return;
    }
    run(state, [drng](uint8_t *p, size_t n) {
        return drng_chacha20_get(drng, p, static_cast<uint32_t>(n)) == 0;
    });
    drng_chacha20_destroy(drng);
}

// One whole-block path of the generator on its own: the request's whole
// blocks from a fixed state and the block after them (the key change), as a
// get asks for them, with nothing else of the generator around them.
void run_blocks(benchmark::State &state, quorvandelith::blocks_fn blocks) {
    uint32_t block[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t next[16];
    run(state, [&block, &next, blocks](uint8_t *p, size_t n) {
        blocks(block, p, n / 64, next);
        return true;
    });
}

void BM_blocks_portable(benchmark::State &state) {
    run_blocks(state, quorvandelith::chacha20_blocks_portable);
}

#if defined(__x86_64__)
void BM_blocks_avx2(benchmark::State &state) {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) {
        state.SkipWithError("the CPU lacks AVX2");
        return;
    }
    run_blocks(state, quorvandelith::chacha20_blocks_avx2);
}

void BM_blocks_avx512(benchmark::State &state) {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx512f")) {
        state.SkipWithError("the CPU lacks AVX-512F");
        return;
    }
    run_blocks(state, quorvandelith::chacha20_blocks_avx512);
}
#endif

void BM_getrandom_syscall(benchmark::State &state) {
    run(state, [](uint8_t *p, size_t n) {
        while (n > 0) {
            const long got = syscall(SYS_getrandom, p, n, 0);
            if (got <= 0) {
                return false;
            }
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    });
}

void BM_openssl_RAND_bytes(benchmark::State &state) {
    run(state, [](uint8_t *p, size_t n) { return RAND_bytes(p, static_cast<int>(n)) == 1; });
}

// OpenSSL's ChaCha20 (RFC 7539) over the buffer in place, one context whose
// keystream runs on from call to call: the cipher's own cost, with nothing of
// a generator around it.
void BM_openssl_EVP_chacha20(benchmark::State &state) {
    const uint8_t key[32] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t iv[16] = {};
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr || EVP_EncryptInit_ex(ctx, EVP_chacha20(), nullptr, key, iv) != 1) {
        state.SkipWithError("EVP_chacha20 setup failed");
        EVP_CIPHER_CTX_free(ctx);
        return;
    }
    run(state, [ctx](uint8_t *p, size_t n) {
        int len = 0;
        return EVP_EncryptUpdate(ctx, p, &len, p, static_cast<int>(n)) == 1;
    });
    EVP_CIPHER_CTX_free(ctx);
}

void BM_sodium_randombytes_buf(benchmark::State &state) {
    if (sodium_init() < 0) {
        state.SkipWithError("sodium_init failed");
        return;
    }
    run(state, [](uint8_t *p, size_t n) {
        randombytes_buf(p, n);
        return true;
    });
}

// The floor of one get: one real-time clock read; the 4 nanosecond bytes
// XORed into key word 0, then one block for the key change that ends the seed;
// the output blocks; and the closing key change, from the tail block's unused
// words when the tail is 1..32 bytes, else from one more block. That is the
// block count the generator's definition asks for, and nothing else: no
// argument checks, no age or volume test, no wiping.
#define FLOOR_QUARTER(a, b, c, d)     \
    a += b, d = std::rotl(d ^ a, 16); \
    c += d, b = std::rotl(b ^ c, 12); \
    a += b, d = std::rotl(d ^ a, 8);  \
    c += d, b = std::rotl(b ^ c, 7)

void floor_block(uint32_t in[16], uint32_t out[16]) {
    uint32_t x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3], x4 = in[4], x5 = in[5], x6 = in[6],
             x7 = in[7], x8 = in[8], x9 = in[9], x10 = in[10], x11 = in[11], x12 = in[12],
             x13 = in[13], x14 = in[14], x15 = in[15];
    for (int i = 0; i < 10; i++) {
        FLOOR_QUARTER(x0, x4, x8, x12);
        FLOOR_QUARTER(x1, x5, x9, x13);
        FLOOR_QUARTER(x2, x6, x10, x14);
        FLOOR_QUARTER(x3, x7, x11, x15);
        FLOOR_QUARTER(x0, x5, x10, x15);
        FLOOR_QUARTER(x1, x6, x11, x12);
        FLOOR_QUARTER(x2, x7, x8, x13);
        FLOOR_QUARTER(x3, x4, x9, x14);
    }
    const uint32_t x[16] = {x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15};
    for (int i = 0; i < 16; i++) {
        out[i] = x[i] + in[i];
    }
    in[12] += 1;
}

#undef FLOOR_QUARTER

// Eight words into the key (state words 4..11), then the nonce counts the change.
void floor_key_change(uint32_t state[16], const uint32_t *words) {
    for (int i = 0; i < 8; i++) {
        state[4 + i] ^= words[i];
    }
    if (++state[13] == 0 && ++state[14] == 0) {
        ++state[15];
    }
}

// The first n bytes of a block's words, each word little-endian (ChaCha20's
// byte order): a copy on a little-endian machine, byte swaps on a big-endian one.
void floor_store(uint8_t *out, const uint32_t block[16], uint32_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(out, block, n);
    } else {
        uint32_t swapped[16];
        for (int i = 0; i < 16; i++) {
            swapped[i] = __builtin_bswap32(block[i]);
        }
        memcpy(out, swapped, n);
    }
}

void floor_get(uint32_t state[16], uint8_t *out, uint32_t length) {
    uint32_t block[16];
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    state[4] ^= static_cast<uint32_t>(ts.tv_nsec);
    floor_block(state, block);
    floor_key_change(state, block);
    const uint32_t whole = length / 64;
    const uint32_t tail = length % 64;
    for (uint32_t i = 0; i < whole; i++) {
        floor_block(state, block);
        floor_store(out + 64 * i, block, 64);
    }
    if (tail > 0) {
        floor_block(state, block);
        floor_store(out + 64 * whole, block, tail);
    }
    if (tail > 0 && tail <= 32) {
        floor_key_change(state, block + (tail + 3) / 4);
    } else {
        floor_block(state, block);
        floor_key_change(state, block);
    }
}

void BM_floor(benchmark::State &state) {
    uint32_t words[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 1, 2, 3, 4, 5, 6, 7, 8};
    run(state, [&words](uint8_t *p, size_t n) {
        floor_get(words, p, static_cast<uint32_t>(n));
        return true;
    });
}

void sizes_arg(benchmark::internal::Benchmark *b) {
    for (int64_t s : sizes) {
        b->Arg(s);
    }
}

// The console report, then the ratios: CPU time of drng_chacha20_get over the
// floor, getrandom and RAND_bytes for the small requests, and its throughput
// over RAND_bytes' and EVP_chacha20's for 1 MiB (above 1: faster).
class RatioReporter : public benchmark::ConsoleReporter {
   public:
    using ConsoleReporter::ConsoleReporter;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || run.run_type != Run::RT_Aggregate) {
                (median ? medians : singles)[run.run_name.str()] = run.GetAdjustedCPUTime();
                // TSC cycles per byte of the 4 KiB and 1 MiB cases.
                const std::string name = run.run_name.str();
                const auto cpb = run.counters.find("tsc_cpb");
                const bool bulk = name.ends_with("/4096") || name.ends_with("/1048576");
                if (bulk && cpb != run.counters.end()) {
                    (median ? medians_cpb : singles_cpb)[name] = cpb->second.value;
                }
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char *size : {"16", "32", "64"}) {
            for (const char *peer : {"BM_floor", "BM_getrandom_syscall", "BM_openssl_RAND_bytes"}) {
                print_ratio(
                    std::string("drng_chacha20_get / ") + peer + ", " + size + " B (CPU time)",
                    std::string("BM_drng_chacha20_get/") + size, std::string(peer) + "/" + size);
            }
        }
        for (const char *size : {"4096", "1048576"}) {
            const std::string bytes = std::string(size) == "4096" ? "4 KiB" : "1 MiB";
            print_ratio("drng_chacha20_get / RAND_bytes throughput, " + bytes,
                        std::string("BM_openssl_RAND_bytes/") + size,
                        std::string("BM_drng_chacha20_get/") + size);
            for (const char *mine : {"BM_drng_chacha20_get", "BM_blocks_portable", "BM_blocks_avx2",
                                     "BM_blocks_avx512"}) {
                print_ratio(std::string(mine) + " / EVP_chacha20 throughput, " + bytes,
                            std::string("BM_openssl_EVP_chacha20/") + size,
                            std::string(mine) + "/" + size);
            }
        }
        print_avx2_estimate();
        for (const auto &[name, cpb] : medians_cpb.empty() ? singles_cpb : medians_cpb) {
            std::printf("TSC cycles/byte (not core cycles) %s: %.3f\n", name.c_str(), cpb);
        }
    }

   private:
    // On a CPU with AVX-512 a get runs the AVX-512 path. What a get would
    // cost on a CPU with AVX2 only is estimated as the get's own time with
    // the AVX-512 path's blocks replaced by the AVX2 path's (both ask for the
    // block after the whole ones, as a get does). Against OpenSSL's own AVX2
    // code, run the benchmark with OPENSSL_ia32cap=":~0x10000", which hides
    // AVX-512F from OpenSSL.
    void print_avx2_estimate() {
        for (const char *size : {"4096", "1048576"}) {
            const std::string s = size;
            const double get = time_of("BM_drng_chacha20_get/" + s);
            const double wide = time_of("BM_blocks_avx512/" + s);
            const double avx2 = time_of("BM_blocks_avx2/" + s);
            const double evp = time_of("BM_openssl_EVP_chacha20/" + s);
            if (get > 0 && wide > 0 && avx2 > 0 && evp > 0) {
                std::printf("estimate: drng_chacha20_get on the AVX2 path / EVP_chacha20 "
                            "throughput, %s (get - avx512 blocks + avx2 blocks): %.2f\n",
                            s == "4096" ? "4 KiB" : "1 MiB", evp / (get - wide + avx2));
            }
        }
    }
    double time_of(const std::string &name) {
        const auto m = medians.find(name);
        if (m != medians.end()) {
            return m->second;
        }
        const auto s = singles.find(name);
        return s != singles.end() ? s->second : 0;
    }
    void print_ratio(const std::string &what, const std::string &a, const std::string &b) {
        const double ta = time_of(a);
        const double tb = time_of(b);
        if (ta > 0 && tb > 0) {
            std::printf("ratio %s: %.2f\n", what.c_str(), ta / tb);
        }
    }
    std::map<std::string, double> singles, medians, singles_cpb, medians_cpb;
};

}  // namespace

BENCHMARK(BM_drng_chacha20_get)->Apply(sizes_arg);
BENCHMARK(BM_floor)->Arg(16)->Arg(32)->Arg(64);
BENCHMARK(BM_getrandom_syscall)->Apply(sizes_arg);
BENCHMARK(BM_openssl_RAND_bytes)->Apply(sizes_arg);
BENCHMARK(BM_openssl_EVP_chacha20)->Apply(sizes_arg);
BENCHMARK(BM_sodium_randombytes_buf)->Apply(sizes_arg);
BENCHMARK(BM_blocks_portable)->Arg(4096)->Arg(1 << 20);
#if defined(__x86_64__)
BENCHMARK(BM_blocks_avx2)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_blocks_avx512)->Arg(4096)->Arg(1 << 20);
#endif

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    // Colours only on a terminal, so that a saved report stays plain text.
    RatioReporter reporter(isatty(STDOUT_FILENO) ? RatioReporter::OO_Defaults
                                                 : RatioReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
