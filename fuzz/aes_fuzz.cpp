// AES, AES-CBC and AES-CMAC against OpenSSL. Input: a mode byte (operation,
// key size, direction, in place), a length byte, the key (16, 24 or 32
// bytes), the 16-byte IV, then the text. The block cipher runs on every whole
// block of the text, in place or not; CBC encrypts the text (a final partial
// block is zero-padded, so OpenSSL encrypts the zero-padded text) or decrypts
// its whole blocks for a plaintext length up to 15 bytes short of them; CMAC
// authenticates the text under the first 16 key bytes.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aes.h"
#include "aes_cbc.h"
#include "aes_cmac.h"
#include "openssl_oracle.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "mismatch: %s\n", what);
        std::abort();
    }
}

const EVP_CIPHER *cipher(std::size_t key_len, bool cbc) {
    if (key_len == 16) {
        return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    }
    if (key_len == 24) {
        return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    }
    return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
}

// OpenSSL over whole blocks, without padding.
std::vector<std::uint8_t> openssl(const EVP_CIPHER *c, bool encrypt, const std::uint8_t *key,
                                  const std::uint8_t *iv, const std::uint8_t *in,
                                  std::size_t len) {
    std::vector<std::uint8_t> out(len + 16);
    int n = 0, tail = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ok = ctx != nullptr && EVP_CipherInit_ex(ctx, c, nullptr, key, iv, encrypt) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_CipherUpdate(ctx, out.data(), &n, in, static_cast<int>(len)) == 1 &&
                    EVP_CipherFinal_ex(ctx, out.data() + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    check(ok, "OpenSSL");
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

void blocks(const std::uint8_t *key, std::size_t key_len, bool encrypt, bool in_place,
            const std::uint8_t *text, std::size_t len) {
    len -= len % 16;
    const auto want = openssl(cipher(key_len, false), encrypt, key, nullptr, text, len);
    AES_ctx *ctx = AES_ctx_alloc(key, key_len);
    check(ctx != nullptr, "AES_ctx_alloc");
    std::vector<std::uint8_t> out(text, text + len);
    for (std::size_t o = 0; o < len; o += 16) {
        const std::uint8_t *in = in_place ? out.data() + o : text + o;
        (encrypt ? AES_encrypt : AES_decrypt)(ctx, in, out.data() + o);
    }
    std::free(ctx);
    check(out == want, encrypt ? "AES block encryption" : "AES block decryption");
}

void cbc(const std::uint8_t *key, std::size_t key_len, bool encrypt, std::uint8_t shorter,
         const std::uint8_t *iv, const std::uint8_t *text, std::size_t len) {
    const std::uint8_t guard = 0xa5;
    const std::size_t whole = len / 16 * 16;
    if (encrypt) {
        std::vector<std::uint8_t> padded(text, text + len);
        padded.resize((len + 15) / 16 * 16, 0);
        const auto want =
            openssl(cipher(key_len, true), true, key, iv, padded.data(), padded.size());
        std::vector<std::uint8_t> out(padded.size() + 16, guard);
        check(AES_CBC_encrypt(text, out.data(), len, key, key_len, iv) == padded.size(),
              "CBC: ciphertext length");
        check(std::equal(want.begin(), want.end(), out.begin()), "CBC encryption");
        check(out[padded.size()] == guard, "CBC encryption: written past the ciphertext");
        return;
    }
    // The plaintext ends with zeros from its length up to the block boundary.
    const std::size_t plain_len = whole - (whole > 0 ? shorter % 16 : 0);
    auto want = openssl(cipher(key_len, true), false, key, iv, text, whole);
    std::fill(want.begin() + static_cast<std::ptrdiff_t>(plain_len), want.end(), 0);
    std::vector<std::uint8_t> out(whole + 16, guard);
    AES_CBC_decrypt(text, out.data(), plain_len, key, key_len, iv);
    check(std::equal(want.begin(), want.end(), out.begin()), "CBC decryption");
    check(out[whole] == guard, "CBC decryption: written past the plaintext");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::size_t key_len = mode % 3 == 0 ? 16 : mode % 3 == 1 ? 24 : 32;
    const bool encrypt = (mode & 0x40) == 0;
    if (size < 2 + key_len + 16) {
        return 0;
    }
    const std::uint8_t *key = data + 2;
    const std::uint8_t *iv = key + key_len;
    const std::uint8_t *text = iv + 16;
    const std::size_t len = size - 2 - key_len - 16;
    switch (mode / 3 % 3) {
        case 0:
            blocks(key, key_len, encrypt, (mode & 0x80) != 0, text, len);
            break;
        case 1:
            cbc(key, key_len, encrypt, data[1], iv, text, len);
            break;
        default: {
            std::uint8_t tag[16];
            aes_cmac(text, len, key, tag);
            check(openssl_cmac(key, text, len) == std::vector<std::uint8_t>(tag, tag + 16),
                  "CMAC");
        }
    }
    return 0;
}
