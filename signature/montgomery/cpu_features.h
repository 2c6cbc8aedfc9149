// What this CPU and its OS offer the Montgomery kernels, probed once (CPUID and XGETBV) and
// read by every choice of kernel. Off x86-64 every feature reads as absent.
#pragma once

// The instruction sets the kernels use, each 1 if the CPU reports it, else 0.
struct cpu_features {
    int bmi2;        // CPUID.(EAX=7,ECX=0):EBX bit 8: mulx
    int adx;         // EBX bit 19: adcx, adox
    int avx512f;     // EBX bit 16
    int avx512ifma;  // EBX bit 21: vpmadd52luq, vpmadd52huq
    int avx512vl;    // EBX bit 31: the AVX-512 instructions on ymm registers
    // 1 if CPUID.1:ECX.OSXSAVE (bit 27) is set and XCR0 shows that the OS saves the SSE,
    // AVX, opmask and whole zmm0-31 state (bits 1, 2, 5, 6 and 7).
    int os_zmm_state;
};

// The features of this CPU. The first call probes and keeps the answer in a function-local
// static: CPUID is slow (in a virtual machine it traps to the hypervisor), and the answer
// is a constant of the machine.
const cpu_features *cpu_features_get();

// For the constant-time test under valgrind, whose virtual CPU runs mulx, adcx and adox
// but reports BMI2 without ADX: from this call on, ADX reads as present wherever BMI2
// is, so that the ADX kernel is chosen and checked there. Nothing else calls it.
void cpu_features_assume_adx();

// 1 if the ADX kernel runs here: BMI2 and ADX.
int montgomery_cpu_has_adx();

// 1 if the IFMA kernels run here: AVX512F, AVX512_IFMA and AVX512VL, with the zmm state
// saved by the OS.
int montgomery_cpu_has_ifma();
