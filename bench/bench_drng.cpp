// libquorvandelith's drng_chacha20_get next to the kernel's getrandom system
// call, OpenSSL's RAND_bytes and libsodium's randombytes_buf, for the same
// request sizes in one run. Bytes per second are reported as MB/s.

#include <benchmark/benchmark.h>
#include <openssl/rand.h>
#include <sodium.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

#include "quorvandelith.h"

namespace {

const std::vector<int64_t> sizes = {16, 32, 64, 4096, 1 << 20};

template <typename Fill>
void run(benchmark::State &state, Fill fill) {
    const size_t len = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> buf(len);
    for (auto _ : state) {
        if (!fill(buf.data(), len)) {
            state.SkipWithError("generator failed");
            break;
        }
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
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

void sizes_arg(benchmark::internal::Benchmark *b) {
    for (int64_t s : sizes) {
        b->Arg(s);
    }
}

}  // namespace

BENCHMARK(BM_drng_chacha20_get)->Apply(sizes_arg);
BENCHMARK(BM_getrandom_syscall)->Apply(sizes_arg);
BENCHMARK(BM_openssl_RAND_bytes)->Apply(sizes_arg);
BENCHMARK(BM_sodium_randombytes_buf)->Apply(sizes_arg);

BENCHMARK_MAIN();
