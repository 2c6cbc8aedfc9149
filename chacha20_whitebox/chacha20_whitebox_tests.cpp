// chacha20_whitebox_tests: encrypts one block with the reference ChaCha20
// functions and with the white-box table, and reports whether they agree.
//
// Exit status 0 when the check passes, 1 when it fails or the report could not
// be written.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string.h>  // memcmp, unqualified: its call is printed as written

#include "chacha20.h"
#include "chacha20_whitebox.h"

namespace {

// The check-and-report facility: counts checks and prints one coloured line
// for each, then a summary.
unsigned checks_run = 0;
unsigned checks_failed = 0;

void test_check(const char *name, const char *expression, const char *expected_text,
                std::int32_t actual, std::int32_t expected) {
    checks_run++;
    std::printf("%5u ", checks_run);
    if (actual == expected) {
        std::printf("\033[32m[P]\033[0m %s [\033[36m%s == %s\033[0m]\n", name, expression,
                    expected_text);
        return;
    }
    checks_failed++;
    std::printf(
        "\033[31;1m[F]\033[0m %s [expression: \033[36m%s\033[0m] "
        "[expected: \033[36m0x%X (%%d=%+d, %%u=%u)\033[0m] "
        "[actual: \033[31m0x%X (%%d=%+d, %%u=%u)\033[0m]\n",
        name, expression, static_cast<unsigned>(expected), expected,
        static_cast<unsigned>(expected), static_cast<unsigned>(actual), actual,
        static_cast<unsigned>(actual));
}

// Passes the literal source texts of the arguments along with their values.
#define TEST_CHECK(name, actual, expected) \
    test_check(#name, #actual, #expected, (actual), (expected))

void test_summary() {
    std::printf("\n   \033[36m%u\033[0m tests run - ", checks_run);
    if (checks_failed == 0) {
        std::puts("\033[32mall tests passed\033[0m\n");
    } else {
        std::printf("\033[31;1m%u test(s) failed\n\033[0m\n", checks_failed);
    }
}

// The report is only of use whole: when standard output could not take all
// of it (a full disk, a closed descriptor), one line on standard error says
// so, and the caller exits with status 1.
bool report_written() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return true;
    }
    const int error = errno;
    std::fprintf(stderr, "chacha20_whitebox_tests: could not write to standard output%s%s\n",
                 error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
    return false;
}

}  // namespace

int main() {
    // The white-box key; the build hands the same bytes to the table generator.
    const std::uint8_t key[32] = {CHACHA20_WHITEBOX_KEY_BYTES};
    // The table nonce of entry 83: bytes 0-10 zero, byte 11 = 83.
    const std::uint8_t nonce[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53};
    const std::uint8_t input[64] = {
        0x73, 0xde, 0x65, 0x74, 0x06, 0x60, 0x6e, 0x3b, 0x87, 0xf4, 0xad, 0x03, 0x0b,
        0x0a, 0xac, 0xba, 0x22, 0xf2, 0xd9, 0x2d, 0xca, 0x42, 0x65, 0xed, 0x51, 0xb9,
        0x14, 0x73, 0xfa, 0xa4, 0x9e, 0x10, 0x6a, 0xb4, 0x3b, 0xb3, 0x69, 0x82, 0x1b,
        0x04, 0x7c, 0x5e, 0x6a, 0xab, 0xe7, 0x3f, 0x26, 0xce, 0xbf, 0xa7, 0x39, 0x26,
        0x04, 0x09, 0x30, 0x84, 0x83, 0xba, 0xbc, 0x87, 0x30, 0x6b, 0x4d, 0x3f,
    };
    std::uint8_t expected[64];
    std::uint8_t output[64];
    chacha20_state state;

    std::puts("");
    chacha20_key_expand(state, key, nonce, 0);
    chacha20_block(state, expected, input);
    chacha20_whitebox_block(83, output, input);
    TEST_CHECK("cipher block", memcmp(output, expected, sizeof(input)), 0);
    test_summary();
    if (!report_written()) {
        return 1;
    }
    return checks_failed == 0 ? 0 : 1;
}
