// HMAC-SHA-256 as RFC 2104 defines it: H((K ^ opad) || H((K ^ ipad) || text)).
#include "hmac.h"

#include <cstring>

#include "sha256.h"

namespace {

constexpr std::uint32_t block_size = 64;
constexpr std::uint32_t digest_size = 32;

// sha256_update takes a 32-bit count, so a longer message goes in pieces.
void update_long(sha256_ctx *ctx, const std::uint8_t *data, std::uint64_t length) {
    constexpr std::uint64_t piece = 0x80000000u;
    while (length > piece) {
        sha256_update(ctx, data, static_cast<std::uint32_t>(piece));
        data += piece;
        length -= piece;
    }
    sha256_update(ctx, data, static_cast<std::uint32_t>(length));
}

}  // namespace

void hmac_sha256(const std::uint8_t *text, std::uint64_t text_len, const std::uint8_t *key,
                 std::uint32_t key_len, std::uint8_t mac[32]) {
    std::uint8_t ipad[block_size];
    std::uint8_t opad[block_size];
    std::uint8_t inner[digest_size];
    sha256_ctx ctx;

    // A key longer than a block is replaced by its digest; a shorter one is zero-filled.
    if (key_len > block_size) {
        sha256_init(&ctx);
        sha256_update(&ctx, key, key_len);
        sha256_finish(&ctx, ipad);
        std::memset(ipad + digest_size, 0, block_size - digest_size);
        std::memcpy(opad, ipad, block_size);
    } else {
        std::memset(ipad, 0, block_size);
        std::memset(opad, 0, block_size);
        if (key_len > 0) {
            std::memcpy(ipad, key, key_len);
            std::memcpy(opad, key, key_len);
        }
    }
    for (std::uint32_t i = 0; i < block_size; i++) {
        ipad[i] ^= 0x36;
        opad[i] ^= 0x5c;
    }

    sha256_init(&ctx);
    sha256_update(&ctx, ipad, block_size);
    update_long(&ctx, text, text_len);
    sha256_finish(&ctx, inner);

    sha256_init(&ctx);
    sha256_update(&ctx, opad, block_size);
    sha256_update(&ctx, inner, digest_size);
    sha256_finish(&ctx, mac);
}
