// Failed allocations. This program is linked with --wrap=malloc, so every
// malloc call made by the AES code comes here first and can be made to fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "aes.h"
#include "aes_cbc.h"
#include "aes_cmac.h"

extern "C" void *__real_malloc(std::size_t size);

namespace {
bool fail_malloc = false;
}

extern "C" void *__wrap_malloc(std::size_t size) {
    if (fail_malloc)
        return nullptr;
    return __real_malloc(size);
}

namespace {

struct FailingMalloc {
    FailingMalloc() {
        fail_malloc = true;
    }
    ~FailingMalloc() {
        fail_malloc = false;
    }
};

const std::uint8_t key[32] = {0x2b, 0x7e, 0x15, 0x16};
const std::uint8_t iv[16] = {};

TEST(AesAllocation, ContextAllocationFailureYieldsNull) {
    for (std::size_t key_len : {16u, 24u, 32u}) {
        FailingMalloc failing;
        EXPECT_EQ(AES_ctx_alloc(key, key_len), nullptr);
    }
    // With memory available again the same call succeeds.
    AES_ctx *ctx = AES_ctx_alloc(key, 16);
    EXPECT_NE(ctx, nullptr);
    std::free(ctx);
}

TEST(AesAllocation, ModesWriteNothingWithoutAContext) {
    const std::uint8_t in[48] = {1, 2, 3};
    std::uint8_t out[48], mac[16];
    std::memset(out, 0x5a, sizeof out);
    std::memset(mac, 0x5a, sizeof mac);
    {
        FailingMalloc failing;
        EXPECT_EQ(AES_CBC_encrypt(in, out, 40, key, 16, iv), 0u);
        AES_CBC_decrypt(in, out, 40, key, 16, iv);
        aes_cmac(in, 40, key, mac);
    }
    for (auto b : out)
        ASSERT_EQ(b, 0x5a);
    for (auto b : mac)
        ASSERT_EQ(b, 0x5a);
    // And with memory available the same calls do write.
    EXPECT_EQ(AES_CBC_encrypt(in, out, 40, key, 16, iv), 48u);
    aes_cmac(in, 40, key, mac);
    EXPECT_NE(
        std::memcmp(mac, "\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a", 16),
        0);
}

}  // namespace
