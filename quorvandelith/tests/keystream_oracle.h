// Independent ChaCha20 keystream (RFC 7539) from OpenSSL's libcrypto, used as
// the oracle for the generator's bytes and key changes.
#pragma once

#include <openssl/evp.h>
#include <stdint.h>

#include <vector>

// nblocks keystream blocks for key words, counter and nonce words. The caller
// keeps counter + nblocks below 2^32 (libcrypto carries into the nonce there).
inline std::vector<uint8_t> oracle_keystream(const uint32_t key[8], uint32_t counter,
                                             const uint32_t nonce[3], size_t nblocks) {
    uint8_t k[32];
    uint8_t iv[16];
    for (int i = 0; i < 8; i++) {
        for (int b = 0; b < 4; b++) {
            k[4 * i + b] = static_cast<uint8_t>(key[i] >> (8 * b));
        }
    }
    const uint32_t ivw[4] = {counter, nonce[0], nonce[1], nonce[2]};
    for (int i = 0; i < 4; i++) {
        for (int b = 0; b < 4; b++) {
            iv[4 * i + b] = static_cast<uint8_t>(ivw[i] >> (8 * b));
        }
    }
    std::vector<uint8_t> zeros(64 * nblocks), out(64 * nblocks + 64);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_chacha20(), nullptr, k, iv);
    EVP_EncryptUpdate(ctx, out.data(), &len, zeros.data(), static_cast<int>(zeros.size()));
    EVP_CIPHER_CTX_free(ctx);
    out.resize(64 * nblocks);
    return out;
}

// Word i of block b of a keystream, little-endian.
inline uint32_t oracle_word(const std::vector<uint8_t> &ks, size_t b, size_t i) {
    const uint8_t *p = &ks[64 * b + 4 * i];
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
