// The IFMA kernel: the radix-2^52 digit loop on zmm registers with vpmadd52luq and
// vpmadd52huq, and the run-time check for the instructions and the OS's zmm support.
// Everything between the target pragmas is compiled for AVX-512F and AVX-512 IFMA, and is
// run only after montgomery_cpu_has_ifma.
#include "montgomery_ifma.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

int montgomery_ifma_digits(int n) {
    return n == 16 ? 20 : n == 32 ? 40 : 0;
}

#if defined(__x86_64__)

namespace {

// XCR0, read with XGETBV (needs CPUID.1:ECX.OSXSAVE).
std::uint64_t xcr0() {
    std::uint32_t lo = 0, hi = 0;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return static_cast<std::uint64_t>(hi) << 32 | lo;
}

}  // namespace

int montgomery_cpu_has_ifma() {
    static const int present = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c >> 27 & 1) == 0) {
            return 0;  // no OSXSAVE: XGETBV is not available
        }
        // SSE, AVX, opmask, upper halves of zmm0-15, zmm16-31.
        constexpr std::uint64_t zmm_state = 1u << 1 | 1u << 2 | 1u << 5 | 1u << 6 | 1u << 7;
        if ((xcr0() & zmm_state) != zmm_state) {
            return 0;
        }
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) {
            return 0;
        }
        return static_cast<int>((b >> 16 & 1) != 0 && (b >> 21 & 1) != 0);  // F, IFMA
    }();
    return present;
}

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512ifma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512ifma")
#endif

#include "montgomery_ifma_zmm_ops.h"

void montgomery_mul_ifma(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                         const montgomery_ctx *c) {
    amm<zmm_ops>(r, a, b, c);
}

void montgomery_sqr_ifma(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c) {
    ams<zmm_ops>(r, a, c);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

int montgomery_cpu_has_ifma() {
    return 0;
}

void montgomery_mul_ifma(std::uint64_t *, const std::uint64_t *, const std::uint64_t *,
                         const montgomery_ctx *) {}
void montgomery_sqr_ifma(std::uint64_t *, const std::uint64_t *, const montgomery_ctx *) {}

#endif
