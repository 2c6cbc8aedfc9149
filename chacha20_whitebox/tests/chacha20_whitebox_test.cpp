// The white-box table against the reference functions and against OpenSSL's
// ChaCha20 (an independent implementation), for every nonce it serves.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "chacha20.h"
#include "chacha20_whitebox.h"
#include "emulator.h"

namespace {

const std::uint8_t whitebox_key[32] = {CHACHA20_WHITEBOX_KEY_BYTES};

void table_nonce(std::uint16_t n, std::uint8_t nonce[12]) {
    std::memset(nonce, 0, 12);
    nonce[10] = static_cast<std::uint8_t>(n >> 8);
    nonce[11] = static_cast<std::uint8_t>(n & 0xff);
}

// OpenSSL's ChaCha20 takes a 16-byte IV: the 32-bit counter (little-endian),
// then the 12-byte nonce.
void openssl_keystream(std::uint16_t n, std::uint8_t out[64]) {
    std::uint8_t iv[16] = {};
    table_nonce(n, iv + 4);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    ASSERT_TRUE(ctx);
    ASSERT_EQ(1, EVP_EncryptInit_ex(ctx.get(), EVP_chacha20(), nullptr, whitebox_key, iv));
    const std::uint8_t zeros[64] = {};
    int len = 0;
    ASSERT_EQ(1, EVP_EncryptUpdate(ctx.get(), out, &len, zeros, 64));
    ASSERT_EQ(64, len);
}

TEST(Chacha20Whitebox, EveryNonceMatchesReferenceAndOpenssl) {
    std::uint8_t input[64];
    for (int i = 0; i < 64; i++)
        input[i] = static_cast<std::uint8_t>(7 * i + 1);
    for (int n = 0; n < 8192; n++) {
        const auto nonce16 = static_cast<std::uint16_t>(n);
        std::uint8_t nonce[12];
        table_nonce(nonce16, nonce);
        chacha20_state state;
        chacha20_key_expand(state, whitebox_key, nonce, 0);
        std::uint8_t reference[64], whitebox[64], ks[64];
        chacha20_block(state, reference, input);
        chacha20_whitebox_block(nonce16, whitebox, input);
        ASSERT_EQ(0, std::memcmp(reference, whitebox, 64)) << "nonce " << n;
        openssl_keystream(nonce16, ks);
        for (int i = 0; i < 64; i++)
            ks[i] ^= input[i];
        ASSERT_EQ(0, std::memcmp(ks, whitebox, 64)) << "nonce " << n;
    }
}

TEST(Chacha20Whitebox, ZeroInputGivesKeystreamAndTwiceRestores) {
    const std::uint8_t zeros[64] = {};
    std::uint8_t a[64], b[64], ks[64];
    chacha20_whitebox_block(256, a, zeros);
    chacha20_whitebox_block(1, b, zeros);
    EXPECT_NE(0, std::memcmp(a, b, 64));  // bytes 10-11 = 01 00 versus 00 01
    openssl_keystream(256, ks);
    EXPECT_EQ(0, std::memcmp(a, ks, 64));

    std::uint8_t data[64];
    for (int i = 0; i < 64; i++)
        data[i] = static_cast<std::uint8_t>(i);
    chacha20_whitebox_block(8191, data, data);
    chacha20_whitebox_block(8191, data, data);
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(data[i], i);
}

// The assertion stays active in optimised builds, and names the table file
// without the build folder, line 4 and the table function.
TEST(Chacha20WhiteboxDeathTest, NonceOutOfRangeAborts) {
    GTEST_FLAG_SET(death_test_style, test_emulator::death_test_style());
    std::uint8_t data[64] = {};
    EXPECT_DEATH(chacha20_whitebox_block(8192, data, data),
                 ": chacha20_tables\\.inc:4: .*chacha20_core_table.*"
                 "Assertion `nonce < 8192' failed");
    EXPECT_DEATH(chacha20_whitebox_block(65535, data, data), "Assertion `nonce < 8192' failed");
}

}  // namespace
