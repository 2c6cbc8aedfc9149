// Signing and checking: SHA-256 of the message, read as an integer, raised to the
// private or public exponent modulo n.
#include "sign.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rsa.h"
#include "sha256.h"

namespace {

// Decimal digest integer of the message; the caller frees it.
char *digest_integer(const std::uint8_t *message, std::int32_t len) {
    sha256_ctx ctx;
    std::uint8_t digest[32];
    sha256_init(&ctx);
    sha256_update(&ctx, message, static_cast<std::uint32_t>(len));
    sha256_finish(&ctx, digest);
    return rsa_bin2dec(digest, 32);
}

}  // namespace

char *sign(const std::uint8_t *message, std::int32_t len, const char *n, const char *d) {
    char *sig = static_cast<char *>(std::malloc(rsa_buffer_size));
    if (sig == nullptr) {
        std::fprintf(stderr, "sign: out of memory\n");
        std::abort();
    }
    char *h = digest_integer(message, len);
    std::printf("Hash value (in dec):\n%s\n", h);
    rsa_encrypt(sig, h, static_cast<std::int32_t>(std::strlen(h)), n, d);
    std::free(h);
    std::printf("Signature result:\n%s\n", sig);
    return sig;
}

int verify(const std::uint8_t *message, std::int32_t len, const char *n, const char *e,
           const char *signature) {
    char *h = digest_integer(message, len);
    char rec[rsa_buffer_size];
    rsa_encrypt(rec, signature, static_cast<std::int32_t>(std::strlen(signature)), n, e);
    std::printf("Decrypted Hash value:\n%s\n", rec);
    int result = std::strcmp(h, rec) == 0 ? 1 : 0;
    std::free(h);
    return result;
}
