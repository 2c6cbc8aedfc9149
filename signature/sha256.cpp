// SHA-256 following FIPS 180-4: section 4.2.2 (constants), 5.3.3 (initial value),
// 6.2.2 (compression). Bytes are absorbed one at a time into the pending block.
#include "sha256.h"

#include <cstring>

namespace {

constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

// Adds bits to the 64-bit bit count held as two 32-bit halves.
void bit_len_add(sha256_ctx *ctx, std::uint32_t bits) {
    if (ctx->bit_len[0] > ~bits) {
        ctx->bit_len[1]++;
    }
    ctx->bit_len[0] += bits;
}

// One compression of ctx->block into ctx->hash.
void compress(sha256_ctx *ctx) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; i++) {
        const std::uint8_t *b = ctx->block + 4 * i;
        w[i] = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
               (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
    }
    for (int i = 16; i < 64; i++) {
        std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = ctx->hash[0], b = ctx->hash[1], c = ctx->hash[2], d = ctx->hash[3];
    std::uint32_t e = ctx->hash[4], f = ctx->hash[5], g = ctx->hash[6], h = ctx->hash[7];
    for (int i = 0; i < 64; i++) {
        std::uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        std::uint32_t ch = (e & f) ^ (~e & g);
        std::uint32_t t1 = h + S1 + ch + K[i] + w[i];
        std::uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        std::uint32_t t2 = S0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->hash[0] += a;
    ctx->hash[1] += b;
    ctx->hash[2] += c;
    ctx->hash[3] += d;
    ctx->hash[4] += e;
    ctx->hash[5] += f;
    ctx->hash[6] += g;
    ctx->hash[7] += h;
}

}  // namespace

void sha256_init(sha256_ctx *ctx) {
    static constexpr std::uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    ctx->block_len = 0;
    ctx->bit_len[0] = 0;
    ctx->bit_len[1] = 0;
    std::memcpy(ctx->hash, initial, sizeof initial);
}

void sha256_update(sha256_ctx *ctx, const std::uint8_t *data, std::uint32_t length) {
    for (std::uint32_t i = 0; i < length; i++) {
        ctx->block[ctx->block_len++] = data[i];
        if (ctx->block_len == 64) {
            compress(ctx);
            bit_len_add(ctx, 512);
            ctx->block_len = 0;
        }
    }
}

void sha256_finish(sha256_ctx *ctx, std::uint8_t digest[32]) {
    std::uint32_t n = ctx->block_len;
    ctx->block[n] = 0x80;
    if (n <= 55) {
        std::memset(ctx->block + n + 1, 0, 55 - n);
    } else {
        // No room for the length: pad out this block and start a fresh one.
        std::memset(ctx->block + n + 1, 0, 63 - n);
        compress(ctx);
        std::memset(ctx->block, 0, 56);
    }
    bit_len_add(ctx, n * 8);
    for (int i = 0; i < 4; i++) {
        ctx->block[56 + i] = static_cast<std::uint8_t>(ctx->bit_len[1] >> (24 - 8 * i));
        ctx->block[60 + i] = static_cast<std::uint8_t>(ctx->bit_len[0] >> (24 - 8 * i));
    }
    compress(ctx);
    for (int j = 0; j < 32; j++) {
        digest[j] = static_cast<std::uint8_t>(ctx->hash[j / 4] >> (8 * (3 - j % 4)));
    }
}
