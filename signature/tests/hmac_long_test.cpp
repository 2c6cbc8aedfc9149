// HMAC-SHA-256 of a message of 2^32 + 3 bytes, checked against OpenSSL: every byte must
// be authenticated, not only the low 32 bits of the length. The message is a read-only
// anonymous mapping, so its zero pages take no memory.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "hmac.h"

TEST(HmacSha256, MessageOfFourGibibytesAndMore) {
    const std::uint64_t length = (std::uint64_t{1} << 32) + 3;
    void *map =
        mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    const auto *text = static_cast<const std::uint8_t *>(map);
    const std::uint8_t key[] = "quietlamp";

    std::uint8_t ours[32], theirs[32], low_only[32];
    unsigned int len = 0;
    hmac_sha256(text, length, key, 9, ours);
    ASSERT_NE(HMAC(EVP_sha256(), key, 9, text, length, theirs, &len), nullptr);
    hmac_sha256(text, 3, key, 9, low_only);
    EXPECT_EQ(std::memcmp(ours, theirs, 32), 0);
    EXPECT_NE(std::memcmp(ours, low_only, 32), 0);
    munmap(map, length);
}
