// Demonstrates the AES block cipher, AES-CBC and AES-CMAC on inputs compiled
// into the program: a single-block AES-128 round trip, a CBC round trip of a
// fixed message and the CMAC tag of that message. Exit status 0, or 1 when the
// report could not be written.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aes.h"
#include "aes_cbc.h"
#include "aes_cmac.h"

// 343 characters of prose and the terminating zero.
char teststring[344] =
    "The lighthouse keeper kept a notebook of every ship that passed the point, "
    "writing down its name, its flag and the hour it rounded the rocks. "
    "On calm evenings he added the color of the sky and the smell of the wind, "
    "and in winter, when no ships came, he read the old pages aloud to the gulls "
    "and wondered who would keep the lamp lit after him.";

namespace {

const std::uint8_t aes_128_key[16] = {
    0xa8, 0x94, 0x5b, 0x46, 0x4d, 0x47, 0x93, 0x0f, 0xf4, 0xf9, 0xa8, 0x75, 0x03, 0x62, 0x2f, 0x2a,
};

const std::uint8_t aes_256_key[32] = {
    0x58, 0x9b, 0x20, 0xc3, 0x0a, 0x26, 0x2f, 0xd2, 0x84, 0x7f, 0xbe, 0x5e, 0xb4, 0xc7, 0x83, 0x7f,
    0x1f, 0xb4, 0x7f, 0xdb, 0x25, 0x3e, 0xb7, 0x23, 0x12, 0x33, 0x24, 0xab, 0xa6, 0xcb, 0xc7, 0x75,
};

// Text key and IV: ASCII words completed with zero bytes to 16.
const std::uint8_t text_key[16] = {'q', 'u', 'i', 'e', 't', 'l', 'a', 'm', 'p'};
const std::uint8_t text_iv[16] = {'h', 'a', 'r', 'b', 'o', 'r', 'g', 'a', 't', 'e'};

// One line of "%2.2x " per byte: every line ends in a space before the newline.
void print_hex(const std::uint8_t *bytes, std::int32_t len) {
    for (std::int32_t i = 0; i < len; i++)
        std::printf("%2.2x ", bytes[i]);
    std::putchar('\n');
}

// Encrypts and decrypts one block, then prints the round trip under banner.
void single_block_test(const char *banner, const std::uint8_t *key, std::size_t key_len,
                       const char *text) {
    std::uint8_t plain[16] = {};
    std::uint8_t cipher[16];
    std::uint8_t decrypted[16];
    std::memcpy(plain, text, std::strlen(text));

    AES_ctx *ctx = AES_ctx_alloc(key, key_len);
    AES_encrypt(ctx, plain, cipher);
    AES_decrypt(ctx, cipher, decrypted);
    std::free(ctx);

    std::puts(banner);
    std::printf("plaintext: %s\n", reinterpret_cast<const char *>(plain));
    std::puts("encrypted:");
    print_hex(cipher, 16);
    std::printf("decrypted: %s\n", reinterpret_cast<const char *>(decrypted));
}

// The report is only of use whole: when standard output could not take all
// of it (a full disk, a closed descriptor), one line on standard error says
// so, and the caller exits with status 1.
bool report_written() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return true;
    }
    const int error = errno;
    std::fprintf(stderr, "aes_client: could not write to standard output%s%s\n",
                 error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
    return false;
}

}  // namespace

void aes_128_test() {
    single_block_test("\n*********AES-128*********", aes_128_key, sizeof aes_128_key,
                      "helloworld~");
}

// Not run by main; kept as the AES-256 counterpart of aes_128_test.
void aes_256_test() {
    single_block_test("\n*********AES-256**********", aes_256_key, sizeof aes_256_key,
                      "I'm plaintext");
}

void aes_128_cbc_test() {
    std::uint8_t cipher[512];
    std::uint8_t decrypted[512];
    const auto *message = reinterpret_cast<const std::uint8_t *>(teststring);

    std::puts("\n*********AES-128-CBC**********");
    const std::size_t len = std::strlen(teststring);
    const std::size_t cipher_len = AES_CBC_encrypt(message, cipher, len, text_key, 16, text_iv);
    std::puts("key:");
    print_hex(text_key, 16);
    std::puts("iv:");
    print_hex(text_iv, 16);
    std::printf("plaintext: %lu bytes\n%s\n", static_cast<unsigned long>(len), teststring);
    std::printf("ciphertext: %lu bytes\n", static_cast<unsigned long>(cipher_len));
    print_hex(cipher, static_cast<std::int32_t>(cipher_len));
    // Decryption is given the plaintext length and ends the text with zeros.
    AES_CBC_decrypt(cipher, decrypted, len, text_key, 16, text_iv);
    std::printf("decrypted:\n%s\n", reinterpret_cast<const char *>(decrypted));
}

void aes_cmac_test() {
    std::uint8_t tag[16];

    std::puts("\n*********AES-CMAC**********");
    aes_cmac(reinterpret_cast<const std::uint8_t *>(teststring), std::strlen(teststring), text_key,
             tag);
    std::printf("message:\n%s\n", teststring);
    std::printf("key: %s\n", reinterpret_cast<const char *>(text_key));
    std::puts("CMAC result:");
    print_hex(tag, 16);
}

int main() {
    aes_128_test();
    aes_128_cbc_test();
    aes_cmac_test();
    return report_written() ? 0 : 1;
}
