// CBC with zero padding: SP 800-38A Appendix F.2 vectors, the padding rules,
// the key-length failure path, and agreement with OpenSSL.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "aes_cbc.h"
#include "openssl_oracle.h"
#include "hex.h"

namespace {

// NIST SP 800-38A F.2.1 to F.2.6: CBC-AES128/192/256, encrypt and decrypt.
const char *const sp800_38a_iv = "000102030405060708090a0b0c0d0e0f";
const char *const sp800_38a_plain =
    "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";
struct CbcVector {
    const char *key, *cipher;
};
const CbcVector sp800_38a[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"},
    {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "4f021db243bc633d7178183a9fa071e8 b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e0 08b0e27988598881d920a9e64f5615cd"},
    {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"},
};

TEST(AesCbc, Sp800_38aAppendixF2) {
    const auto iv = from_hex(sp800_38a_iv);
    const auto plain = from_hex(sp800_38a_plain);
    for (const auto &v : sp800_38a) {
        const auto key = from_hex(v.key);
        std::uint8_t out[64], back[64];
        EXPECT_EQ(AES_CBC_encrypt(plain.data(), out, 64, key.data(), key.size(), iv.data()), 64u);
        EXPECT_EQ(to_hex(out, 64), to_hex(from_hex(v.cipher))) << v.key;
        const auto cipher = from_hex(v.cipher);
        AES_CBC_decrypt(cipher.data(), back, 64, key.data(), key.size(), iv.data());
        EXPECT_EQ(to_hex(back, 64), to_hex(plain)) << v.key;
    }
}

// Zero padding, the returned length, decryption given either the plaintext
// or the padded length, and nothing written past the padded length.
TEST(AesCbc, ZeroPaddingOfPartialBlocks) {
    std::mt19937 rng(343);
    const auto key = from_hex("000102030405060708090a0b0c0d0e0f");
    const auto iv = from_hex("f0e0d0c0b0a090807060504030201000");
    const auto iv_copy = iv;
    for (std::size_t len : {0u, 1u, 15u, 16u, 17u, 343u}) {
        std::vector<std::uint8_t> msg(len);
        for (auto &b : msg)
            b = static_cast<std::uint8_t>(rng());
        const std::size_t padded = (len + 15) / 16 * 16;
        std::vector<std::uint8_t> cipher(padded + 32, 0xa5);
        EXPECT_EQ(AES_CBC_encrypt(msg.data(), cipher.data(), len, key.data(), 16, iv.data()),
                  padded);
        const auto expected = openssl_cbc_zero_padded(key, iv.data(), msg);
        EXPECT_EQ(to_hex(cipher.data(), padded), to_hex(expected)) << "len " << len;
        EXPECT_EQ(cipher[padded], 0xa5) << "written past the ciphertext, len " << len;

        std::vector<std::uint8_t> want = msg;
        want.resize(padded, 0);
        for (std::size_t given : {len, padded}) {
            std::vector<std::uint8_t> back(padded + 32, 0xa5);
            AES_CBC_decrypt(cipher.data(), back.data(), given, key.data(), 16, iv.data());
            EXPECT_EQ(to_hex(back.data(), padded), to_hex(want)) << "len " << len;
            EXPECT_EQ(back[padded], 0xa5) << "written past the plaintext, len " << len;
        }
        EXPECT_EQ(iv, iv_copy);
    }
}

// Decryption does not trust the pad bytes: a ciphertext whose final block was
// padded with 0xff still decrypts to the plaintext followed by zeros.
TEST(AesCbc, DecryptionEndsThePlaintextWithZeros) {
    const auto key = from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const auto iv = from_hex(sp800_38a_iv);
    const auto plain = from_hex(sp800_38a_plain);
    for (std::size_t len : {1u, 15u, 17u, 40u, 63u}) {
        std::vector<std::uint8_t> ff_padded(plain.begin(), plain.begin() + len);
        ff_padded.resize((len + 15) / 16 * 16, 0xff);
        const auto cipher = openssl_cbc_zero_padded(key, iv.data(), ff_padded);
        std::vector<std::uint8_t> back(cipher.size(), 0xa5);
        AES_CBC_decrypt(cipher.data(), back.data(), len, key.data(), key.size(), iv.data());
        std::vector<std::uint8_t> want(plain.begin(), plain.begin() + len);
        want.resize(cipher.size(), 0);
        EXPECT_EQ(to_hex(back), to_hex(want)) << "len " << len;
    }
}

TEST(AesCbc, BadKeyLengthWritesNothing) {
    const std::uint8_t key[64] = {1, 2, 3};
    const std::uint8_t iv[16] = {};
    const std::uint8_t in[32] = {7};
    for (std::size_t key_len : {0u, 8u, 15u, 17u, 64u}) {
        std::uint8_t out[32];
        std::memset(out, 0x5a, sizeof out);
        EXPECT_EQ(AES_CBC_encrypt(in, out, 32, key, key_len, iv), 0u);
        AES_CBC_decrypt(in, out, 32, key, key_len, iv);
        for (auto b : out)
            ASSERT_EQ(b, 0x5a) << "key_len " << key_len;
    }
}

// Random keys of every size, lengths 0 to 300, against OpenSSL; decryption
// must restore the plaintext followed by zeros.
TEST(AesCbc, AgreesWithOpenSsl) {
    std::mt19937 rng(20261207);
    auto random_bytes = [&rng](std::size_t n) {
        std::vector<std::uint8_t> v(n);
        for (auto &b : v)
            b = static_cast<std::uint8_t>(rng());
        return v;
    };
    for (std::size_t key_len : {16u, 24u, 32u}) {
        for (std::size_t len = 0; len <= 300; len++) {
            const auto key = random_bytes(key_len);
            const auto iv = random_bytes(16);
            const auto msg = random_bytes(len);
            const auto expected = openssl_cbc_zero_padded(key, iv.data(), msg);
            std::vector<std::uint8_t> cipher(expected.size() + 1);
            ASSERT_EQ(
                AES_CBC_encrypt(msg.data(), cipher.data(), len, key.data(), key_len, iv.data()),
                expected.size());
            ASSERT_EQ(to_hex(cipher.data(), expected.size()), to_hex(expected))
                << "key_len " << key_len << " len " << len;
            std::vector<std::uint8_t> back(expected.size() + 1);
            AES_CBC_decrypt(expected.data(), back.data(), len, key.data(), key_len, iv.data());
            std::vector<std::uint8_t> want = msg;
            want.resize(expected.size(), 0);
            ASSERT_EQ(to_hex(back.data(), want.size()), to_hex(want))
                << "key_len " << key_len << " len " << len;
        }
    }
}

}  // namespace
