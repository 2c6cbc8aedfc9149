// AES block cipher (FIPS-197) for 16-, 24- and 32-byte keys, one block at a
// time through a heap-allocated keyed context.
#pragma once

#include <cstddef>
#include <cstdint>

// One heap block: these fixed fields, then the expanded key schedule
// round_keys[(rounds + 1) * 16] directly behind them in the same allocation
// (rounds * 16 + 40 bytes in all). Byte b of schedule word w[k] lies at
// round_keys[4 * k + b]; the first key_len bytes are the key itself.
// state holds s[r][c] at index 4 * r + c (row after row).
struct AES_ctx {
    std::uint8_t state[16];
    std::int32_t rounds;   // 10, 12 or 14
    std::int32_t key_len;  // 16, 24 or 32
    // std::uint8_t round_keys[(rounds + 1) * 16] follows.
};

static_assert(offsetof(AES_ctx, state) == 0);
static_assert(offsetof(AES_ctx, rounds) == 16);
static_assert(offsetof(AES_ctx, key_len) == 20);
static_assert(sizeof(AES_ctx) == 24, "round keys must start right after key_len");

// Returns a new context keyed with key[0 .. key_len-1], or null when key_len
// is not 16, 24 or 32 or the allocation fails. The caller releases it with
// free(); the key buffer is not referenced after the call.
AES_ctx *AES_ctx_alloc(const std::uint8_t *key, std::size_t key_len);

// Encrypt / decrypt one 16-byte block. All of in is read before out is
// written, so in and out may be the same buffer. A context must not be used
// by two threads at once: the working state lives inside it.
void AES_encrypt(AES_ctx *ctx, const std::uint8_t in[16], std::uint8_t out[16]);
void AES_decrypt(AES_ctx *ctx, const std::uint8_t in[16], std::uint8_t out[16]);
