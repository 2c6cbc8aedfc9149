// The radix-2^52 digit loop on a scalar model of the IFMA lane operations, for checking
// the algorithm on any CPU, and its installation as the engine's ifma_emulated kernel.
#include "montgomery_ifma_emulated.h"

#include "montgomery_dispatch.h"
#include "montgomery_ifma_scalar_ops.h"
#include "montgomery_ifma_frame.h"
#include "montgomery_kernels.h"

void montgomery_mul_ifma_emulated(u64 *r, const u64 *a, const u64 *b, const montgomery_ctx *c) {
    amm<scalar_ops>(r, a, b, c);
}

void montgomery_sqr_ifma_emulated(u64 *r, const u64 *a, const montgomery_ctx *c) {
    ams<scalar_ops>(r, a, c);
}

namespace {

// The model's products, and the engine's scalar table read with masks, where the real
// kernel selects on zmm registers.
constexpr montgomery_digit_kernels emulated_kernels = {
    montgomery_mul_ifma_emulated, montgomery_sqr_ifma_emulated, montgomery_select_masked};

// Installed when the program starts, before main: the model's library is an object
// library, so this unit is linked into every test, benchmark and fuzz target that names
// it, and their montgomery_force_kernel(ifma_emulated) works from their first line on.
// The record is constant-initialised and the engine's pointer to it zero-initialised, so
// the order of static initialisation between units does not matter.
[[maybe_unused]] const bool installed = [] {
    montgomery_install_lane_model(&emulated_kernels);
    return true;
}();

}  // namespace
