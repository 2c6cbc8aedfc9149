// The scalar model of the IFMA lane operations: the policy of montgomery_ifma_loop.h that
// montgomery_ifma_emulated.cpp runs, in a header of its own so that a test can build the
// digit loop over it (or over a variant of it) in its own unit. Everything here is local to
// the including unit.
#pragma once

#include <cstdint>

#include "montgomery_ifma_loop.h"

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

struct lanes8 {
    u64 lane[8];
};

// Each operation does per lane what the instruction named in montgomery_ifma_loop.h does.
struct scalar_ops {
    using V = lanes8;
    static constexpr int lanes = 8;
    static V zero() {
        return V{};
    }
    static V load(const u64 *p) {
        V v;
        for (int k = 0; k < 8; k++) {
            v.lane[k] = p[k];
        }
        return v;
    }
    static void store(u64 *p, const V &v) {
        for (int k = 0; k < 8; k++) {
            p[k] = v.lane[k];
        }
    }
    static V bcast(u64 x) {
        V v;
        for (auto &l : v.lane) {
            l = x;
        }
        return v;
    }
    static V add(V a, const V &b) {
        for (int k = 0; k < 8; k++) {
            a.lane[k] += b.lane[k];
        }
        return a;
    }
    static V madd_lo(V acc, const V &a, const V &b) {
        for (int k = 0; k < 8; k++) {
            const u128 p = static_cast<u128>(a.lane[k] & digit_mask) * (b.lane[k] & digit_mask);
            acc.lane[k] += static_cast<u64>(p) & digit_mask;
        }
        return acc;
    }
    static V madd_hi(V acc, const V &a, const V &b) {
        for (int k = 0; k < 8; k++) {
            const u128 p = static_cast<u128>(a.lane[k] & digit_mask) * (b.lane[k] & digit_mask);
            acc.lane[k] += static_cast<u64>(p >> 52);
        }
        return acc;
    }
    // The lanes of sum whose bit is set in the mask k (public: it depends on the step
    // only), the lanes of acc elsewhere: merge-masking.
    static V merge(const V &acc, unsigned k, V sum) {
        for (int l = 0; l < 8; l++) {
            if ((k >> l & 1) == 0) {
                sum.lane[l] = acc.lane[l];
            }
        }
        return sum;
    }
    static V madd_lo_mask(const V &acc, unsigned k, const V &a, const V &b) {
        return merge(acc, k, madd_lo(acc, a, b));
    }
    static V madd_hi_mask(const V &acc, unsigned k, const V &a, const V &b) {
        return merge(acc, k, madd_hi(acc, a, b));
    }
    static V align1(const V &lo, const V &hi) {
        V v;
        for (int k = 0; k < 7; k++) {
            v.lane[k] = lo.lane[k + 1];
        }
        v.lane[7] = hi.lane[0];
        return v;
    }
    static u64 lane1(const V &v) {
        return v.lane[1];
    }
    template <int s>
    static V shift_up(const V &cur, const V &prev) {
        V v;
        for (int k = 0; k < 8; k++) {
            v.lane[k] = k < s ? prev.lane[8 - s + k] : cur.lane[k - s];
        }
        return v;
    }
    template <int l>
    static u64 lane(const V &v) {
        return v.lane[l];
    }
};

}  // namespace
