// SHA-256 and HMAC-SHA-256 against OpenSSL. Input: a flags byte, the key
// length (0 .. 255 bytes: shorter than, equal to and longer than the 64-byte
// block), the number of pieces and their lengths, the key, then the message.
// The message is hashed in those pieces (the rest in a last one), optionally
// from a bit count just below 2^32, and its HMAC is computed under the key.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level SHA256_CTX lets us preset a bit count
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hmac.h"
#include "sha256.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "mismatch: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    std::size_t key_len = data[1];
    std::size_t pieces = data[2] % 8;
    const std::uint8_t *lengths = data + 3;
    pieces = pieces < size - 3 ? pieces : size - 3;
    const std::uint8_t *key = lengths + pieces;
    std::size_t rest = size - 3 - pieces;
    key_len = key_len < rest ? key_len : rest;
    const std::uint8_t *msg = key + key_len;
    const std::size_t msg_len = rest - key_len;

    // A bit count of 2^32 - 8 (1 .. 128) makes the first bytes carry into the high half.
    sha256_ctx ours;
    SHA256_CTX theirs;
    sha256_init(&ours);
    SHA256_Init(&theirs);
    if (flags & 1) {
        ours.bit_len[0] = theirs.Nl = 0u - 8u * (1u + (flags >> 1));
    }
    std::size_t done = 0;
    for (std::size_t i = 0; i < pieces; i++) {
        const std::size_t n = lengths[i] < msg_len - done ? lengths[i] : msg_len - done;
        sha256_update(&ours, msg + done, static_cast<std::uint32_t>(n));
        done += n;
    }
    sha256_update(&ours, msg + done, static_cast<std::uint32_t>(msg_len - done));
    SHA256_Update(&theirs, msg, msg_len);
    std::uint8_t a[32], b[32];
    sha256_finish(&ours, a);
    SHA256_Final(b, &theirs);
    check(std::memcmp(a, b, 32) == 0, "SHA-256 digest");

    unsigned int mac_len = 0;
    hmac_sha256(msg, msg_len, key, static_cast<std::uint32_t>(key_len), a);
    const bool ok =
        HMAC(EVP_sha256(), key, static_cast<int>(key_len), msg, msg_len, b, &mac_len) != nullptr;
    check(ok && mac_len == 32 && std::memcmp(a, b, 32) == 0, "HMAC-SHA-256");
    return 0;
}
