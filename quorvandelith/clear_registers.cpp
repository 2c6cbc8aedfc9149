// Zeroes the call-clobbered registers at the end of the library's exported
// calls (see clear_registers.h for which ones on which CPU).

#include "clear_registers.h"
#include "wipe.h"  // for its check that this unit is optimised

namespace quorvandelith {

#if defined(__x86_64__)
namespace {

// zmm16-31 and k0-k7 exist only with AVX-512, and VZEROALL leaves them alone.
// A write to a register's low part by a vector instruction zeroes the rest.
// Run only where the CPU has AVX-512F.
__attribute__((target("avx512f"), noinline)) void clear_avx512_registers() {
    asm volatile(
        "vpxord %%zmm16, %%zmm16, %%zmm16\n\t"
        "vpxord %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n\t"
        "vpxord %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n\t"
        "vpxord %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n\t"
        "vpxord %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n\t"
        "vpxord %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n\t"
        "vpxord %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n\t"
        "vpxord %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n\t"
        "vpxord %%zmm31, %%zmm31, %%zmm31\n\t"
        "kxorw %%k0, %%k0, %%k0\n\t"
        "kxorw %%k1, %%k1, %%k1\n\t"
        "kxorw %%k2, %%k2, %%k2\n\t"
        "kxorw %%k3, %%k3, %%k3\n\t"
        "kxorw %%k4, %%k4, %%k4\n\t"
        "kxorw %%k5, %%k5, %%k5\n\t"
        "kxorw %%k6, %%k6, %%k6\n\t"
        "kxorw %%k7, %%k7, %%k7" ::
            : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24",
              "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31", "k0", "k1", "k2", "k3",
              "k4", "k5", "k6", "k7");
}

}  // namespace

// Vector registers 0-15, and 16-31 with AVX-512. Called only by
// clear_registers below (a C name, for its assembly).
extern "C" __attribute__((used, visibility("hidden"))) void quorvandelith_clear_vector_registers() {
    // Asked on every call, as the whole-block paths are chosen: a cheap read
    // of the compiler runtime's CPU description.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        clear_avx512_registers();
    }
    if (__builtin_cpu_supports("avx")) {
        // All 256 (with AVX-512: 512) bits of registers 0-15.
        asm volatile("vzeroall" ::
                         : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                           "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    } else {
        asm volatile(
            "pxor %%xmm0, %%xmm0\n\t"
            "pxor %%xmm1, %%xmm1\n\t"
            "pxor %%xmm2, %%xmm2\n\t"
            "pxor %%xmm3, %%xmm3\n\t"
            "pxor %%xmm4, %%xmm4\n\t"
            "pxor %%xmm5, %%xmm5\n\t"
            "pxor %%xmm6, %%xmm6\n\t"
            "pxor %%xmm7, %%xmm7\n\t"
            "pxor %%xmm8, %%xmm8\n\t"
            "pxor %%xmm9, %%xmm9\n\t"
            "pxor %%xmm10, %%xmm10\n\t"
            "pxor %%xmm11, %%xmm11\n\t"
            "pxor %%xmm12, %%xmm12\n\t"
            "pxor %%xmm13, %%xmm13\n\t"
            "pxor %%xmm14, %%xmm14\n\t"
            "pxor %%xmm15, %%xmm15" ::
                : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
                  "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    }
}

// In assembly, so that the general registers are zeroed after everything
// else, the compiler's epilogues included (one may restore a register it had
// saved for alignment). The stack is 16-byte aligned again for the call.
__attribute__((naked)) void clear_registers() {
    asm("subq $8, %rsp\n\t"
        ".cfi_adjust_cfa_offset 8\n\t"
        "call quorvandelith_clear_vector_registers\n\t"
        "addq $8, %rsp\n\t"
        ".cfi_adjust_cfa_offset -8\n\t"
        "xorl %eax, %eax\n\t"
        "xorl %ecx, %ecx\n\t"
        "xorl %edx, %edx\n\t"
        "xorl %esi, %esi\n\t"
        "xorl %edi, %edi\n\t"
        "xorl %r8d, %r8d\n\t"
        "xorl %r9d, %r9d\n\t"
        "xorl %r10d, %r10d\n\t"
        "xorl %r11d, %r11d\n\t"
        "ret");
}

#elif (defined(__aarch64__) || defined(__s390x__)) && !defined(__clang__) && \
    defined(__has_attribute)
#if __has_attribute(zero_call_used_regs)
// GCC zeroes every call-used register on the way out of this function:
// x0-x18 and v0-v7, v16-v31 on AArch64 (the upper halves of v8-v15 are
// zeroed by any restore of d8-d15); r0-r5 and f0-f7 on s390x.
__attribute__((zero_call_used_regs("all"), noinline)) void clear_registers() {}
#else
void clear_registers() {}
#endif

#else
// No zeroing this compiler can be asked for on this architecture.
void clear_registers() {}
#endif

}  // namespace quorvandelith
