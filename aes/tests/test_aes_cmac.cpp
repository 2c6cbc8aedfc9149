// AES-CMAC against RFC 4493 section 4 and against OpenSSL, and a check that
// no byte past the message is ever read.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "aes.h"
#include "aes_cmac.h"
#include "openssl_oracle.h"
#include "hex.h"

namespace {

// RFC 4493 section 4: key, subkeys and the four examples.
const char *const rfc_key = "2b7e151628aed2a6abf7158809cf4f3c";
const char *const rfc_l = "7df76b0c1ab899b33e42f047b91b546f";
const char *const rfc_k1 = "fbeed618357133667c85e08f7236a8de";
const char *const rfc_k2 = "f7ddac306ae266ccf90bc11ee46d513b";
const char *const rfc_message =
    "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";
struct CmacExample {
    std::size_t len;
    const char *tag;
};
const CmacExample rfc_examples[] = {
    {0, "bb1d6929e95937287fa37d129b756746"},
    {16, "070a16b46b4d4144f79bdd9dd04a287c"},
    {40, "dfa66747de9ae63030ca32611497c827"},
    {64, "51f0bebf7e3b9d92fc49741779363cfe"},
};

TEST(AesCmac, Rfc4493Examples) {
    const auto key = from_hex(rfc_key);
    const auto msg = from_hex(rfc_message);
    for (const auto &ex : rfc_examples) {
        std::uint8_t tag[16];
        aes_cmac(msg.data(), ex.len, key.data(), tag);
        EXPECT_EQ(to_hex(tag, 16), ex.tag) << "Mlen " << ex.len;
    }
}

// The subkeys are internal; they show in the tag as K1 for a complete last
// block (tag = E(M ^ K1)) and K2 for a padded one (tag = E(80 00.. ^ K2)),
// with E computed by OpenSSL (CBC from a zero IV over one block).
TEST(AesCmac, Rfc4493Subkeys) {
    const auto key = from_hex(rfc_key);
    AES_ctx *ctx = AES_ctx_alloc(key.data(), 16);
    ASSERT_NE(ctx, nullptr);
    const std::uint8_t zero[16] = {};
    std::uint8_t l[16];
    AES_encrypt(ctx, zero, l);
    std::free(ctx);
    EXPECT_EQ(to_hex(l, 16), rfc_l);

    const auto k1 = from_hex(rfc_k1);
    const auto k2 = from_hex(rfc_k2);
    const auto msg = from_hex(rfc_message);
    std::vector<std::uint8_t> block(16);
    std::uint8_t tag[16];
    for (int i = 0; i < 16; i++)
        block[i] = msg[i] ^ k1[i];
    aes_cmac(msg.data(), 16, key.data(), tag);
    EXPECT_EQ(to_hex(tag, 16), to_hex(openssl_cbc_zero_padded(key, zero, block)));

    for (int i = 0; i < 16; i++)
        block[i] = (i == 0 ? 0x80 : 0x00) ^ k2[i];
    aes_cmac(nullptr, 0, key.data(), tag);
    EXPECT_EQ(to_hex(tag, 16), to_hex(openssl_cbc_zero_padded(key, zero, block)));
}

TEST(AesCmac, AgreesWithOpenSsl) {
    std::mt19937 rng(4493);
    for (std::size_t len = 0; len <= 200; len++) {
        std::uint8_t key[16];
        for (auto &b : key)
            b = static_cast<std::uint8_t>(rng());
        std::vector<std::uint8_t> msg(len);
        for (auto &b : msg)
            b = static_cast<std::uint8_t>(rng());
        std::uint8_t tag[16];
        aes_cmac(msg.data(), len, key, tag);
        EXPECT_EQ(to_hex(tag, 16), to_hex(openssl_cmac(key, msg.data(), len))) << "len " << len;
    }
}

// The message ends at the last byte of a page followed by an inaccessible
// page: any read past it faults.
TEST(AesCmac, NeverReadsPastTheMessage) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void *map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto *base = static_cast<std::uint8_t *>(map);
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    const auto key = from_hex(rfc_key);
    std::mt19937 rng(7);
    for (std::size_t len = 0; len <= 64; len++) {
        std::uint8_t *msg = base + page - len;
        for (std::size_t i = 0; i < len; i++)
            msg[i] = static_cast<std::uint8_t>(rng());
        std::uint8_t tag[16];
        aes_cmac(msg, len, key.data(), tag);
        EXPECT_EQ(to_hex(tag, 16), to_hex(openssl_cmac(key.data(), msg, len))) << "len " << len;
    }
    munmap(map, 2 * page);
}

}  // namespace
