// A planted fault in the radix-2^52 digit loop, for showing that the kernel tests'
// comparison with GMP finds a broken carry. The loop of montgomery_ifma_loop.h is built over
// a lane policy that, in one chosen step, drops the carry out of the lowest digit into the
// next one (add_lane0 is called once per step, after the frame moves down a digit). Dropped
// in the last step, that carry is worth 1 in the result, so the result falls short by the
// carry (a few units); dropped in no step, the build computes what the library's kernel
// does.
//
// The builds live in the test units that include this header: over the scalar lane model
// in montgomery_kernel_test.cpp, and over the zmm operations in
// planted_carry_fault_zmm.cpp, which includes it inside its AVX-512 IFMA region.
// The templates are local to the including unit.
#pragma once

#include <cstdint>

#include "montgomery.h"
#include "montgomery_ifma_loop.h"

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
    using V = typename Base::V;
    static inline int step = 0;  // steps of the current call so far
    static V add_lane0(V v, std::uint64_t x) {
        return step++ == planted_carry_step ? v : Base::add_lane0(v, x);
    }
};

template <typename Base>
void planted_amm(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                 const montgomery_ctx *c) {
    carry_dropped_ops<Base>::step = 0;
    amm<carry_dropped_ops<Base>>(r, a, b, c);
}

template <typename Base>
void planted_ams(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c) {
    carry_dropped_ops<Base>::step = 0;
    ams<carry_dropped_ops<Base>>(r, a, c);
}

}  // namespace
