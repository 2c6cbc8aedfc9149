// The block cipher against FIPS-197: the S-box and round constants
// (section 5), the key schedules of Appendix A and the cipher examples of
// Appendix C, in both directions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "aes.h"
#include "aes_tables.h"
#include "hex.h"

namespace {

struct CtxFree {
    void operator()(AES_ctx *ctx) const {
        std::free(ctx);
    }
};
using CtxPtr = std::unique_ptr<AES_ctx, CtxFree>;

CtxPtr make_ctx(const std::vector<std::uint8_t> &key) {
    return CtxPtr(AES_ctx_alloc(key.data(), key.size()));
}

// FIPS-197 Figure 7, the S-box, row by row.
const char *const published_sbox =
    "637c777bf26b6fc53001672bfed7ab76ca82c97dfa5947f0add4a2af9ca472c0"
    "b7fd9326363ff7cc34a5e5f171d8311504c723c31896059a071280e2eb27b275"
    "09832c1a1b6e5aa0523bd6b329e32f8453d100ed20fcb15b6acbbe394a4c58cf"
    "d0efaafb434d338545f9027f503c9fa851a3408f929d38f5bcb6da2110fff3d2"
    "cd0c13ec5f974417c4a77e3d645d197360814fdc222a908846eeb814de5e0bdb"
    "e0323a0a4906245cc2d3ac629195e479e7c8376d8dd54ea96c56f4ea657aae08"
    "ba78252e1ca6b4c6e8dd741f4bbd8b8a703eb5664803f60e613557b986c11d9e"
    "e1f8981169d98e949b1e87e9ce5528df8ca1890dbfe6426841992d0fb054bb16";

TEST(AesTables, SboxMatchesFips197) {
    const auto expected = from_hex(published_sbox);
    ASSERT_EQ(expected.size(), 256u);
    for (int i = 0; i < 256; i++) {
        EXPECT_EQ(aes_tables::sbox[i], expected[i]) << "index " << i;
        EXPECT_EQ(aes_tables::inv_sbox[expected[i]], i) << "index " << i;
    }
    // FIPS-197 Figure 14, first and last entries of the inverse S-box.
    EXPECT_EQ(aes_tables::inv_sbox[0x00], 0x52);
    EXPECT_EQ(aes_tables::inv_sbox[0x01], 0x09);
    EXPECT_EQ(aes_tables::inv_sbox[0xff], 0x7d);
}

TEST(AesTables, RconIsPowersOfXFromXInverse) {
    // Round constants of FIPS-197 5.2 (Rcon[i] = x^(i-1)), preceded by x^-1.
    const auto expected = from_hex("8d 01 02 04 08 10 20 40 80 1b 36 6c d8 ab 4d 9a");
    for (std::size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(aes_tables::rcon[i], expected[i]);
    // x has order 51 modulo the AES polynomial: the table repeats every 51.
    for (std::size_t i = 51; i < aes_tables::rcon.size(); i++) {
        EXPECT_EQ(aes_tables::rcon[i], aes_tables::rcon[i - 51]) << "index " << i;
    }
}

// FIPS-197 Appendix A: the expanded keys w[0..] as 32-bit words.
struct ScheduleVector {
    const char *key;
    const char *words;
};
const ScheduleVector schedule_vectors[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c",
     "2b7e1516 28aed2a6 abf71588 09cf4f3c a0fafe17 88542cb1"
     "23a33939 2a6c7605 f2c295f2 7a96b943 5935807a 7359f67f"
     "3d80477d 4716fe3e 1e237e44 6d7a883b ef44a541 a8525b7f"
     "b671253b db0bad00 d4d1c6f8 7c839d87 caf2b8bc 11f915bc"
     "6d88a37a 110b3efd dbf98641 ca0093fd 4e54f70e 5f5fc9f3"
     "84a64fb2 4ea6dc4f ead27321 b58dbad2 312bf560 7f8d292f"
     "ac7766f3 19fadc21 28d12941 575c006e d014f9a8 c9ee2589"
     "e13f0cc8 b6630ca6"},
    {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "8e73b0f7 da0e6452 c810f32b 809079e5 62f8ead2 522c6b7b"
     "fe0c91f7 2402f5a5 ec12068e 6c827f6b 0e7a95b9 5c56fec2"
     "4db7b4bd 69b54118 85a74796 e92538fd e75fad44 bb095386"
     "485af057 21efb14f a448f6d9 4d6dce24 aa326360 113b30e6"
     "a25e7ed5 83b1cf9a 27f93943 6a94f767 c0a69407 d19da4e1"
     "ec1786eb 6fa64971 485f7032 22cb8755 e26d1352 33f0b7b3"
     "40beeb28 2f18a259 6747d26b 458c553e a7e1466c 9411f1df"
     "821f750a ad07d753 ca400538 8fcc5006 282d166a bc3ce7b5"
     "e98ba06f 448c773c 8ecc7204 01002202"},
    {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "603deb10 15ca71be 2b73aef0 857d7781 1f352c07 3b6108d7"
     "2d9810a3 0914dff4 9ba35411 8e6925af a51a8b5f 2067fcde"
     "a8b09c1a 93d194cd be49846e b75d5b9a d59aecb8 5bf3c917"
     "fee94248 de8ebe96 b5a9328a 2678a647 98312229 2f6c79b3"
     "812c81ad dadf48ba 24360af2 fab8b464 98c5bfc9 bebd198e"
     "268c3ba7 09e04214 68007bac b2df3316 96e939e4 6c518d80"
     "c814e204 76a9fb8a 5025c02d 59c58239 de136967 6ccc5a71"
     "fa256395 9674ee15 5886ca5d 2e2f31d7 7e0af1fa 27cf73c3"
     "749c47ab 18501dda e2757e4f 7401905a cafaaae3 e4d59b34"
     "9adf6ace bd10190d fe4890d1 e6188d0b 046df344 706c631e"},
};

TEST(Aes, KeyExpansionMatchesFips197AppendixA) {
    for (const auto &v : schedule_vectors) {
        const auto key = from_hex(v.key);
        const auto words = from_hex(v.words);
        CtxPtr ctx = make_ctx(key);
        ASSERT_NE(ctx, nullptr);
        const int rounds = key.size() == 16 ? 10 : key.size() == 24 ? 12 : 14;
        EXPECT_EQ(ctx->rounds, rounds);
        EXPECT_EQ(ctx->key_len, static_cast<int>(key.size()));
        ASSERT_EQ(words.size(), static_cast<std::size_t>(rounds + 1) * 16);
        // The schedule lies right behind the fixed fields.
        const auto *schedule = reinterpret_cast<const std::uint8_t *>(ctx.get()) + sizeof(AES_ctx);
        EXPECT_EQ(to_hex(schedule, words.size()), to_hex(words)) << v.key;
    }
}

// FIPS-197 Appendix C.1 to C.3.
struct BlockVector {
    const char *key, *plain, *cipher;
};
const BlockVector block_vectors[] = {
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST(Aes, Fips197AppendixCBothDirections) {
    for (const auto &v : block_vectors) {
        CtxPtr ctx = make_ctx(from_hex(v.key));
        ASSERT_NE(ctx, nullptr);
        const auto plain = from_hex(v.plain);
        std::uint8_t out[16], back[16];
        AES_encrypt(ctx.get(), plain.data(), out);
        EXPECT_EQ(to_hex(out, 16), v.cipher) << v.key;
        AES_decrypt(ctx.get(), out, back);
        EXPECT_EQ(to_hex(back, 16), v.plain) << v.key;
    }
}

TEST(Aes, InPlaceBlocksMatchSeparateBuffers) {
    for (const auto &v : block_vectors) {
        CtxPtr ctx = make_ctx(from_hex(v.key));
        ASSERT_NE(ctx, nullptr);
        auto block = from_hex(v.plain);
        AES_encrypt(ctx.get(), block.data(), block.data());
        EXPECT_EQ(to_hex(block), v.cipher);
        AES_decrypt(ctx.get(), block.data(), block.data());
        EXPECT_EQ(to_hex(block), v.plain);
    }
}

TEST(Aes, EncryptAndDecryptAlternateOnOneContext) {
    CtxPtr ctx = make_ctx(from_hex(block_vectors[2].key));
    ASSERT_NE(ctx, nullptr);
    const auto plain = from_hex(block_vectors[2].plain);
    const auto cipher = from_hex(block_vectors[2].cipher);
    for (int i = 0; i < 3; i++) {
        std::uint8_t a[16], b[16];
        AES_decrypt(ctx.get(), cipher.data(), a);
        AES_encrypt(ctx.get(), plain.data(), b);
        EXPECT_EQ(to_hex(a, 16), to_hex(plain));
        EXPECT_EQ(to_hex(b, 16), to_hex(cipher));
        // A block of different content encrypted then decrypted comes back.
        std::uint8_t c[16];
        AES_encrypt(ctx.get(), cipher.data(), c);
        AES_decrypt(ctx.get(), c, c);
        EXPECT_EQ(to_hex(c, 16), to_hex(cipher));
    }
}

TEST(Aes, RejectsOtherKeyLengths) {
    const std::uint8_t key[64] = {};
    for (std::size_t len : {0u, 8u, 15u, 17u, 23u, 25u, 31u, 33u, 64u}) {
        EXPECT_EQ(AES_ctx_alloc(key, len), nullptr) << "key_len " << len;
    }
}

}  // namespace
