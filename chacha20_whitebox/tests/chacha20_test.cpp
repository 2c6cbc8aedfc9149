// The reference block function against RFC 7539 and against the Python
// `cryptography` package's ChaCha20 (an independent implementation).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chacha20.h"
#include "hex.h"

namespace {

struct rfc_key {
    std::uint8_t bytes[32];
    rfc_key() {
        for (int i = 0; i < 32; i++)
            bytes[i] = static_cast<std::uint8_t>(i);
    }
};

const std::uint8_t nonce_232[12] = {0, 0, 0, 9, 0, 0, 0, 0x4a, 0, 0, 0, 0};
const std::uint8_t nonce_242[12] = {0, 0, 0, 0, 0, 0, 0, 0x4a, 0, 0, 0, 0};

// RFC 7539 section 2.3.2: serialised block for key 00..1f, nonce_232, counter 1.
const char block_232[] =
    "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
    "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e";

// RFC 7539 section 2.4.2: the first 64 bytes of plaintext and ciphertext.
const char plaintext_242[] = "Ladies and Gentlemen of the class of '99: If I could offer you o";
const char ciphertext_242[] =
    "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
    "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8";

// Keystream for key 00..1f, nonce_232, counter 0xffffffff, from Python's
// cryptography package: ChaCha20(key, ffffffff || nonce) over 64 zero bytes.
const char block_wrap[] =
    "ff2941b8d740f6cbb50936bf997ebd5218cb108dc53f41c64841d0218167430c"
    "a03b770ca74ccb642a28194d1dedd2ed13151e25ec5d7faeb6d060bfb7e6b146";

TEST(Chacha20, KeyExpandLayout) {
    rfc_key key;
    chacha20_state state;
    chacha20_key_expand(state, key.bytes, nonce_232, 0x01020304);
    std::uint8_t bytes[64];
    chacha20_serialize(bytes, state);
    EXPECT_EQ(0, std::memcmp(bytes, "expand 32-byte k", 16));
    EXPECT_EQ(0, std::memcmp(bytes + 16, key.bytes, 32));
    EXPECT_EQ(state[12], 0x01020304u);
    EXPECT_EQ(0, std::memcmp(bytes + 52, nonce_232, 12));
    EXPECT_EQ(state[4], 0x03020100u);  // little-endian words, RFC 7539 section 2.3.2
    EXPECT_EQ(state[13], 0x09000000u);
}

TEST(Chacha20, CoreMatchesRfcBlockAndLeavesStateAlone) {
    rfc_key key;
    chacha20_state state;
    chacha20_key_expand(state, key.bytes, nonce_232, 1);
    chacha20_state before;
    std::memcpy(before, state, sizeof(state));
    std::uint8_t out[64];
    chacha20_core(out, state);
    EXPECT_EQ(to_hex(out, 64), block_232);
    EXPECT_EQ(0, std::memcmp(before, state, sizeof(state)));
    chacha20_core(out, state);
    EXPECT_EQ(to_hex(out, 64), block_232);
}

TEST(Chacha20, BlockEncryptsRfcExampleAndAdvancesCounter) {
    rfc_key key;
    chacha20_state state;
    chacha20_key_expand(state, key.bytes, nonce_242, 1);
    std::uint8_t out[64];
    chacha20_block(state, out, reinterpret_cast<const std::uint8_t *>(plaintext_242));
    EXPECT_EQ(to_hex(out, 64), ciphertext_242);
    EXPECT_EQ(state[12], 2u);
}

TEST(Chacha20, SuccessiveBlocksUseSuccessiveCounters) {
    rfc_key key;
    chacha20_state state;
    chacha20_key_expand(state, key.bytes, nonce_232, 0);
    const std::uint8_t zeros[64] = {};
    std::uint8_t first[64], second[64];
    chacha20_block(state, first, zeros);
    chacha20_block(state, second, zeros);
    EXPECT_EQ(to_hex(second, 64), block_232);  // counter 1 is the RFC block
    EXPECT_EQ(state[12], 2u);
    EXPECT_EQ(state[13], 0x09000000u);
    EXPECT_EQ(state[14], 0x4a000000u);
    EXPECT_EQ(state[15], 0u);
    EXPECT_NE(0, std::memcmp(first, second, 64));
}

TEST(Chacha20, CounterWrapsWithoutCarryIntoNonce) {
    rfc_key key;
    chacha20_state state;
    chacha20_key_expand(state, key.bytes, nonce_232, 0xffffffffu);
    const std::uint8_t zeros[64] = {};
    std::uint8_t out[64];
    chacha20_block(state, out, zeros);
    EXPECT_EQ(to_hex(out, 64), block_wrap);
    EXPECT_EQ(state[12], 0u);
    EXPECT_EQ(state[13], 0x09000000u);
}

TEST(Chacha20, InPlaceEncryptionRoundTrips) {
    rfc_key key;
    chacha20_state start, state;
    chacha20_key_expand(start, key.bytes, nonce_242, 1);
    std::uint8_t data[64];
    std::memcpy(data, plaintext_242, 64);
    std::memcpy(state, start, sizeof(state));
    chacha20_block(state, data, data);
    EXPECT_EQ(to_hex(data, 64), ciphertext_242);
    std::memcpy(state, start, sizeof(state));
    chacha20_block(state, data, data);
    EXPECT_EQ(0, std::memcmp(data, plaintext_242, 64));
}

TEST(Chacha20, SerializeIsLittleEndian) {
    std::uint32_t x[16] = {0x61707865};
    std::uint8_t out[64];
    chacha20_serialize(out, x);
    EXPECT_EQ(to_hex(out, 4), "65787061");
}

}  // namespace
