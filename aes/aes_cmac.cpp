// AES-CMAC, RFC 4493 sections 2.3 (subkeys) and 2.4 (tag).
#include "aes_cmac.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aes.h"

namespace {

// The constant of the subkey doubling for 128-bit blocks (RFC 4493 2.3).
constexpr std::uint8_t const_rb = 0x87;

// out = in shifted left by one bit as a 128-bit big-endian number.
void left_shift(std::uint8_t out[16], const std::uint8_t in[16]) {
    std::uint8_t carry = 0;
    for (int i = 15; i >= 0; i--) {
        out[i] = static_cast<std::uint8_t>((in[i] << 1) | carry);
        carry = static_cast<std::uint8_t>(in[i] >> 7);
    }
}

// K1 = L.x and K2 = L.x^2 in GF(2^128), with L the encryption of zeros.
void gen_subkey(AES_ctx *ctx, std::uint8_t k1[16], std::uint8_t k2[16]) {
    const std::uint8_t zero[16] = {};
    std::uint8_t l[16];
    AES_encrypt(ctx, zero, l);
    left_shift(k1, l);
    if (l[0] & 0x80)
        k1[15] ^= const_rb;
    left_shift(k2, k1);
    if (k1[0] & 0x80)
        k2[15] ^= const_rb;
}

// 10* padding from position n: 0x80 then zeros to the end of the block.
void add_padding(std::uint8_t block[16], std::size_t n) {
    std::memset(block + n, 0, 16 - n);
    block[n] = 0x80;
}

// out = a ^ b; out may be a or b.
void block_xor_triple(const std::uint8_t a[16], const std::uint8_t b[16], std::uint8_t out[16]) {
    for (int i = 0; i < 16; i++)
        out[i] = a[i] ^ b[i];
}

// Diagnostic dump of one block; kept for debugging, never called.
[[maybe_unused]] void print_block(const std::uint8_t block[16]) {
    for (int i = 0; i < 16; i++)
        std::printf("%2.2x ", block[i]);
    std::putchar('\n');
}

}  // namespace

void aes_cmac(const std::uint8_t *msg, std::size_t len, const std::uint8_t key[16],
              std::uint8_t mac[16]) {
    AES_ctx *ctx = AES_ctx_alloc(key, 16);
    if (ctx == nullptr)
        return;
    std::uint8_t k1[16], k2[16];
    gen_subkey(ctx, k1, k2);

    std::uint8_t x[16] = {};
    std::uint8_t y[16];
    // An empty message still makes one (incomplete) block.
    const std::size_t blocks = len == 0 ? 1 : (len + 15) / 16;
    for (std::size_t b = 0; b < blocks; b++) {
        const std::size_t o = 16 * b;
        if (o + 16 < len) {
            block_xor_triple(msg + o, x, y);
        } else if (o + 16 == len) {
            block_xor_triple(msg + o, x, y);
            block_xor_triple(y, k1, y);
        } else {
            // Only the r remaining message bytes are read.
            const std::size_t r = len - o;
            std::uint8_t last[16];
            if (r != 0)
                std::memcpy(last, msg + o, r);
            add_padding(last, r);
            block_xor_triple(last, x, y);
            block_xor_triple(y, k2, y);
        }
        AES_encrypt(ctx, y, x);
    }
    std::free(ctx);
    std::memcpy(mac, x, 16);
}
