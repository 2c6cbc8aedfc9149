// ChaCha20 reference block function, written to follow RFC 7539 step by step.
#include "chacha20.h"

#include <cstring>

namespace {

// "expand 32-byte k" read as four little-endian words.
constexpr std::uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

std::uint32_t load32_le(const std::uint8_t *p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::uint32_t rotate(std::uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

// The quarter round of RFC 7539 section 2.1.
void quarter_round(std::uint32_t x[16], int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = rotate(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = rotate(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = rotate(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = rotate(x[b] ^ x[c], 7);
}

}  // namespace

void chacha20_key_expand(chacha20_state state, const std::uint8_t key[32],
                         const std::uint8_t nonce[12], std::uint32_t counter) {
    for (int i = 0; i < 4; i++) {
        state[i] = sigma[i];
    }
    for (int i = 0; i < 8; i++) {
        state[4 + i] = load32_le(key + 4 * i);
    }
    state[12] = counter;
    for (int i = 0; i < 3; i++) {
        state[13 + i] = load32_le(nonce + 4 * i);
    }
}

void chacha20_core_qr(std::uint32_t x[16]) {
    for (int i = 0; i < 10; i++) {
        // Column round.
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        // Diagonal round.
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
}

void chacha20_core_sum(std::uint32_t x[16], const std::uint32_t y[16]) {
    for (int i = 0; i < 16; i++) {
        x[i] += y[i];
    }
}

void chacha20_serialize(std::uint8_t out[64], const std::uint32_t x[16]) {
    for (int i = 0; i < 16; i++) {
        for (int j = 0; j < 4; j++) {
            out[4 * i + j] = static_cast<std::uint8_t>((x[i] >> (8 * j)) & 0xff);
        }
    }
}

void chacha20_core(std::uint8_t out[64], const std::uint32_t state[16]) {
    std::uint32_t x[16];
    std::memcpy(x, state, sizeof(x));
    chacha20_core_qr(x);
    chacha20_core_sum(x, state);
    chacha20_serialize(out, x);
}

void chacha20_block(chacha20_state state, std::uint8_t out[64], const std::uint8_t in[64]) {
    std::uint8_t ks[64];
    chacha20_core(ks, state);
    for (int i = 0; i < 64; i++) {
        out[i] = ks[i] ^ in[i];
    }
    state[12] += 1;  // wraps modulo 2^32; never carries into word 13
}
