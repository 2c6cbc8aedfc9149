// The 20-digit product and square in a fixed frame (frame_product), and the kernels for the context's
// digit count over a lane policy of montgomery_ifma_loop.h. Included, like that header, by
// the unit of each policy; everything here is local to the including unit.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "montgomery.h"
#include "montgomery_ifma_loop.h"

namespace {

// Calls f(std::integral_constant<int, i>) for i = 0 .. N - 1 as straight code, so that f
// can use i where a constant is needed (a lane number, a mask, a template argument).
template <int N, typename F>
[[gnu::always_inline]] inline void for_each_constant(F f) {
    [&]<int... I>(std::integer_sequence<int, I...>) __attribute__((always_inline)) {
        (f(std::integral_constant<int, I>{}), ...);
    }(std::make_integer_sequence<int, N>{});
}

// p, through an empty asm statement: the compiler no longer knows what it points to.
template <typename T>
[[gnu::always_inline]] inline T *opaque(T *p) {
    asm("" : "+r"(p) : : "memory");
    return p;
}

// The products of amm_digits and ams_digits (square set: b is a) in a fixed frame of 2 D
// digit positions, for D of 20: first the product a b whole (for the square, its cross
// products once), then the multiples of m, so that no accumulator is shifted in either
// and the products of a step never wait for the step before.
//
// A row a[k] b[i] lands at positions i + k. Copy s of an operand holds it s lanes up
// (digit k in lane k + s of the copy), so row i, read from copy i mod L of a, lands
// whole-vector aligned, (i div L) vectors up; likewise y m of step i, from copy i mod L of
// m for the low halves and copy (i + 1) mod L for the high halves, which belong one
// position up. The rows' high halves are gathered one position down and moved up once
// (with the square's doubling) into the frame T, which is stored for scalar reads. The
// square's diagonal terms are added in scalars where each position is read.
//
// The multiples of m go to two fresh accumulators, rl (low halves) and rh (high halves).
// Step i's y needs the value t0 at position i; as in amm_digits it is a scalar: the frame
// and the accumulators as they were three steps before, read one lane per step, plus the
// terms of the last three y that reach it, which are added in scalars as each y is known
// (u1, u2: the sums for positions i + 1 and i + 2). The vector lane a step reads thus has
// three steps to arrive. The scalar products of y use Y = y 2^12, which the product of t0
// and k0 2^12 gives directly: the high word of Y m[j] is the high half of y m[j], and Y
// m[j] shifted down 12 bits its low half. The last carry is added to the result's lowest
// digit, as in amm_digits. Lanes stay below 2^61.
template <typename Ops, int D, bool square>
[[gnu::always_inline]] inline void frame_product(std::uint64_t *r, const std::uint64_t *a,
                                                 const std::uint64_t *b, const std::uint64_t *m,
                                                 std::uint64_t k0) {
    using V = typename Ops::V;
    constexpr int L = Ops::lanes;
    constexpr int nv = (D + L - 1) / L;       // vectors of an operand
    constexpr int nc = nv + 1;                // vectors of a copy
    constexpr int nf = (2 * D + L - 1) / L;  // vectors of the frame
    // At 40 digits the unrolled code measured slower than amm_digits and ams_digits.
    static_assert(D >= 4 && D <= 20, "the frame's unrolled code is sized for 20 digits");
    alignas(64) std::uint64_t ac[L][L * nc], mc[L][L * nc], frame[L * nf];
    for_each_constant<L>([&](auto s) __attribute__((always_inline)) {
        V prev_a = Ops::zero(), prev_m = Ops::zero();
        for_each_constant<nc>([&](auto u) __attribute__((always_inline)) {
            const V cur_a = u < nv ? Ops::load(a + L * u) : Ops::zero();
            const V cur_m = u < nv ? Ops::load(m + L * u) : Ops::zero();
            Ops::store(ac[s] + L * u, Ops::template shift_up<s>(cur_a, prev_a));
            Ops::store(mc[s] + L * u, Ops::template shift_up<s>(cur_m, prev_m));
            prev_a = cur_a;
            prev_m = cur_m;
        });
    });
    // The copies are read as instruction operands: seen through these pointers the
    // compiler cannot keep them in registers, where they would push the accumulators out.
    const std::uint64_t(*const acp)[L * nc] = opaque(ac);
    const std::uint64_t(*const mcp)[L * nc] = opaque(mc);
    V lo[nf], hi[nf];
    for_each_constant<nf>([&](auto v) __attribute__((always_inline)) {
        lo[v] = Ops::zero();
        hi[v] = Ops::zero();
    });
    for_each_constant<square ? D - 1 : D>([&](auto ic) __attribute__((always_inline)) {
        constexpr int i = ic, s = i % L, q = i / L;
        const V bi = Ops::bcast(b[i]);
        for_each_constant<nc>([&](auto u) __attribute__((always_inline)) {
            // lanes of copy s holding a[k], for the square only those with k > i
            constexpr unsigned keep = square ? above_mask<L>(i + s, u) : (1u << L) - 1;
            if constexpr (keep == (1u << L) - 1 && L * u < D + s) {
                const V x = Ops::load(acp[s] + L * u);
                lo[u + q] = Ops::madd_lo(lo[u + q], x, bi);
                hi[u + q] = Ops::madd_hi(hi[u + q], x, bi);
            } else if constexpr (keep != 0 && L * u < D + s) {
                const V x = Ops::load(acp[s] + L * u);
                lo[u + q] = Ops::madd_lo_mask(lo[u + q], keep, x, bi);
                hi[u + q] = Ops::madd_hi_mask(hi[u + q], keep, x, bi);
            }
        });
    });
    V rl[nf], rh[nf];
    for_each_constant<nf>([&](auto v) __attribute__((always_inline)) {
        const V up = Ops::template shift_up<1>(hi[v], v == 0 ? Ops::zero() : hi[v == 0 ? 0 : v - 1]);
        const V t = Ops::add(lo[v], up);
        Ops::store(frame + L * v, square ? Ops::add(t, t) : t);
        rl[v] = Ops::zero();
        rh[v] = Ops::zero();
    });
    const std::uint64_t k0s = k0 << 12;
    const auto high = [](std::uint64_t x, std::uint64_t z) __attribute__((always_inline)) {
        __extension__ typedef unsigned __int128 u128;
        return static_cast<std::uint64_t>(static_cast<u128>(x) * z >> 64);
    };
    // The square's diagonal term at position p.
    const auto diag = [a](int p) __attribute__((always_inline)) {
        return square ? diagonal(a, p) : 0;
    };
    std::uint64_t t0 = frame[0] + diag(0), u1 = frame[1], u2 = frame[2], carry = 0;
    for_each_constant<D>([&](auto ic) __attribute__((always_inline)) {
        constexpr int i = ic, p = i + 3;
        std::uint64_t later = 0;  // position i + 3 as of three steps back
        if constexpr (p < D) {
            later = frame[p] + Ops::template lane<p % L>(Ops::add(rl[p / L], rh[p / L]));
        }
        const std::uint64_t ys = t0 * k0s;  // y 2^12
        const V yv = Ops::bcast(ys >> 12);
        for_each_constant<nc>([&](auto u) __attribute__((always_inline)) {
            constexpr int sl = i % L, ql = i / L, sh = (i + 1) % L, qh = (i + 1) / L;
            if constexpr (u + ql < nf && L * u < D + sl) {
                rl[u + ql] = Ops::madd_lo(rl[u + ql], Ops::load(mcp[sl] + L * u), yv);
            }
            if constexpr (u + qh < nf && L * u < D + sh) {
                rh[u + qh] = Ops::madd_hi(rh[u + qh], Ops::load(mcp[sh] + L * u), yv);
            }
        });
        carry = carry_out<Ops>(t0);
        if constexpr (i + 1 < D) {
            t0 = high(ys, m[0]) + (ys * m[1] >> 12) + u1 + carry + diag(i + 1);
            u1 = u2 + (ys * m[2] >> 12) + high(ys, m[1]);
            u2 = later + (ys * m[3] >> 12) + high(ys, m[2]);
        }
    });
    for_each_constant<nf>([&](auto v) __attribute__((always_inline)) {
        Ops::store(frame + L * v,
                   Ops::add(Ops::load(frame + L * v), Ops::add(rl[v], rh[v])));
    });
    for_each_index<D, true>([&](int j) __attribute__((always_inline)) {
        const std::uint64_t s = frame[D + j] + diag(D + j) + carry;
        r[j] = s & digit_mask;
        carry = s >> 52;
    });
    for (int j = D; j < (D + 7) / 8 * 8; j++) {
        r[j] = 0;
    }
}

// The kernels for the context's digit count (20 or 40): at 20 digits in the fixed frame.
template <typename Ops>
void amm(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
         const montgomery_ctx *c) {
    if (c->digits == 20) {
        frame_product<Ops, 20, false>(r, a, b, c->md, c->k0);
    } else {
        amm_digits<Ops, 40>(r, a, b, c->md, c->k0);
    }
}

template <typename Ops>
void ams(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c) {
    if (c->digits == 20) {
        frame_product<Ops, 20, true>(r, a, a, c->md, c->k0);
    } else {
        ams_digits<Ops, 40>(r, a, c->md, c->k0);
    }
}

}  // namespace
