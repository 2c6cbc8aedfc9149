// AES block cipher, byte-oriented and table-driven (FIPS-197). Favours a
// direct reading of the standard over speed: one byte at a time through the
// S-boxes and a shift-and-add field multiplication, no combined round tables,
// no constant-time measures.
#include "aes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aes_tables.h"

namespace {

using aes_tables::inv_sbox;
using aes_tables::rcon;
using aes_tables::sbox;

// The schedule lies directly behind the fixed fields of the context.
std::uint8_t *round_keys(AES_ctx *ctx) {
    return reinterpret_cast<std::uint8_t *>(ctx) + sizeof(AES_ctx);
}

// Product in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1 (FIPS-197 4.2), eight
// shift-and-add steps.
std::uint8_t multiply(std::uint8_t a, std::uint8_t b) {
    return aes_tables::gf_mul(a, b);
}

// RotWord: (a0, a1, a2, a3) -> (a1, a2, a3, a0).
void rotate(std::uint8_t word[4]) {
    std::uint8_t first = word[0];
    word[0] = word[1];
    word[1] = word[2];
    word[2] = word[3];
    word[3] = first;
}

// RotWord, SubWord, then the round constant of step i into byte 0.
void key_expansion_core(std::uint8_t word[4], std::int32_t i) {
    rotate(word);
    for (int j = 0; j < 4; j++)
        word[j] = sbox[word[j]];
    word[0] ^= rcon[i];
}

// FIPS-197 KeyExpansion (5.2) in bytes: fills round_keys[start .. end-1],
// start being key_len (the key itself occupies the bytes before it).
void key_expansion(AES_ctx *ctx, std::int32_t start, std::int32_t end) {
    std::uint8_t *w = round_keys(ctx);
    const std::int32_t nk_bytes = ctx->key_len;
    std::int32_t rcon_index = 1;
    std::int32_t i = start;
    while (i < end) {
        std::uint8_t temp[4];
        std::memcpy(temp, w + i - 4, 4);
        if (i % nk_bytes == 0) {
            key_expansion_core(temp, rcon_index);
            rcon_index++;
        }
        if (nk_bytes == 32 && i % nk_bytes == 16) {
            // The extra SubWord of 256-bit keys (Nk > 6, i mod Nk = 4).
            for (int j = 0; j < 4; j++)
                temp[j] = sbox[temp[j]];
        }
        for (int j = 0; j < 4; j++) {
            w[i] = static_cast<std::uint8_t>(w[i - nk_bytes] ^ temp[j]);
            i++;
        }
    }
}

void sub_bytes(AES_ctx *ctx) {
    for (auto &b : ctx->state)
        b = sbox[b];
}

void inv_sub_bytes(AES_ctx *ctx) {
    for (auto &b : ctx->state)
        b = inv_sbox[b];
}

// Row r rotated left by r: new s[r][c] = old s[r][(c + r) mod 4].
void shift_rows(AES_ctx *ctx) {
    std::uint8_t t[16];
    for (int r = 0; r < 4; r++) {
        for (int c = 0; c < 4; c++)
            t[4 * r + c] = ctx->state[4 * r + (c + r) % 4];
    }
    std::memcpy(ctx->state, t, 16);
}

// Row r rotated right by r: new s[r][c] = old s[r][(c - r + 4) mod 4].
void inv_shift_rows(AES_ctx *ctx) {
    std::uint8_t t[16];
    for (int r = 0; r < 4; r++) {
        for (int c = 0; c < 4; c++)
            t[4 * r + c] = ctx->state[4 * r + (c - r + 4) % 4];
    }
    std::memcpy(ctx->state, t, 16);
}

// Each column times the circulant matrix (02 03 01 01); the 01 terms are
// plain XORs, so each column costs eight products.
void mix_columns(AES_ctx *ctx) {
    const std::uint8_t *s = ctx->state;
    std::uint8_t t[16];
    for (int c = 0; c < 4; c++) {
        std::uint8_t a0 = s[c], a1 = s[4 + c], a2 = s[8 + c], a3 = s[12 + c];
        t[c] = multiply(0x02, a0) ^ multiply(0x03, a1) ^ a2 ^ a3;
        t[4 + c] = a0 ^ multiply(0x02, a1) ^ multiply(0x03, a2) ^ a3;
        t[8 + c] = a0 ^ a1 ^ multiply(0x02, a2) ^ multiply(0x03, a3);
        t[12 + c] = multiply(0x03, a0) ^ a1 ^ a2 ^ multiply(0x02, a3);
    }
    std::memcpy(ctx->state, t, 16);
}

// Each column times the inverse matrix (0e 0b 0d 09), sixteen products.
void inv_mix_columns(AES_ctx *ctx) {
    static constexpr std::uint8_t m[4][4] = {
        {0x0e, 0x0b, 0x0d, 0x09},
        {0x09, 0x0e, 0x0b, 0x0d},
        {0x0d, 0x09, 0x0e, 0x0b},
        {0x0b, 0x0d, 0x09, 0x0e},
    };
    const std::uint8_t *s = ctx->state;
    std::uint8_t t[16];
    for (int c = 0; c < 4; c++) {
        for (int r = 0; r < 4; r++) {
            std::uint8_t v = 0;
            for (int k = 0; k < 4; k++)
                v ^= multiply(m[r][k], s[4 * k + c]);
            t[4 * r + c] = v;
        }
    }
    std::memcpy(ctx->state, t, 16);
}

// s[r][c] ^= byte r of schedule word w[4n + c].
void add_roundkey(AES_ctx *ctx, std::int32_t n) {
    const std::uint8_t *k = round_keys(ctx) + 16 * n;
    for (int r = 0; r < 4; r++) {
        for (int c = 0; c < 4; c++)
            ctx->state[4 * r + c] ^= k[4 * c + r];
    }
}

// A block fills the state column after column: block byte i is s[i%4][i/4].
void load_block(AES_ctx *ctx, const std::uint8_t in[16]) {
    for (int i = 0; i < 16; i++)
        ctx->state[4 * (i % 4) + i / 4] = in[i];
}

void store_block(const AES_ctx *ctx, std::uint8_t out[16]) {
    for (int i = 0; i < 16; i++)
        out[i] = ctx->state[4 * (i % 4) + i / 4];
}

// Diagnostic dump, 16 bytes per line; kept for debugging, never called.
[[maybe_unused]] void print_hex(const std::uint8_t *bytes, std::int32_t len) {
    for (std::int32_t i = 0; i < len; i++) {
        if (i > 0 && i % 16 == 0)
            std::putchar('\n');
        std::printf("%2.2x ", bytes[i]);
    }
    std::putchar('\n');
}

}  // namespace

AES_ctx *AES_ctx_alloc(const std::uint8_t *key, std::size_t key_len) {
    std::int32_t rounds;
    switch (key_len) {
        case 16:
            rounds = 10;
            break;
        case 24:
            rounds = 12;
            break;
        case 32:
            rounds = 14;
            break;
        default:
            return nullptr;
    }
    const std::size_t schedule_len = static_cast<std::size_t>(rounds + 1) * 16;
    auto *ctx = static_cast<AES_ctx *>(std::malloc(sizeof(AES_ctx) + schedule_len));
    if (ctx == nullptr)
        return nullptr;
    ctx->rounds = rounds;
    ctx->key_len = static_cast<std::int32_t>(key_len);
    std::memcpy(round_keys(ctx), key, key_len);
    key_expansion(ctx, ctx->key_len, static_cast<std::int32_t>(schedule_len));
    return ctx;
}

void AES_encrypt(AES_ctx *ctx, const std::uint8_t in[16], std::uint8_t out[16]) {
    load_block(ctx, in);
    add_roundkey(ctx, 0);
    for (std::int32_t n = 1; n < ctx->rounds; n++) {
        sub_bytes(ctx);
        shift_rows(ctx);
        mix_columns(ctx);
        add_roundkey(ctx, n);
    }
    sub_bytes(ctx);
    shift_rows(ctx);
    add_roundkey(ctx, ctx->rounds);
    store_block(ctx, out);
}

// The direct inverse cipher (FIPS-197 5.3), so the encryption schedule
// serves both directions.
void AES_decrypt(AES_ctx *ctx, const std::uint8_t in[16], std::uint8_t out[16]) {
    load_block(ctx, in);
    add_roundkey(ctx, ctx->rounds);
    for (std::int32_t n = ctx->rounds - 1; n >= 1; n--) {
        inv_shift_rows(ctx);
        inv_sub_bytes(ctx);
        add_roundkey(ctx, n);
        inv_mix_columns(ctx);
    }
    inv_shift_rows(ctx);
    inv_sub_bytes(ctx);
    add_roundkey(ctx, 0);
    store_block(ctx, out);
}
