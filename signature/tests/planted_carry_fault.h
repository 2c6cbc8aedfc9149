// A planted fault in the radix-2^52 digit loop, for showing that the kernel tests'
// comparison with GMP finds a broken carry. The loop of montgomery_ifma_loop.h is built over
// a lane policy whose carry_out, in one chosen step, drops the carry out of the lowest
// digit (carry_out is called once per step). Dropped in the last step, that carry is worth
// 1 in the result's lowest digit, so the result falls short by the carry; dropped in no
// step, the build computes what the library's kernel does.
//
// The builds live in the test units that include this header: over the scalar lane model
// in montgomery_kernel_test.cpp, and over the ymm and zmm operations in
// planted_carry_fault_zmm.cpp, which includes it inside its AVX-512 IFMA region, with the
// policy for each digit count that montgomery_ifma.cpp uses.
// The templates are local to the including unit.
#pragma once

#include <cstdint>

#include "montgomery.h"
#include "montgomery_ifma_frame.h"

// The step of the digit loop whose carry the planted builds drop, or -1 for none. Defined
// in montgomery_kernel_test.cpp.
extern int planted_carry_step;

// The planted build on the real IFMA instructions; it needs montgomery_cpu_has_ifma.
void planted_mul_ifma(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                      const montgomery_ctx *c);
void planted_sqr_ifma(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c);

namespace {

// Base's lane operations, with the carry of step planted_carry_step left out.
template <typename Base>
struct carry_dropped_ops : Base {
    static inline int step = 0;  // steps of the current call so far
    static std::uint64_t carry_out(std::uint64_t t0) {
        return step++ == planted_carry_step ? 0 : dropped_carry(t0);
    }
};

// The planted builds for the context's digit count: Ops20 for 20 digits, Ops40 for 40.
template <typename Ops20, typename Ops40 = Ops20>
void planted_amm(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                 const montgomery_ctx *c) {
    carry_dropped_ops<Ops20>::step = 0;
    carry_dropped_ops<Ops40>::step = 0;
    if (c->digits == 20) {
        frame_product<carry_dropped_ops<Ops20>, 20>(r, a, b, c->md, c->k0);
    } else {
        amm_digits<carry_dropped_ops<Ops40>, 40>(r, a, b, c->md, c->k0);
    }
}

template <typename Ops20, typename Ops40 = Ops20>
void planted_ams(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c) {
    carry_dropped_ops<Ops20>::step = 0;
    carry_dropped_ops<Ops40>::step = 0;
    if (c->digits == 20) {
        frame_product<carry_dropped_ops<Ops20>, 20>(r, a, a, c->md, c->k0);
    } else {
        ams_digits<carry_dropped_ops<Ops40>, 40>(r, a, c->md, c->k0);
    }
}

}  // namespace
