// CBC over single-block AES (SP 800-38A 6.2). Blocks are processed in place
// in the output buffer; chaining goes through the previous ciphertext block.
#include "aes_cbc.h"

#include <cstdlib>
#include <cstring>

#include "aes.h"

namespace {

void block_xor(std::uint8_t block[16], const std::uint8_t other[16]) {
    for (int i = 0; i < 16; i++)
        block[i] ^= other[i];
}

}  // namespace

std::size_t AES_CBC_encrypt(const std::uint8_t *in, std::uint8_t *out, std::size_t len,
                            const std::uint8_t *key, std::size_t key_len,
                            const std::uint8_t iv[16]) {
    AES_ctx *ctx = AES_ctx_alloc(key, key_len);
    if (ctx == nullptr)
        return 0;
    const std::size_t full = len / 16;
    const std::size_t rest = len % 16;
    const std::uint8_t *prev = iv;
    for (std::size_t k = 0; k < full; k++) {
        std::uint8_t *block = out + 16 * k;
        std::memcpy(block, in + 16 * k, 16);
        block_xor(block, prev);
        AES_encrypt(ctx, block, block);
        prev = block;
    }
    if (rest != 0) {
        // Zero padding: the pad bytes carry no length, so the caller must
        // remember len to recover the plaintext.
        std::uint8_t *block = out + 16 * full;
        std::memset(block, 0, 16);
        std::memcpy(block, in + 16 * full, rest);
        block_xor(block, prev);
        AES_encrypt(ctx, block, block);
    }
    std::free(ctx);
    return 16 * full + (rest != 0 ? 16 : 0);
}

void AES_CBC_decrypt(const std::uint8_t *in, std::uint8_t *out, std::size_t len,
                     const std::uint8_t *key, std::size_t key_len, const std::uint8_t iv[16]) {
    AES_ctx *ctx = AES_ctx_alloc(key, key_len);
    if (ctx == nullptr)
        return;
    const std::size_t blocks = (len + 15) / 16;
    const std::size_t rest = len % 16;
    const std::uint8_t *prev = iv;
    for (std::size_t k = 0; k < blocks; k++) {
        std::uint8_t *block = out + 16 * k;
        std::memcpy(block, in + 16 * k, 16);
        AES_decrypt(ctx, block, block);
        block_xor(block, prev);
        prev = in + 16 * k;
    }
    if (rest != 0) {
        // The pad bytes of the ciphertext are not examined; the plaintext is
        // ended with zeros up to the block boundary.
        std::memset(out + len, 0, 16 - rest);
    }
    std::free(ctx);
}
