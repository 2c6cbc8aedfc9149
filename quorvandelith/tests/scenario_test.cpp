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
#include "keystream_oracle.h"
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

// Requests of whole blocks from 1 KiB up, which the AVX-512 path computes in
// steps of 32 and 16 blocks (then 8 and 1), against OpenSSL's ChaCha20
// keystream. Each get starts from the record as the previous call left it
// (key words 4-11, counter word 12, nonce words 13-15): the clock's
// nanoseconds are XORed into key word 0, one fresh block changes the key
// (its words 0-7 XORed in) and counts the nonce, and the output is the
// keystream from there.
TEST(WideRequests, FollowTheKeystream) {
    constexpr uint32_t clock_ns = 0x1234567;
    fake::set_clock(1'700'000'000, clock_ns);  // no reseed: the seed never ages
    fake::kernel_stream(drng_vectors::kernel_byte);
    drng_chacha20 *drng = nullptr;
    ASSERT_EQ(0, drng_chacha20_init(&drng));
    for (uint32_t blocks : {16u, 24u, 32u, 48u, 57u, 64u}) {
        SCOPED_TRACE(blocks);
        const auto *words = reinterpret_cast<const uint32_t *>(drng);
        uint32_t key[8], nonce[3];
        memcpy(key, words + 4, sizeof key);
        uint32_t counter = words[12];
        memcpy(nonce, words + 13, sizeof nonce);
        ASSERT_LT(counter, 1u << 30);  // libcrypto carries into the nonce at 2^32
        key[0] ^= clock_ns;
        const auto fresh = oracle_keystream(key, counter++, nonce, 1);
        for (int i = 0; i < 8; i++) {
            key[i] ^= oracle_word(fresh, 0, i);
        }
        if (++nonce[0] == 0 && ++nonce[1] == 0) {
            ++nonce[2];
        }
        const auto expected = oracle_keystream(key, counter, nonce, blocks);
        std::vector<uint8_t> out(64 * blocks + 1);
        ASSERT_EQ(0, drng_chacha20_get(drng, out.data() + 1, 64 * blocks));  // odd address
        EXPECT_EQ(0, memcmp(expected.data(), out.data() + 1, expected.size()));
    }
    drng_chacha20_destroy(drng);
    fake::reset();
}

}  // namespace
