// The chacha20_whitebox_tests program as a whole: its exact report and exit
// status, with its own table and with a table made from another key.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "emulator.h"

namespace {

struct run_result {
    std::string out;
    int status;
};

run_result run(const char *program) {
    run_result r{"", -1};
    std::FILE *p = popen(test_emulator::command(program).c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0)
        r.out.append(buf, n);
    int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(Program, PassingRunPrintsExactReport) {
    const run_result r = run(PROGRAM);
    EXPECT_EQ(r.out,
              "\n    1 \033[32m[P]\033[0m \"cipher block\" "
              "[\033[36mmemcmp(output, expected, sizeof(input)) == 0\033[0m]\n"
              "\n   \033[36m1\033[0m tests run - \033[32mall tests passed\033[0m\n\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Program, TableFromAnotherKeyFailsWithReport) {
    const run_result r = run(PROGRAM_OTHER_TABLE);
    EXPECT_EQ(r.status, 1);
    const std::string head =
        "\n    1 \033[31;1m[F]\033[0m \"cipher block\" "
        "[expression: \033[36mmemcmp(output, expected, sizeof(input))\033[0m] "
        "[expected: \033[36m0x0 (%d=+0, %u=0)\033[0m] [actual: \033[31m0x";
    const std::string tail =
        "\033[0m]\n\n   \033[36m1\033[0m tests run - \033[31;1m1 test(s) failed\n\033[0m\n";
    ASSERT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
    ASSERT_GT(r.out.size(), head.size() + tail.size());
    ASSERT_EQ(r.out.compare(r.out.size() - tail.size(), tail.size(), tail), 0) << r.out;

    // The memcmp result is printed three ways; all must show the same nonzero value.
    const std::string middle = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
    unsigned hex_value = 0, unsigned_value = 0;
    int signed_value = 0;
    char end = 0;
    ASSERT_EQ(4, std::sscanf(middle.c_str(), "%X (%%d=%d, %%u=%u%c", &hex_value, &signed_value,
                             &unsigned_value, &end))
        << middle;
    EXPECT_EQ(end, ')');
    EXPECT_NE(signed_value, 0);
    EXPECT_EQ(hex_value, static_cast<unsigned>(signed_value));
    EXPECT_EQ(unsigned_value, static_cast<unsigned>(signed_value));
    char sign[16];
    std::snprintf(sign, sizeof(sign), "%+d", signed_value);
    EXPECT_NE(middle.find(std::string("%d=") + sign + ","), std::string::npos) << middle;
    const std::string hex_digits = middle.substr(0, middle.find(' '));
    EXPECT_EQ(hex_digits.find_first_of("abcdef"), std::string::npos) << "hex must be upper-case";
}

}  // namespace
