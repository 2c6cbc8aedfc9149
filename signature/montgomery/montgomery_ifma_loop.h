// The digit loop of almost Montgomery multiplication in radix 2^52, written once over a
// policy of lane operations (see montgomery_ifma.h), in a frame that moves down one digit
// per step; the kernels run it at 40 digits (montgomery_ifma_frame.h has the 20-digit
// product). Included by the unit of each policy; everything here is local to the
// including unit.
//
// A policy Ops provides a vector type Ops::V of Ops::lanes 64-bit lanes (8 or 4) and:
//   zero(), load(p), store(p, v), bcast(x)   the usual moves
//   add(a, b)            each lane: a + b                                   (vpaddq)
//   madd_lo(acc, a, b)   each lane: acc + low 52 bits of a[51:0] b[51:0]   (vpmadd52luq)
//   madd_hi(acc, a, b)   each lane: acc + bits 52..103 of a[51:0] b[51:0]  (vpmadd52huq)
//   madd_lo_mask(acc, k, a, b), madd_hi_mask(acc, k, a, b)
//                        the same in the lanes whose bit is set in the mask k; the
//                        other lanes keep acc (the merge-masking forms)
//   align1(lo, hi)       lanes lo[1..], hi[0]: one lane down across two vectors (valignq)
//   shift_up<s>(cur, prev)  lanes prev[lanes-s..], cur[..lanes-s-1]: s lanes up (valignq)
//   lane1(v), lane<l>(v) lane 1, lane l (vpextrq)
// Lane additions wrap modulo 2^64.
#pragma once

#include <cstdint>

#include "montgomery.h"

namespace {

constexpr std::uint64_t digit_mask = (std::uint64_t{1} << 52) - 1;

// The low and high 52-bit halves of a product of two digits, as vpmadd52luq and
// vpmadd52huq add them.
inline std::uint64_t lo52(std::uint64_t a, std::uint64_t b) {
    return (a * b) & digit_mask;
}
inline std::uint64_t hi52(std::uint64_t a, std::uint64_t b) {
    __extension__ typedef unsigned __int128 u128;
    return static_cast<std::uint64_t>(static_cast<u128>(a) * b >> 52);
}

// What the lowest digit t0 carries into the next once y m is added: t0 + (m0 y mod 2^52)
// is a multiple of 2^52, and (m0 y mod 2^52) is below 2^52 and zero only when t0's low 52
// bits are, so the carry is t0's bits above 52, plus one when its low 52 bits are not
// all zero. It needs no y, so it is off the path from one y to the next.
inline std::uint64_t dropped_carry(std::uint64_t t0) {
    return (t0 >> 52) + (((t0 & digit_mask) + digit_mask) >> 52);
}

// The carry out of the dropped digit, as dropped_carry gives it; a policy with a
// carry_out of its own takes its place (the kernel test's planted carry fault does). The
// library's policies have none.
template <typename Ops>
inline std::uint64_t carry_out(std::uint64_t t0) {
    if constexpr (requires { Ops::carry_out(t0); }) {
        return Ops::carry_out(t0);
    } else {
        return dropped_carry(t0);
    }
}

// Lanes k of vector v of L lanes with L v + k > i: the cross products a[i] a[k] of row i.
template <int L>
constexpr unsigned above_mask(int i, int v) {
    constexpr unsigned all = (1u << L) - 1;
    return i < L * v ? all : i >= L * v + L - 1 ? 0u : (all << (i - L * v + 1)) & all;
}

// The padding digits from the last whole vector of L lanes up to the eight of the
// operands' layout.
template <int L, int D>
inline void clear_padding(std::uint64_t *r) {
    for (int j = (D + L - 1) / L * L; j < (D + 7) / 8 * 8; j++) {
        r[j] = 0;
    }
}

// The square's diagonal term at digit position p: the low half of a[p/2]^2 for even p,
// the high half of a[(p-1)/2]^2 for odd p (halves of 52 bits).
inline std::uint64_t diagonal(const std::uint64_t *a, int p) {
    __extension__ typedef unsigned __int128 u128;
    const u128 sq = static_cast<u128>(a[p / 2]) * a[p / 2];
    return p % 2 == 0 ? static_cast<std::uint64_t>(sq) & digit_mask
                      : static_cast<std::uint64_t>(sq >> 52);
}

// Runs f(0) .. f(N - 1), as straight code when unrolled is set. The loops below unroll
// their final normalisation up to 20 digits, and the square its digit steps too, whose
// vector rows and masks then become constants; at 40 digits, the size they serve (20
// digits take the fixed frame of montgomery_ifma_frame.h), straight code is too long to
// pay.
template <int N, bool unrolled, typename F>
[[gnu::always_inline]] inline void for_each_index(F f) {
    if constexpr (unrolled) {
#pragma GCC unroll 40
        for (int i = 0; i < N; i++) {
            f(i);
        }
    } else {
        for (int i = 0; i < N; i++) {
            f(i);
        }
    }
}

// r = a b 2^(-52 D) (mod m), below 2m for a, b < 2m and 4m < 2^(52 D), in normalised
// digits. a, b, m: D digits below 2^52 zero-padded to whole vectors of eight; k0 =
// -m^-1 mod 2^52. The digits of r past the last whole vector of the policy's width, up to
// the padding of eight, are set to zero.
//
// Step i adds a b[i] and y m, where y = (lowest lane) k0 mod 2^52 makes the lowest digit
// zero, then drops that digit, carrying its bits above 52 into the next one. The low
// halves of the products are added before the drop and the high halves, which belong one
// digit up, after it, so that both land in the lane of their digit. Each step adds less
// than 4 * 2^52 to a lane, so 40 steps stay below 2^60: the lanes are normalised once, at
// the end.
//
// y is the one value each step needs from the step before. Rather than wait for the
// vectors to take in the previous y and read their lowest lane, the lowest digit's value
// t0 is kept in a scalar: next step's t0 is lane 1 as it was before this step (read
// while the vector products run), plus this step's terms that reach it (the low halves
// of a[1] b[i] and m[1] y, the high halves of a[0] b[i] and m[0] y, the carry out of the
// dropped digit) and the low half of a[0] b[i + 1]. The vectors never need the carry
// either: their lowest lane is dropped a step later, so the last carry alone is added to
// the result's lowest digit.
//
// Each step's products are gathered in fresh vectors, the low halves in one and the high
// halves in another, and each is added to acc in one addition: acc's own chain from one
// step to the next is then an addition, the shift and an addition, not four dependent
// multiply-adds (a tenth to a sixth faster, measured at both sizes).
template <typename Ops, int D>
[[gnu::always_inline]] inline void amm_digits(std::uint64_t *r, const std::uint64_t *a,
                                              const std::uint64_t *b, const std::uint64_t *m,
                                              std::uint64_t k0) {
    using V = typename Ops::V;
    constexpr int L = Ops::lanes;
    constexpr int nv = (D + L - 1) / L;
    static_assert(D <= 40, "lanes would overflow");
    V acc[nv], x[nv], mv[nv];
#pragma GCC unroll 8
    for (int v = 0; v < nv; v++) {
        acc[v] = Ops::zero();
        x[v] = Ops::load(a + L * v);
        mv[v] = Ops::load(m + L * v);
    }
    const std::uint64_t a0 = a[0], a1 = a[1], m0 = m[0], m1 = m[1];
    std::uint64_t t0 = lo52(a0, b[0]);
    std::uint64_t carry = 0;
    for (int i = 0; i < D; i++) {
        const std::uint64_t lane1 = Ops::lane1(acc[0]);
        const V bi = Ops::bcast(b[i]);
        V lo[nv], hi[nv];
#pragma GCC unroll 8
        for (int v = 0; v < nv; v++) {
            lo[v] = Ops::madd_lo(Ops::zero(), x[v], bi);
            hi[v] = Ops::madd_hi(Ops::zero(), x[v], bi);
        }
        const std::uint64_t y = (t0 * k0) & digit_mask;
        const V yv = Ops::bcast(y);
#pragma GCC unroll 8
        for (int v = 0; v < nv; v++) {
            lo[v] = Ops::madd_lo(lo[v], mv[v], yv);
            hi[v] = Ops::madd_hi(hi[v], mv[v], yv);
        }
        carry = carry_out<Ops>(t0);
        if (i + 1 < D) {
            t0 = lane1 + lo52(a1, b[i]) + hi52(a0, b[i]) + lo52(m1, y) + hi52(m0, y) + carry +
                 lo52(a0, b[i + 1]);
        }
#pragma GCC unroll 8
        for (int v = 0; v < nv; v++) {
            acc[v] = Ops::add(acc[v], lo[v]);
        }
#pragma GCC unroll 8
        for (int v = 0; v + 1 < nv; v++) {
            acc[v] = Ops::align1(acc[v], acc[v + 1]);
        }
        acc[nv - 1] = Ops::align1(acc[nv - 1], Ops::zero());
#pragma GCC unroll 8
        for (int v = 0; v < nv; v++) {
            acc[v] = Ops::add(acc[v], hi[v]);
        }
    }
    std::uint64_t lanes[L * nv];
    for (int v = 0; v < nv; v++) {
        Ops::store(lanes + L * v, acc[v]);
    }
    for_each_index<L * nv, (D <= 20)>([&](int j) __attribute__((always_inline)) {
        const std::uint64_t s = lanes[j] + carry;
        r[j] = s & digit_mask;
        carry = s >> 52;
    });
    clear_padding<L, D>(r);
}

// r = a^2 2^(-52 D) (mod m), below 2m for a < 2m: the same bounds and result as
// amm_digits(a, a), with each cross product a[i] a[k] (i < k) computed once.
//
// Two accumulators share the moving frame of amm_digits: `cross` gathers the cross
// products (row i adds a[i] a[k] for k > i, masked to those lanes) and `acc` the
// multiples of m. The value at the lowest position is acc + 2 cross + the diagonal term
// there; y is chosen to clear that sum. As in amm_digits that value t0 is kept in a
// scalar: next step's is acc's lane 1 from before this step plus the low half of m[1] y,
// the high half of m[0] y and the carry out of the dropped digit, plus twice cross's lane
// 1 once row i is in (final then: later rows only reach higher positions), plus the next
// diagonal term. The last carry is added to the result's lowest digit. At the end the
// upper half is acc + 2 cross + the diagonal terms of positions D and up. Lanes stay
// below 2^61.
template <typename Ops, int D>
[[gnu::always_inline]] inline void ams_digits(std::uint64_t *r, const std::uint64_t *a,
                                              const std::uint64_t *m, std::uint64_t k0) {
    using V = typename Ops::V;
    constexpr int L = Ops::lanes;
    constexpr int nv = (D + L - 1) / L;
    static_assert(D <= 40, "lanes would overflow");
    V acc[nv], cross[nv], x[nv], mv[nv];
#pragma GCC unroll 8
    for (int v = 0; v < nv; v++) {
        acc[v] = Ops::zero();
        cross[v] = Ops::zero();
        x[v] = Ops::load(a + L * v);
        mv[v] = Ops::load(m + L * v);
    }
    const std::uint64_t m0 = m[0], m1 = m[1];
    std::uint64_t t0 = diagonal(a, 0);
    std::uint64_t carry = 0;
    for_each_index<D, (D <= 20)>([&](int i) __attribute__((always_inline)) {
        const std::uint64_t lane1 = Ops::lane1(acc[0]);
        const std::uint64_t y = (t0 * k0) & digit_mask;
        const V yv = Ops::bcast(y);
        const V ai = Ops::bcast(a[i]);
#pragma GCC unroll 8
        for (int v = 0; v < nv; v++) {
            if (L * v + L - 1 > i) {
                cross[v] = Ops::madd_lo_mask(cross[v], above_mask<L>(i, v), x[v], ai);
            }
            acc[v] = Ops::madd_lo(acc[v], mv[v], yv);
        }
        carry = carry_out<Ops>(t0);
        if (i + 1 < D) {
            t0 = lane1 + lo52(m1, y) + hi52(m0, y) + carry + 2 * Ops::lane1(cross[0]) +
                 diagonal(a, i + 1);
        }
#pragma GCC unroll 8
        for (int v = 0; v + 1 < nv; v++) {
            acc[v] = Ops::align1(acc[v], acc[v + 1]);
            cross[v] = Ops::align1(cross[v], cross[v + 1]);
        }
        acc[nv - 1] = Ops::align1(acc[nv - 1], Ops::zero());
        cross[nv - 1] = Ops::align1(cross[nv - 1], Ops::zero());
#pragma GCC unroll 8
        for (int v = 0; v < nv; v++) {
            if (L * v + L - 1 > i) {
                cross[v] = Ops::madd_hi_mask(cross[v], above_mask<L>(i, v), x[v], ai);
            }
            acc[v] = Ops::madd_hi(acc[v], mv[v], yv);
        }
    });
    std::uint64_t lanes[L * nv], doubled[L * nv];
#pragma GCC unroll 8
    for (int v = 0; v < nv; v++) {
        Ops::store(lanes + L * v, acc[v]);
        Ops::store(doubled + L * v, cross[v]);
    }
    for_each_index<L * nv, (D <= 20)>([&](int j) __attribute__((always_inline)) {
        const std::uint64_t s =
            lanes[j] + 2 * doubled[j] + (j < D ? diagonal(a, D + j) : 0) + carry;
        r[j] = s & digit_mask;
        carry = s >> 52;
    });
    clear_padding<L, D>(r);
}

}  // namespace
