// Values between bignum records of 32-bit words and the engine's 64-bit limbs.
#include "montgomery_limbs.h"

void montgomery_load_limbs(std::uint64_t *limbs, const bignum *a, int n) {
    for (int i = 0; i < n; i++) {
        std::uint64_t lo = 2 * i < a->size ? a->words[2 * i] : 0;
        std::uint64_t hi = 2 * i + 1 < a->size ? a->words[2 * i + 1] : 0;
        limbs[i] = lo | hi << 32;
    }
}

void montgomery_store_limbs(bignum *result, const std::uint64_t *limbs, int n) {
    using u64 = std::uint64_t;
    const std::int32_t words = 2 * n;
    // Capacity for every word: a zero-size record of that capacity, copied into result,
    // grows it if needed and copies no word.
    bignum room{0, words, nullptr};
    bignum_copy(&room, result);
    u64 size = 0;
    for (int i = 0; i < n; i++) {
        const u64 lo = limbs[i] & 0xFFFFFFFF, hi = limbs[i] >> 32;
        result->words[2 * i] = static_cast<std::uint32_t>(lo);
        result->words[2 * i + 1] = static_cast<std::uint32_t>(hi);
        // size becomes 2i + 1 if word 2i is non-zero, then 2i + 2 if word 2i + 1 is.
        u64 m = montgomery_nonzero_mask(lo);
        size = (size & ~m) | (static_cast<u64>(2 * i + 1) & m);
        m = montgomery_nonzero_mask(hi);
        size = (size & ~m) | (static_cast<u64>(2 * i + 2) & m);
    }
    result->size = static_cast<std::int32_t>(size);
}
