// The whole report of aes_client, rebuilt byte for byte with OpenSSL: the
// three sections in order, their banners and blank lines, and the hex lines
// with a space after every byte.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "openssl_oracle.h"
#include "hex.h"

namespace {

// The fixed AES-128 key compiled into aes_client (the program never prints it).
const char *const client_aes_128_key = "a8945b464d47930ff4f9a87503622f2a";

std::string hex_line(const std::vector<std::uint8_t> &bytes) {
    std::string s;
    char buf[4];
    for (auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x ", b);
        s += buf;
    }
    return s + "\n";
}

std::vector<std::uint8_t> padded_text(const char *text) {
    std::vector<std::uint8_t> v(16, 0);
    for (std::size_t i = 0; text[i] != '\0'; i++)
        v[i] = static_cast<std::uint8_t>(text[i]);
    return v;
}

struct RunResult {
    std::string out;
    int status;
};

RunResult run_client() {
    RunResult r{"", -1};
    FILE *p = popen(AES_CLIENT_PATH, "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    r.status = pclose(p);
    return r;
}

TEST(AesClient, ReportMatchesIndependentComputation) {
    const RunResult run = run_client();
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 0);

    // The message is the program's own text; take it from the CBC section
    // and check its form.
    const std::string marker = "plaintext: 343 bytes\n";
    const std::size_t at = run.out.find(marker);
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::size_t start = at + marker.size();
    const std::string message = run.out.substr(start, run.out.find('\n', start) - start);
    ASSERT_EQ(message.size(), 343u);
    for (char ch : message)
        ASSERT_TRUE(ch >= 0x20 && ch < 0x7f) << message;

    const std::vector<std::uint8_t> msg(message.begin(), message.end());
    const auto text_key = padded_text("quietlamp");
    const auto iv = padded_text("harborgate");
    const std::uint8_t zero_iv[16] = {};
    const auto block =
        openssl_cbc_zero_padded(from_hex(client_aes_128_key), zero_iv, padded_text("helloworld~"));
    const auto cbc = openssl_cbc_zero_padded(text_key, iv.data(), msg);
    const auto tag = openssl_cmac(text_key.data(), msg.data(), msg.size());
    ASSERT_EQ(cbc.size(), 352u);

    const std::string expected =
        "\n*********AES-128*********\n"
        "plaintext: helloworld~\n"
        "encrypted:\n" +
        hex_line(block) +
        "decrypted: helloworld~\n"
        "\n*********AES-128-CBC**********\n"
        "key:\n" +
        hex_line(text_key) + "iv:\n" + hex_line(iv) + "plaintext: 343 bytes\n" + message +
        "\n"
        "ciphertext: 352 bytes\n" +
        hex_line(cbc) + "decrypted:\n" + message +
        "\n"
        "\n*********AES-CMAC**********\n"
        "message:\n" +
        message +
        "\n"
        "key: quietlamp\n"
        "CMAC result:\n" +
        hex_line(tag);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.out.find("AES-256"), std::string::npos);
}

}  // namespace
