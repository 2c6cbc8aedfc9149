// Reference results computed with OpenSSL's libcrypto, the independent
// implementation the tests compare against.
#pragma once

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

// AES-CBC without padding over msg completed with zero bytes to a multiple
// of 16 (the zero padding of our CBC mode).
inline std::vector<std::uint8_t> openssl_cbc_zero_padded(const std::vector<std::uint8_t> &key,
                                                         const std::uint8_t iv[16],
                                                         std::vector<std::uint8_t> msg) {
    msg.resize((msg.size() + 15) / 16 * 16, 0);
    const EVP_CIPHER *cipher = key.size() == 16   ? EVP_aes_128_cbc()
                               : key.size() == 24 ? EVP_aes_192_cbc()
                                                  : EVP_aes_256_cbc();
    std::vector<std::uint8_t> out(msg.size() + 16);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0, tail = 0;
    bool ok =
        ctx != nullptr && EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv) == 1 &&
        EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
        EVP_EncryptUpdate(ctx, out.data(), &n, msg.data(), static_cast<int>(msg.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx, out.data() + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        throw std::runtime_error("OpenSSL CBC failed");
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

// AES-128-CMAC through the EVP_MAC interface.
inline std::vector<std::uint8_t> openssl_cmac(const std::uint8_t key[16], const std::uint8_t *msg,
                                              std::size_t len) {
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX *ctx = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
    char cipher_name[] = "AES-128-CBC";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher_name, 0),
        OSSL_PARAM_construct_end(),
    };
    std::vector<std::uint8_t> tag(16);
    std::size_t tag_len = 0;
    bool ok = ctx != nullptr && EVP_MAC_init(ctx, key, 16, params) == 1 &&
              EVP_MAC_update(ctx, msg, len) == 1 &&
              EVP_MAC_final(ctx, tag.data(), &tag_len, tag.size()) == 1 && tag_len == 16;
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    if (!ok)
        throw std::runtime_error("OpenSSL CMAC failed");
    return tag;
}
