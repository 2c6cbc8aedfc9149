// Zeroing of the registers that a call into libquorvandelith leaves behind.
// Internal to the library: compiled into it with hidden visibility.
#pragma once

#pragma GCC visibility push(hidden)

namespace quorvandelith {

// Zeroes the call-clobbered registers, where key and keystream words of the
// work just done may still lie: whatever the caller's next register save
// (a signal frame, a context switch, a spill of its own) would put on its
// stack. Each exported function that touches a record calls it last, after
// its stack wipe; the callee-saved registers hold the caller's own values
// again by then.
//
// x86-64: rax, rcx, rdx, rsi, rdi and r8-r11; all of xmm/ymm/zmm 0-15
// (VZEROALL where the CPU has AVX, else the sixteen xmm registers); and with
// AVX-512 also zmm16-31 and the mask registers k0-k7.
// AArch64 and s390x with GCC: the registers the compiler's own zeroing of
// call-used registers covers (general and vector or floating-point ones).
// Elsewhere, and with compilers that have no such zeroing, nothing is done.
void clear_registers();

}  // namespace quorvandelith

#pragma GCC visibility pop
