// Exact bytes and results of the shared library under a scripted kernel and
// clock. The expected values in drng_vectors.h come from drng_model.py, an
// independent Python model of the generator written from the documented
// algorithm, with the ChaCha20 block function of the `cryptography` package.

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <string.h>

#include <ostream>
#include <vector>

#include "drng_vectors.h"
#include "fake_system.h"
#include "quorvandelith.h"

namespace drng_vectors {
// Names the scenario in test output instead of dumping its bytes.
void PrintTo(const Scenario &s, std::ostream *os) {
    *os << s.name;
}
}  // namespace drng_vectors

namespace {

using drng_vectors::Op;
using drng_vectors::Scenario;

class Scripted : public ::testing::TestWithParam<Scenario> {
   protected:
    void TearDown() override {
        fake::reset();
    }
};

// Draws one step's output at its offset and compares it with the model's bytes
// (or their SHA-256 for long requests).
void check_get(drng_chacha20 *drng, const drng_vectors::Step &step) {
    if (step.op == Op::get_unchecked) {  // long requests that only move the volume on
        static std::vector<uint8_t> scratch;
        scratch.resize(step.length);
        ASSERT_EQ(step.result, drng_chacha20_get(drng, scratch.data(), step.length));
        return;
    }
    std::vector<uint8_t> buf(step.length + 64, 0xa5);
    uint8_t *out = buf.data() + step.offset;
    ASSERT_EQ(step.result, drng_chacha20_get(drng, out, step.length));
    if (step.result != 0) {
        for (uint8_t b : buf) {
            ASSERT_EQ(0xa5, b) << "a failed get wrote output";
        }
        return;
    }
    uint8_t digest[SHA256_DIGEST_LENGTH];
    const uint8_t *got = out;
    size_t size = step.length;
    if (step.length > 64) {
        SHA256(out, step.length, digest);
        got = digest;
        size = sizeof digest;
    }
    EXPECT_EQ(0, memcmp(step.expected, got, size));
    EXPECT_EQ(0xa5, out[step.length]) << "wrote past the request";
    if (step.offset > 0) {
        EXPECT_EQ(0xa5, out[-1]) << "wrote before the request";
    }
}

TEST_P(Scripted, MatchesTheModel) {
    const Scenario &s = GetParam();
    fake::kernel_stream(drng_vectors::kernel_byte);
    fake::script_clock(s.clock, s.clock_count);
    fake::script_getrandom(s.kernel, s.kernel_count);
    fake::fail_getrandom(s.kernel_then);
    const int calls_before = fake::getrandom_calls();

    int sentinel;
    auto *drng = reinterpret_cast<drng_chacha20 *>(&sentinel);
    ASSERT_EQ(s.steps[0].result, drng_chacha20_init(&drng));
    if (s.steps[0].result != 0) {
        EXPECT_EQ(nullptr, drng);
    }
    for (unsigned i = 1; i < s.step_count; i++) {
        SCOPED_TRACE(i);
        const drng_vectors::Step &step = s.steps[i];
        if (step.op == Op::reseed) {
            EXPECT_EQ(step.result, drng_chacha20_reseed(drng, step.data, step.length));
        } else {
            check_get(drng, step);
        }
    }
    EXPECT_EQ(static_cast<int>(s.clock_reads), fake::clock_reads());
    EXPECT_EQ(static_cast<int>(s.getrandom_calls), fake::getrandom_calls() - calls_before);
    if (s.steps[0].result == 0) {
        drng_chacha20_destroy(drng);
    }
}

INSTANTIATE_TEST_SUITE_P(Model, Scripted, ::testing::ValuesIn(drng_vectors::kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
