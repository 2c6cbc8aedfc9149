// The 20-digit product in a fixed frame (frame_product), and the kernels for the context's
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

// r = a b 2^(-52 D) (mod m), the result of amm_digits, in a fixed frame of 2 D digit
// positions, for D of 20. Nothing is shifted: each product lands where its digit is.
//
// Row j adds a b[j], whose digit a[k] b[j] belongs at position j + k. Copy s of a holds a
// s lanes up (digit k in lane k + s), so row j, read from copy j mod L, lands
// whole-vector aligned, j div L vectors up; the high halves, one position further up,
// are read from copy (j + 1) mod L. Step i adds y m the same way from the copies of m.
// Rows and steps add to the same two accumulators, rl (low halves) and rh (high
// halves), each a single multiply-add per vector and step away from its last value.
//
// Step i's y needs t0, the value at position i. As in amm_digits it is a scalar, built
// over three steps: at step i the lane of position i + 3 is read (rl + rh), which holds
// the rows up to i + 3 and the steps up to i - 1; the terms of y_i, y_(i+1) and y_(i+2)
// that reach position i + 3 are added in scalars as each y is known (u2, u1, then t0).
// The lane a step reads thus has three steps to arrive, and the chain from one y to the
// next stays in the scalar unit. The rows run four ahead of the steps, so that each lane
// read holds its rows, and are interleaved with the steps so that the steps' scalar chain
// starts at once instead of waiting behind all the rows' multiply-adds (a square in two
// phases, rows first, measured 13 % slower, even with its cross products computed once).
//
// The scalar products of y use Y = y 2^12, which the product of t0 and k0 2^12 gives
// directly: the high word of Y m[j] is the high half of y m[j], and Y m[j] shifted down
// 12 bits its low half. The last carry is added to the result's lowest digit, as in
// amm_digits. Each position gathers at most 4 D halves below 2^52: lanes stay below 2^59.
template <typename Ops, int D>
[[gnu::always_inline]] inline void frame_product(std::uint64_t *r, const std::uint64_t *a,
                                                 const std::uint64_t *b, const std::uint64_t *m,
                                                 std::uint64_t k0) {
    using V = typename Ops::V;
    constexpr int L = Ops::lanes;
    constexpr int nv = (D + L - 1) / L;       // vectors of an operand
    constexpr int nc = nv + 1;                // vectors of a copy
    constexpr int nf = (2 * D + L - 1) / L;  // vectors of the frame
    constexpr int ahead = 4;                  // rows issued before step 0
    // At 40 digits (zmm) the straight code measured a fifth slower than amm_digits and
    // ams_digits.
    static_assert(D >= 4 && D <= 20, "the frame's straight code is sized for 20 digits");
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
    V rl[nf], rh[nf];
    for_each_constant<nf>([&](auto v) __attribute__((always_inline)) {
        rl[v] = Ops::zero();
        rh[v] = Ops::zero();
    });
    // Adds x times the digits of the copies at c, for row or step i.
    const auto add_row = [&](auto ic, const std::uint64_t(*c)[L * nc], const V &x)
        __attribute__((always_inline)) {
        constexpr int i = ic, sl = i % L, ql = i / L, sh = (i + 1) % L, qh = (i + 1) / L;
        for_each_constant<nc>([&](auto u) __attribute__((always_inline)) {
            if constexpr (u + ql < nf && L * u < D + sl) {
                rl[u + ql] = Ops::madd_lo(rl[u + ql], Ops::load(c[sl] + L * u), x);
            }
            if constexpr (u + qh < nf && L * u < D + sh) {
                rh[u + qh] = Ops::madd_hi(rh[u + qh], Ops::load(c[sh] + L * u), x);
            }
        });
    };
    const auto row = [&](auto jc) __attribute__((always_inline)) {
        if constexpr (jc < D) {
            add_row(jc, acp, Ops::bcast(b[jc]));
        }
    };
    for_each_constant<ahead>(row);
    const std::uint64_t k0s = k0 << 12;
    const auto high = [](std::uint64_t x, std::uint64_t z) __attribute__((always_inline)) {
        __extension__ typedef unsigned __int128 u128;
        return static_cast<std::uint64_t>(static_cast<u128>(x) * z >> 64);
    };
    // Positions 0, 1 and 2 before any step, from the rows' terms that reach them.
    std::uint64_t t0 = lo52(a[0], b[0]);
    std::uint64_t u1 = lo52(a[1], b[0]) + hi52(a[0], b[0]) + lo52(a[0], b[1]);
    std::uint64_t u2 = lo52(a[2], b[0]) + hi52(a[1], b[0]) + lo52(a[1], b[1]) +
                       hi52(a[0], b[1]) + lo52(a[0], b[2]);
    std::uint64_t carry = 0;
    for_each_constant<D>([&](auto ic) __attribute__((always_inline)) {
        constexpr int i = ic, p = i + 3;
        std::uint64_t later = 0;  // position i + 3: rows up to i + 3, steps up to i - 1
        if constexpr (p < D) {
            later = Ops::template lane<p % L>(Ops::add(rl[p / L], rh[p / L]));
        }
        row(std::integral_constant<int, i + ahead>{});
        const std::uint64_t ys = t0 * k0s;  // y 2^12
        add_row(ic, mcp, Ops::bcast(ys >> 12));
        carry = carry_out<Ops>(t0);
        if constexpr (i + 1 < D) {
            t0 = high(ys, m[0]) + (ys * m[1] >> 12) + u1 + carry;
            u1 = u2 + (ys * m[2] >> 12) + high(ys, m[1]);
            u2 = later + (ys * m[3] >> 12) + high(ys, m[2]);
        }
    });
    for_each_constant<nf>([&](auto v) __attribute__((always_inline)) {
        Ops::store(frame + L * v, Ops::add(rl[v], rh[v]));
    });
    for_each_index<D, true>([&](int j) __attribute__((always_inline)) {
        const std::uint64_t s = frame[D + j] + carry;
        r[j] = s & digit_mask;
        carry = s >> 52;
    });
    for (int j = D; j < (D + 7) / 8 * 8; j++) {
        r[j] = 0;
    }
}

// The kernels for the context's digit count (20 or 40): at 20 digits the product in the
// fixed frame, which also squares.
template <typename Ops>
void amm(std::uint64_t *r, const std::uint64_t *a, const std::uint64_t *b,
         const montgomery_ctx *c) {
    if (c->digits == 20) {
        frame_product<Ops, 20>(r, a, b, c->md, c->k0);
    } else {
        amm_digits<Ops, 40>(r, a, b, c->md, c->k0);
    }
}

template <typename Ops>
void ams(std::uint64_t *r, const std::uint64_t *a, const montgomery_ctx *c) {
    if (c->digits == 20) {
        frame_product<Ops, 20>(r, a, a, c->md, c->k0);
    } else {
        ams_digits<Ops, 40>(r, a, c->md, c->k0);
    }
}

}  // namespace
