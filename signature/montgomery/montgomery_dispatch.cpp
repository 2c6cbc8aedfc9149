// Which kernel a context uses: the fastest this CPU runs for the modulus's size, read from
// the one probe of cpu_features.h, unless a test or benchmark forced another; and the
// records of the digit kernels.
#include "montgomery_dispatch.h"

#include "cpu_features.h"
#include "montgomery_ifma.h"

namespace {

// The kernel montgomery_force_kernel asked for; automatic when none was.
montgomery_kernel forced = montgomery_kernel::automatic;
// Set by montgomery_force_portable_limbs: no limb arithmetic on the ADX kernel.
bool portable_limbs = false;

// The real IFMA kernel, which selects on zmm registers with compare masks.
constexpr montgomery_digit_kernels ifma_kernels = {montgomery_mul_ifma, montgomery_sqr_ifma,
                                                   montgomery_select_ifma};
// The ifma_emulated kernel: the scalar model of the IFMA lanes, once a test, benchmark or
// fuzz target has installed it. (No name here says "emulated", so that a look at the
// program's symbols shows that the model is not in it.)
const montgomery_digit_kernels *lane_model = nullptr;

// The kernels this CPU runs for n limbs, when nothing is forced.
montgomery_kernel limb_kernel_for(int n) {
    return n % 4 == 0 && montgomery_cpu_has_adx() ? montgomery_kernel::adx
                                                  : montgomery_kernel::portable;
}

}  // namespace

void montgomery_choose_kernels(montgomery_ctx *c) {
    const int n = c->n;
    c->limb_kernel = forced == montgomery_kernel::portable || portable_limbs
                         ? montgomery_kernel::portable
                         : limb_kernel_for(n);
    c->kernel = c->limb_kernel;
    if (montgomery_ifma_digits(n) == 0) {
        return;
    }
    if (forced == montgomery_kernel::ifma_emulated) {
        c->kernel = montgomery_kernel::ifma_emulated;
    } else if ((forced == montgomery_kernel::ifma || forced == montgomery_kernel::automatic) &&
               montgomery_cpu_has_ifma()) {
        c->kernel = montgomery_kernel::ifma;
    }
}

const montgomery_digit_kernels *montgomery_digit_kernels_of(const montgomery_ctx *c) {
    return c->kernel == montgomery_kernel::ifma_emulated ? lane_model : &ifma_kernels;
}

void montgomery_install_lane_model(const montgomery_digit_kernels *k) {
    lane_model = k;
}

int montgomery_kernel_runs(montgomery_kernel k) {
    switch (k) {
        case montgomery_kernel::adx:
            return montgomery_cpu_has_adx();
        case montgomery_kernel::ifma:
            return montgomery_cpu_has_ifma();
        case montgomery_kernel::ifma_emulated:
            return static_cast<int>(lane_model != nullptr);
        default:
            return 1;
    }
}

int montgomery_force_kernel(montgomery_kernel k) {
    if (montgomery_kernel_runs(k) == 0) {
        return 0;
    }
    forced = k;
    return 1;
}

void montgomery_force_portable_limbs(int on) {
    portable_limbs = on != 0;
}
