// The radix-2^52 digit loop of montgomery_ifma.h on a scalar model of the IFMA lanes
// (montgomery_ifma_scalar_ops.h), which runs on any CPU. Built only into the tests, the
// benchmarks and the fuzz target (the signature_montgomery_lane_model library), never into
// the program: linking it installs its record as the ifma_emulated kernel, which
// montgomery_force_kernel then accepts.
#pragma once

#include <cstdint>

#include "montgomery.h"

// r = a b R^-1 (mod m) and r = a^2 R^-1 (mod m), almost reduced, for a, b < 2m, as
// montgomery_mul_ifma and montgomery_sqr_ifma give them; r may be a or b.
void montgomery_mul_ifma_emulated(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
                                  const montgomery_ctx *c);
void montgomery_sqr_ifma_emulated(std::uint64_t *r, const std::uint64_t *a,
                                  const montgomery_ctx *c);
