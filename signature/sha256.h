// SHA-256 (FIPS 180-4) as a streaming hash with a caller-owned context.
#pragma once

#include <cstdint>

// The caller owns the context (usually on its stack); nothing here allocates.
struct sha256_ctx {
    std::uint8_t block[64];    // pending message bytes, block[0 .. block_len-1]
    std::uint32_t hash[8];     // intermediate hash value H0 .. H7
    std::uint32_t block_len;   // bytes pending in block, 0 .. 63 between calls
    std::uint32_t bit_len[2];  // bits already compressed: [0] low half, [1] high half
};

// Starts a new message.
void sha256_init(sha256_ctx *ctx);
// Absorbs length bytes; any split of a message over several calls gives the same digest.
void sha256_update(sha256_ctx *ctx, const std::uint8_t *data, std::uint32_t length);
// Pads, compresses the last block(s) and writes the 32-byte digest. Only sha256_init makes
// the context usable again.
void sha256_finish(sha256_ctx *ctx, std::uint8_t digest[32]);
