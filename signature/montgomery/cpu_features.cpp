// The one probe of the CPU's features for the Montgomery kernels: CPUID leaf 7 for the
// instruction sets, and XGETBV for the register state the OS saves, which only a CPU with
// OSXSAVE may be asked.
#include "cpu_features.h"

#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

#if defined(__x86_64__)

// XCR0, read with XGETBV (needs CPUID.1:ECX.OSXSAVE).
std::uint64_t xcr0() {
    std::uint32_t lo = 0, hi = 0;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return static_cast<std::uint64_t>(hi) << 32 | lo;
}

int bit(unsigned word, int k) {
    return static_cast<int>(word >> k & 1);
}

// 1 if the OS saves SSE, AVX, opmask, the upper halves of zmm0-15 and zmm16-31.
int probe_os_zmm_state() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || bit(c, 27) == 0) {
        return 0;  // no OSXSAVE: XGETBV is not available
    }
    constexpr std::uint64_t zmm_state = 1u << 1 | 1u << 2 | 1u << 5 | 1u << 6 | 1u << 7;
    return static_cast<int>((xcr0() & zmm_state) == zmm_state);
}

cpu_features probe() {
    cpu_features f{};
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) != 0) {
        f.bmi2 = bit(b, 8);
        f.adx = bit(b, 19);
        f.avx512f = bit(b, 16);
        f.avx512ifma = bit(b, 21);
        f.avx512vl = bit(b, 31);
    }
    f.os_zmm_state = probe_os_zmm_state();
    return f;
}

#else

// No x86-64 kernel exists here: nothing to report.
cpu_features probe() {
    return cpu_features{};
}

#endif

cpu_features *features() {
    static cpu_features probed = probe();
    return &probed;
}

}  // namespace

const cpu_features *cpu_features_get() {
    return features();
}

void cpu_features_assume_adx() {
    features()->adx = features()->bmi2;
}

int montgomery_cpu_has_adx() {
    const cpu_features *f = cpu_features_get();
    return f->bmi2 != 0 && f->adx != 0;
}

int montgomery_cpu_has_ifma() {
    const cpu_features *f = cpu_features_get();
    return f->avx512f != 0 && f->avx512ifma != 0 && f->avx512vl != 0 && f->os_zmm_state != 0;
}
