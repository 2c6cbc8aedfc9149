// SHA-256 and HMAC-SHA-256 against published vectors (FIPS 180-4 examples, RFC 4231)
// and OpenSSL's libcrypto.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level SHA256_CTX lets us preset a bit count
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hex.h"
#include "hmac.h"
#include "sha256.h"

namespace {

std::vector<std::uint8_t> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

std::string sha256_hex(const std::vector<std::uint8_t> &m) {
    sha256_ctx ctx;
    std::uint8_t digest[32];
    sha256_init(&ctx);
    sha256_update(&ctx, m.data(), static_cast<std::uint32_t>(m.size()));
    sha256_finish(&ctx, digest);
    return to_hex(digest, 32);
}

std::string hmac_hex(const std::vector<std::uint8_t> &text, const std::vector<std::uint8_t> &key) {
    std::uint8_t mac[32];
    hmac_sha256(text.data(), text.size(), key.data(), static_cast<std::uint32_t>(key.size()), mac);
    return to_hex(mac, 32);
}

std::string openssl_hmac_hex(const std::vector<std::uint8_t> &text,
                             const std::vector<std::uint8_t> &key) {
    static const std::uint8_t nothing[1] = {0};  // OpenSSL wants non-null buffers
    std::uint8_t mac[32];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.empty() ? nothing : key.data(), static_cast<int>(key.size()),
         text.empty() ? nothing : text.data(), text.size(), mac, &len);
    return to_hex(mac, len);
}

// Message bytes i*7+3 (mod 256), the pattern behind the boundary table.
std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> m(n);
    for (std::size_t i = 0; i < n; i++) {
        m[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return m;
}

struct HashVector {
    const char *name;
    std::string message;
    const char *digest;
};

TEST(Sha256, Fips180Examples) {
    // FIPS 180-4 examples (NIST CSRC "SHA256.pdf", "SHA2 additional examples").
    const HashVector vectors[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"one million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &v : vectors) {
        EXPECT_EQ(sha256_hex(bytes(v.message)), v.digest) << v.name;
    }
}

TEST(Sha256, PaddingBoundaries) {
    // Digests of pattern(n) computed with Python's hashlib.sha256.
    const struct {
        std::size_t length;
        const char *digest;
    } vectors[] = {
        {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
        {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
        {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
        {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
        {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
        {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
        {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
        {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6"},
    };
    for (const auto &v : vectors) {
        EXPECT_EQ(sha256_hex(pattern(v.length)), v.digest) << v.length << " bytes";
    }
}

TEST(Sha256, AnySplitOverUpdatesGivesTheSameDigest) {
    // 1000 bytes i*13+1 (mod 256); digest from Python's hashlib.sha256.
    const char *expected = "7bb2fa7ff0db797646f30a289a3774ea64034902ab739bad37e4d9af29509239";
    std::vector<std::uint8_t> m(1000);
    for (std::size_t i = 0; i < m.size(); i++) {
        m[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    for (std::uint32_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 200u, 999u}) {
        sha256_ctx ctx;
        std::uint8_t digest[32];
        sha256_init(&ctx);
        for (std::uint32_t off = 0; off < m.size(); off += piece) {
            std::uint32_t n = std::min<std::uint32_t>(piece, m.size() - off);
            sha256_update(&ctx, m.data() + off, n);
        }
        sha256_update(&ctx, m.data(), 0);  // an empty update changes nothing
        sha256_finish(&ctx, digest);
        EXPECT_EQ(to_hex(digest, 32), expected) << "pieces of " << piece;
    }
}

TEST(Sha256, BitCountCarriesIntoHighWord) {
    // Both contexts start from the same chaining value and a bit count just below 2^32,
    // as if 512 MiB had already been hashed; OpenSSL then finishes the same stream.
    const std::uint32_t chain[8] = {0x01234567, 0x89abcdef, 0xfedcba98, 0x76543210,
                                    0x0f1e2d3c, 0x4b5a6978, 0x8796a5b4, 0xc3d2e1f0};
    const struct {
        std::uint32_t low;
        std::size_t length;  // bytes fed after the preset
    } cases[] = {
        {0xFFFFFE00u, 64 + 10},  // carry when a block is compressed inside update
        {0xFFFFFF00u, 40},       // carry when finish adds the pending 320 bits
        {0xFFFFFFF8u, 1},        // carry from the last byte alone
    };
    std::vector<std::uint8_t> m = pattern(200);
    for (const auto &c : cases) {
        sha256_ctx ours;
        sha256_init(&ours);
        std::memcpy(ours.hash, chain, sizeof chain);
        ours.bit_len[0] = c.low;
        ours.bit_len[1] = 0;
        sha256_update(&ours, m.data(), static_cast<std::uint32_t>(c.length));

        SHA256_CTX theirs;
        SHA256_Init(&theirs);
        std::memcpy(theirs.h, chain, sizeof chain);
        theirs.Nl = c.low;
        theirs.Nh = 0;
        SHA256_Update(&theirs, m.data(), c.length);

        std::uint8_t a[32], b[32];
        sha256_finish(&ours, a);
        SHA256_Final(b, &theirs);
        EXPECT_EQ(to_hex(a, 32), to_hex(b, 32)) << c.low << " + " << c.length << " bytes";
        EXPECT_EQ(ours.bit_len[1], 1u);
        EXPECT_EQ(ours.bit_len[0], c.low + 8 * static_cast<std::uint32_t>(c.length));
    }
}

TEST(HmacSha256, Rfc4231) {
    // RFC 4231 section 4 test cases 1-7. Case 5 is published truncated to 128 bits; its
    // full output (whose first half matches the RFC) comes from Python's hmac module.
    const struct {
        const char *name;
        std::vector<std::uint8_t> key, data;
        const char *mac;
    } vectors[] = {
        {"case 1", std::vector<std::uint8_t>(20, 0x0b), bytes("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"case 2", bytes("Jefe"), bytes("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"case 3", std::vector<std::uint8_t>(20, 0xaa), std::vector<std::uint8_t>(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"case 4", from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
         std::vector<std::uint8_t>(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"case 5", std::vector<std::uint8_t>(20, 0x0c), bytes("Test With Truncation"),
         "a3b6167473100ee06e0c796c2955552bfa6f7c0a6a8aef8b93f860aab0cd20c5"},
        {"case 6", std::vector<std::uint8_t>(131, 0xaa),
         bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"case 7", std::vector<std::uint8_t>(131, 0xaa),
         bytes("This is a test using a larger than block-size key and a larger than "
               "block-size data. The key needs to be hashed before being used by the HMAC "
               "algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto &v : vectors) {
        EXPECT_EQ(hmac_hex(v.data, v.key), v.mac) << v.name;
    }
}

TEST(HmacSha256, KeyLengthsAroundTheBlockSize) {
    const std::vector<std::uint8_t> text = bytes("block-sized keys are used as they are");
    for (std::size_t len : {63u, 64u, 65u, 100u}) {
        std::vector<std::uint8_t> key = pattern(len);
        EXPECT_EQ(hmac_hex(text, key), openssl_hmac_hex(text, key)) << len << "-byte key";
    }
    // A 65-byte key is replaced by its digest (OpenSSL's SHA-256 and HMAC here).
    std::vector<std::uint8_t> key65 = pattern(65), digest65(32);
    SHA256(key65.data(), key65.size(), digest65.data());
    EXPECT_EQ(hmac_hex(text, key65), openssl_hmac_hex(text, digest65));
}

TEST(HmacSha256, EmptyKeyAndEmptyMessage) {
    const std::vector<std::uint8_t> none;
    const std::vector<std::uint8_t> text = bytes("The quick brown fox jumps over the lazy dog");
    const std::vector<std::uint8_t> key = bytes("key");
    EXPECT_EQ(hmac_hex(text, none), openssl_hmac_hex(text, none));
    EXPECT_EQ(hmac_hex(none, key), openssl_hmac_hex(none, key));
    EXPECT_EQ(hmac_hex(none, none), openssl_hmac_hex(none, none));
    // Python: hmac.new(b"key", b"The quick brown fox jumps over the lazy dog", "sha256")
    EXPECT_EQ(hmac_hex(text, key),
              "f7bc83f430538424b13298e6aa6fb143ef4d59a14946175997479dbc2d1a3cd8");
}

}  // namespace
