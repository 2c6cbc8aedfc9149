// The choice of a context's kernels, and the records through which the exponentiation
// reaches the radix-2^52 digit kernels. The product holds the record of the real IFMA
// kernel; the scalar model of its lanes is built only into tests, benchmarks and the fuzz
// target, which hand its record over through montgomery_install_lane_model.
#pragma once

#include <cstdint>

#include "montgomery.h"

// The digit kernels as the exponentiation sees them: almost Montgomery products and
// squares on the context's padded digits, and the table read of the exponentiation.
struct montgomery_digit_kernels {
    void (*mul)(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                const montgomery_ctx *c);
    void (*sqr)(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c);
    void (*select)(std::uint64_t *r, const std::uint64_t *table, int entries, int width,
                   std::uint64_t index);
};

// Sets c->limb_kernel and c->kernel for a context of c->n limbs: what this CPU runs
// fastest, or what montgomery_force_kernel and montgomery_force_portable_limbs asked for.
void montgomery_choose_kernels(montgomery_ctx *c);

// The record of c's digit kernel, for a context whose kernel is ifma or ifma_emulated.
const montgomery_digit_kernels *montgomery_digit_kernels_of(const montgomery_ctx *c);

// Test hook: k becomes the record of the ifma_emulated kernel, which montgomery_kernel_runs
// and montgomery_force_kernel then accept. Until it is called the product has no
// ifma_emulated kernel. k must outlive every context made for it.
void montgomery_install_lane_model(const montgomery_digit_kernels *k);
