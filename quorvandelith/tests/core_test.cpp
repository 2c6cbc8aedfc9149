// The generator's file-local operations, tested directly, and its whole-block
// paths (chacha20_blocks.h, linked as the library's own objects). Expected
// values come from RFC 7539 and from OpenSSL's ChaCha20 (keystream_oracle.h).

// Included for seed, update and generate, which are private to the library source by design.
#include "../quorvandelith.cpp"

#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "block_paths.h"
#include "fake_system.h"
#include "keystream_oracle.h"

namespace {

// A record with arbitrary, fixed contents.
drng_chacha20 sample_state(uint32_t counter = 7) {
    drng_chacha20 s{};
    memcpy(s.constants, chacha_constants, sizeof s.constants);
    for (uint32_t i = 0; i < 8; i++) {
        s.key[i] = 0x01020304u * (i + 1) ^ 0xa5a5a5a5u;
    }
    s.counter = counter;
    s.nonce[0] = 0x11111111;
    s.nonce[1] = 0x22222222;
    s.nonce[2] = 0x33333333;
    return s;
}

void expect_same_words(const drng_chacha20 &a, const drng_chacha20 &b) {
    EXPECT_EQ(0, memcmp(&a, &b, 64));
}

TEST(BlockFunction, Rfc7539Section232Vector) {
    uint32_t block[16];
    uint32_t out[16];
    memcpy(block, kat_input, sizeof block);
    chacha20_block(block, out);
    // RFC 7539 section 2.3.2, serialised block, as words.
    const uint32_t expected[16] = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
        0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
        0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2,
    };
    EXPECT_EQ(0, memcmp(out, expected, sizeof out));
    EXPECT_EQ(2u, block[12]);
    EXPECT_EQ(0x09000000u, block[13]);
}

TEST(BlockFunction, CounterWrapsWithoutCarry) {
    drng_chacha20 s = sample_state(0xffffffff);
    uint32_t out[16];
    chacha20_block(state_words(&s), out);
    EXPECT_EQ(0u, s.counter);
    EXPECT_EQ(0x11111111u, s.nonce[0]);
    const auto last = oracle_keystream(s.key, 0xffffffff, s.nonce, 1);
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(oracle_word(last, 0, i), out[i]);
    }
    chacha20_block(state_words(&s), out);
    const auto first = oracle_keystream(s.key, 0, s.nonce, 1);
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(oracle_word(first, 0, i), out[i]);
    }
}

// The generator's self-test vectors: seed the first seed_len bytes of 00 01 .. 3f
// into a record whose key, counter and nonce are zero, then generate. The
// first is the RFC 7539 (appendix A.1, test vector 1) all-zero keystream.
struct SelfTestVector {
    uint32_t seed_len;
    std::vector<uint8_t> expected;
};
const SelfTestVector self_test_vectors[] = {
    {0, {0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a,
         0xe5, 0x53, 0x86, 0xbd, 0x28, 0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d,
         0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7}},
    {64, {0xe3, 0xb0, 0x8a, 0xcc, 0x34, 0xc3, 0x17, 0x0e, 0xc3, 0xd8, 0xc3, 0x40, 0xe7,
          0x73, 0xe9, 0x0d, 0xd1, 0x62, 0xa3, 0x5d, 0x7d, 0xf2, 0xf1, 0x4a, 0x24, 0x42,
          0xb7, 0x1e, 0xb0, 0x05, 0x17, 0x07, 0xb9, 0x35, 0x10, 0x69, 0x8b, 0x46, 0xfb,
          0x51, 0xe9, 0x91, 0x3f, 0x46, 0xf2, 0x4d, 0xea, 0xd0, 0x81, 0xc1, 0x1b, 0xa9,
          0x5d, 0x52, 0x91, 0x5f, 0xcd, 0xdc, 0xc6, 0xd6, 0xc3, 0x7c, 0x50, 0x23}},
    {36, {0x9c, 0xfc, 0x5e, 0x31, 0x21, 0x62, 0x11, 0x85, 0xd3, 0x77, 0xd3, 0x69,
          0x0f, 0xa8, 0x16, 0x55, 0xb4, 0x4c, 0xf6, 0x52, 0xf3, 0xa8, 0x37, 0x99,
          0x38, 0x76, 0xa0, 0x66, 0xec, 0xbb, 0xce, 0xa9, 0x9c, 0x95, 0xa1, 0xfd}},
};

TEST(Generator, SelfTestVectors) {
    uint8_t seed[64];
    for (int i = 0; i < 64; i++) {
        seed[i] = static_cast<uint8_t>(i);
    }
    for (const auto &v : self_test_vectors) {
        drng_chacha20 s{};
        memcpy(s.constants, chacha_constants, sizeof s.constants);
        EXPECT_EQ(0, drng_chacha20_seed(&s, seed, v.seed_len));
        std::vector<uint8_t> out(v.expected.size());
        EXPECT_EQ(0, drng_chacha20_generate(&s, out.data(), static_cast<uint32_t>(out.size())));
        EXPECT_EQ(v.expected, out) << "seed length " << v.seed_len;
    }
}

// Blocks computed by one generate call, per length: whole blocks, the tail
// block, and a fresh block for the key change unless a tail of 1..32 bytes
// leaves eight unused words.
struct LengthCase {
    uint32_t length;
    uint32_t blocks;
};
const LengthCase length_cases[] = {
    {0, 1},  {1, 1},  {4, 1},  {5, 1},  {31, 1}, {32, 1},  {33, 2},
    {63, 2}, {64, 2}, {65, 2}, {96, 2}, {97, 3}, {128, 3}, {200, 4},
};

TEST(Generator, OutputKeyCounterAndNonceFollowTheKeystream) {
    for (const LengthCase &c : length_cases) {
        drng_chacha20 s = sample_state();
        const drng_chacha20 before = s;
        const auto ks = oracle_keystream(before.key, before.counter, before.nonce, c.blocks);
        std::vector<uint8_t> out(c.length + 1, 0xee);
        ASSERT_EQ(0, drng_chacha20_generate(&s, out.data(), c.length));

        EXPECT_TRUE(std::equal(out.begin(), out.begin() + c.length, ks.begin()))
            << "length " << c.length;
        EXPECT_EQ(0xee, out[c.length]) << "wrote past the end, length " << c.length;
        EXPECT_EQ(before.counter + c.blocks, s.counter) << "length " << c.length;
        EXPECT_EQ(before.nonce[0] + 1, s.nonce[0]);
        EXPECT_EQ(before.nonce[1], s.nonce[1]);

        const uint32_t tail = c.length % 64;
        const uint32_t index = tail >= 1 && tail <= 32 ? (tail + 3) / 4 : 0;
        for (uint32_t i = 0; i < 8; i++) {
            const uint32_t change = oracle_word(ks, c.blocks - 1, index + i);
            EXPECT_EQ(before.key[i] ^ change, s.key[i]) << "length " << c.length << " word " << i;
        }
    }
}

TEST(Generator, OddAddressesGiveTheSameBytesAsAligned) {
    alignas(64) uint8_t aligned[4 * 64 + 64];
    alignas(64) uint8_t odd[4 * 64 + 64 + 3];
    for (uint32_t len = 0; len <= 4 * 64 + 33; len += 7) {
        for (uint32_t offset = 1; offset <= 3; offset++) {
            drng_chacha20 a = sample_state();
            drng_chacha20 b = sample_state();
            ASSERT_EQ(0, drng_chacha20_generate(&a, aligned, len));
            ASSERT_EQ(0, drng_chacha20_generate(&b, odd + offset, len));
            EXPECT_EQ(0, memcmp(aligned, odd + offset, len)) << len << " at +" << offset;
            expect_same_words(a, b);
        }
    }
}

TEST(Update, NonceCountsAcrossWords13To15) {
    struct {
        uint32_t before[3];
        uint32_t after[3];
    } const cases[] = {
        {{5, 0, 0}, {6, 0, 0}},
        {{0xffffffff, 5, 0}, {0, 6, 0}},
        {{0xffffffff, 0xffffffff, 7}, {0, 0, 8}},
        {{0xffffffff, 0xffffffff, 0xffffffff}, {0, 0, 0}},
    };
    for (const auto &c : cases) {
        drng_chacha20 s = sample_state();
        memcpy(s.nonce, c.before, sizeof s.nonce);
        const uint32_t leftover[16] = {};
        drng_chacha20_update(&s, leftover, 8);
        EXPECT_EQ(0, memcmp(s.nonce, c.after, sizeof s.nonce));
        EXPECT_EQ(7u, s.counter);  // a leftover update computes no block
    }
}

TEST(Seed, ChunksOf32BytesEachEndInAnUpdate) {
    const struct {
        uint32_t length;
        uint32_t updates;
    } cases[] = {{0, 0}, {1, 1}, {4, 1}, {32, 1}, {33, 2}, {36, 2}, {64, 2}, {65, 3}};
    uint8_t data[65];
    for (int i = 0; i < 65; i++) {
        data[i] = static_cast<uint8_t>(0x80 + i);
    }
    for (const auto &c : cases) {
        drng_chacha20 s = sample_state();
        const drng_chacha20 before = s;
        EXPECT_EQ(0, drng_chacha20_seed(&s, data, c.length));
        EXPECT_EQ(before.counter + c.updates, s.counter) << c.length;
        EXPECT_EQ(before.nonce[0] + c.updates, s.nonce[0]) << c.length;
        if (c.updates == 0) {
            EXPECT_EQ(0, memcmp(&before, &s, sizeof s));
        }
    }
}

TEST(Seed, BytesEnterTheKeyLittleEndianThenAFreshBlockChangesIt) {
    uint8_t data[32];
    for (int i = 0; i < 32; i++) {
        data[i] = static_cast<uint8_t>(3 * i + 1);
    }
    for (uint32_t length : {4u, 13u, 32u}) {
        drng_chacha20 s = sample_state();
        uint32_t mixed[8];
        memcpy(mixed, s.key, sizeof mixed);
        for (uint32_t i = 0; i < length; i++) {
            mixed[i / 4] ^= static_cast<uint32_t>(data[i]) << (8 * (i % 4));
        }
        const auto ks = oracle_keystream(mixed, s.counter, s.nonce, 1);
        ASSERT_EQ(0, drng_chacha20_seed(&s, data, length));
        for (int i = 0; i < 8; i++) {
            EXPECT_EQ(mixed[i] ^ oracle_word(ks, 0, i), s.key[i]) << length << " word " << i;
        }
    }
}

class Handle : public ::testing::Test {
   protected:
    void SetUp() override {
        fake::set_clock(1'700'000'000, 5);
        ASSERT_EQ(0, drng_chacha20_init(&drng_));
    }
    void TearDown() override {
        drng_chacha20_destroy(drng_);
        fake::reset();
    }
    drng_chacha20 *drng_ = nullptr;
};

TEST_F(Handle, VolumeAboveTwoToThe30BytesReseeds) {
    uint8_t out[16];
    drng_->bytes_since_reseed = 1ull << 30;
    int calls = fake::getrandom_calls();
    ASSERT_EQ(0, drng_chacha20_get(drng_, out, sizeof out));
    EXPECT_EQ(calls, fake::getrandom_calls());
    EXPECT_EQ((1ull << 30) + sizeof out, drng_->bytes_since_reseed);

    fake::set_clock(1'700'000'100);
    ASSERT_EQ(0, drng_chacha20_get(drng_, out, sizeof out));  // now 2^30 + 16 drawn
    EXPECT_EQ(calls + 1, fake::getrandom_calls());
    EXPECT_EQ(sizeof out, drng_->bytes_since_reseed);
    EXPECT_EQ(1'700'000'100, drng_->reseed_time);

    drng_->bytes_since_reseed = (1ull << 30) + 1;
    calls = fake::getrandom_calls();
    ASSERT_EQ(0, drng_chacha20_get(drng_, out, 0));
    EXPECT_EQ(calls + 1, fake::getrandom_calls());
    EXPECT_EQ(0u, drng_->bytes_since_reseed);
}

TEST_F(Handle, ZeroLengthGetStillSeedsAndUpdates) {
    const uint32_t nonce = drng_->nonce[0];
    const uint64_t drawn = drng_->bytes_since_reseed;
    ASSERT_EQ(0, drng_chacha20_get(drng_, nullptr, 0));
    EXPECT_EQ(nonce + 2, drng_->nonce[0]);  // one seed chunk, one generate
    EXPECT_EQ(drawn, drng_->bytes_since_reseed);
}

TEST_F(Handle, FailedReseedKeepsAgeAndVolume) {
    drng_->reseed_time = 1234;
    drng_->bytes_since_reseed = 99;

    const long nothing[] = {-EIO};
    drng_chacha20 before = *drng_;
    fake::script_getrandom(nothing, 1);
    EXPECT_EQ(-EFAULT, drng_chacha20_reseed(drng_, nullptr, 0));
    EXPECT_EQ(0, memcmp(&before, drng_, sizeof before));  // no byte came: nothing seeded

    const long short_read[] = {16, -EIO};
    fake::script_getrandom(short_read, 2);
    EXPECT_EQ(-EFAULT, drng_chacha20_reseed(drng_, nullptr, 0));
    EXPECT_NE(0, memcmp(before.key, drng_->key, sizeof before.key));  // partial seed used
    EXPECT_EQ(before.nonce[0] + 1, drng_->nonce[0]);
    EXPECT_EQ(1234, drng_->reseed_time);
    EXPECT_EQ(99u, drng_->bytes_since_reseed);
}

// The seed's age as the clock tells it. A get reseeds (one kernel read) when
// the age is above 600 s, and also when the clock cannot tell it (the read
// failed) or it is negative (the clock was set back), so that NTP stepping a
// wrong clock, a date fixed by hand or a restored virtual machine cannot stop
// the time reseed; after that the age counts from the clock as it now reads.
// Each row is a run of gets on a handle made at t0. Faults caught: a
// negative age taken as fresh (no reseed after a step back, for as long as
// the step), a failed read taken as age 0 or as the last reading, the first
// working read after failures not reseeding, and an off-by-one at 600 s.
TEST_F(Handle, ClockStepsAndFailuresCountAsTooOld) {
    constexpr int64_t t0 = 1'700'000'000;
    constexpr int64_t hour = 3600;
    constexpr int64_t day = 24 * hour;
    constexpr int64_t ten_years = 3652 * day;
    constexpr int64_t fails = INT64_MIN;  // the clock read fails
    struct Get {
        int64_t seconds;
        int kernel_reads;
    };
    const struct {
        const char *clock;
        std::vector<Get> gets;
    } cases[] = {
        {"600 s no, 601 s yes", {{t0 + 600, 0}, {t0 + 601, 1}, {t0 + 1201, 0}, {t0 + 1202, 1}}},
        {"set back 1 hour",
         {{t0 + 300, 0},
          {t0 + 300 - hour, 1},
          {t0 + 360 - hour, 0},
          {t0 + 900 - hour, 0},
          {t0 + 901 - hour, 1}}},
        {"set back 1 day",
         {{t0 + 300, 0},
          {t0 + 300 - day, 1},
          {t0 + 360 - day, 0},
          {t0 + 900 - day, 0},
          {t0 + 901 - day, 1}}},
        {"forward 10 years, then back",
         {{t0 + ten_years, 1},
          {t0 + ten_years + 60, 0},
          {t0 + 120, 1},
          {t0 + 180, 0},
          {t0 + 720, 0},
          {t0 + 721, 1}}},
        {"failing after init, then working",
         {{t0 + 60, 0},
          {fails, 1},
          {fails, 1},
          {fails, 1},
          {t0 + 240, 1},
          {t0 + 300, 0},
          {t0 + 840, 0},
          {t0 + 841, 1}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.clock);
        drng_chacha20_destroy(drng_);
        drng_ = nullptr;
        fake::set_clock(t0, 5);
        ASSERT_EQ(0, drng_chacha20_init(&drng_));
        for (size_t i = 0; i < c.gets.size(); i++) {
            const Get &g = c.gets[i];
            fake::fail_clock(g.seconds == fails);
            fake::set_clock(g.seconds == fails ? 0 : g.seconds, 7);
            const int64_t last_reseed = drng_->reseed_time;
            const int calls = fake::getrandom_calls();
            uint8_t out[32];
            ASSERT_EQ(0, drng_chacha20_get(drng_, out, sizeof out)) << "get " << i;
            EXPECT_EQ(g.kernel_reads, fake::getrandom_calls() - calls) << "get " << i;
            // A reseed restarts the age from the reading, 0 when there was none.
            const int64_t reading = g.seconds == fails ? 0 : g.seconds;
            EXPECT_EQ(g.kernel_reads ? reading : last_reseed, drng_->reseed_time) << "get " << i;
        }
        fake::fail_clock(false);
    }
}

// Invalid arguments return -EINVAL before anything is allocated, read from
// the kernel or changed. A NULL output with length 0 and NULL seed data are
// valid.
TEST_F(Handle, InvalidArgumentsChangeNothing) {
    uint8_t out[8];
    drng_chacha20 *const h = drng_;
    const struct {
        const char *call;
        std::function<int32_t()> run;
        int32_t result;
    } cases[] = {
        {"init(NULL)", [] { return drng_chacha20_init(nullptr); }, -EINVAL},
        {"get(NULL, out, 8)", [&out] { return drng_chacha20_get(nullptr, out, 8); }, -EINVAL},
        {"get(NULL, NULL, 0)", [] { return drng_chacha20_get(nullptr, nullptr, 0); }, -EINVAL},
        {"get(handle, NULL, 1)", [h] { return drng_chacha20_get(h, nullptr, 1); }, -EINVAL},
        {"reseed(NULL, NULL, 0)", [] { return drng_chacha20_reseed(nullptr, nullptr, 0); },
         -EINVAL},
        {"get(handle, NULL, 0)", [h] { return drng_chacha20_get(h, nullptr, 0); }, 0},
        {"reseed(handle, NULL, 5)", [h] { return drng_chacha20_reseed(h, nullptr, 5); }, 0},
    };
    for (const auto &c : cases) {
        const drng_chacha20 before = *drng_;
        const int calls = fake::getrandom_calls();
        const int mappings = fake::live_mappings();
        EXPECT_EQ(c.result, c.run()) << c.call;
        EXPECT_EQ(mappings, fake::live_mappings()) << c.call;
        if (c.result == -EINVAL) {
            EXPECT_EQ(0, memcmp(&before, drng_, sizeof before)) << c.call;
            EXPECT_EQ(calls, fake::getrandom_calls()) << c.call;
        } else {
            EXPECT_NE(0, memcmp(before.key, drng_->key, sizeof before.key)) << c.call;
        }
    }
}

TEST_F(Handle, InterruptedKernelReadsAreRetried) {
    const long interrupted[] = {-EINTR, 10, -ERESTART, 22};
    drng_->bytes_since_reseed = 99;
    fake::set_clock(1'700'000'042);
    fake::script_getrandom(interrupted, 4);
    const int calls = fake::getrandom_calls();
    EXPECT_EQ(0, drng_chacha20_reseed(drng_, nullptr, 0));
    EXPECT_EQ(calls + 4, fake::getrandom_calls());
    EXPECT_EQ(1'700'000'042, drng_->reseed_time);
    EXPECT_EQ(0u, drng_->bytes_since_reseed);
}

}  // namespace

namespace {

// Names the whole-block path a test of this group went through, so that a run
// (the emulated AVX-512 one above all) shows which paths it exercised.
void report_path(const char *test, const BlocksPath &path) {
    std::printf("%s: whole-block path %s\n", test, path.name);
}

// 1 if every byte of buf outside [from, from + len) still holds the fill.
bool untouched_outside(const std::vector<uint8_t> &buf, size_t from, size_t len, uint8_t fill) {
    for (size_t i = 0; i < buf.size(); i++) {
        if ((i < from || i >= from + len) && buf[i] != fill) {
            return false;
        }
    }
    return true;
}

// Every whole-block path this CPU can run, against the portable one: same
// states, lengths 0..4096, aligned and odd output addresses, and not a byte
// written before or after the request (a partial step that stored one block
// too many would write keystream there).
TEST(BlocksPaths, EveryPathMatchesThePortableOne) {
    constexpr uint8_t fill = 0xa5;
    std::vector<uint8_t> expected(4096 + 64), actual(4096 + 64 + 3);
    for (const BlocksPath &path : block_paths()) {
        if (path.blocks == chacha20_blocks_portable) {
            continue;  // the reference itself
        }
        if (!path.available) {
            std::printf("CPU lacks %s: path not tested\n", path.name);
            continue;
        }
        // A counter close to 2^32 makes the wide paths wrap inside one batch.
        for (uint32_t counter : {7u, 0xfffffff9u}) {
            for (uint32_t len = 0; len <= 4096; len++) {
                const uint32_t offset = len % 4;  // 0: aligned, 1..3: odd addresses
                drng_chacha20 a = sample_state(counter + len);
                drng_chacha20 b = a;
                std::fill(actual.begin(), actual.end(), fill);
                ASSERT_EQ(0, generate_with(chacha20_blocks_portable, &a, expected.data(), len));
                ASSERT_EQ(0, generate_with(path.blocks, &b, actual.data() + offset, len));
                ASSERT_EQ(0, memcmp(expected.data(), actual.data() + offset, len))
                    << path.name << " length " << len << " counter " << counter + len;
                ASSERT_TRUE(untouched_outside(actual, offset, len, fill))
                    << path.name << " wrote outside the request, length " << len;
                ASSERT_EQ(0, memcmp(&a, &b, sizeof a)) << path.name << " length " << len;
            }
        }
        report_path("matches the portable path", path);
    }
}

// Each path against OpenSSL's keystream: 40 whole blocks, alone and with the
// block after them asked for (its words, serialised, are keystream block 40;
// the counter moves on by one more).
TEST(BlocksPaths, WidePathsFollowTheKeystream) {
    for (const BlocksPath &path : block_paths()) {
        if (!path.available) {
            continue;
        }
        const drng_chacha20 before = sample_state(1000);
        const auto ks = oracle_keystream(before.key, before.counter, before.nonce, 41);
        for (const bool ask_next : {false, true}) {
            drng_chacha20 s = before;
            std::vector<uint8_t> out(40 * 64 + 1);
            uint32_t next[16] = {};
            path.blocks(state_words(&s), out.data() + 1, 40, ask_next ? next : nullptr);
            EXPECT_EQ(0, memcmp(ks.data(), out.data() + 1, 40 * 64)) << path.name;
            EXPECT_EQ(before.counter + 40 + (ask_next ? 1 : 0), s.counter) << path.name;
            if (ask_next) {
                uint8_t next_bytes[64];
                for (int i = 0; i < 64; i++) {
                    next_bytes[i] = static_cast<uint8_t>(next[i / 4] >> (8 * (i % 4)));
                }
                EXPECT_EQ(0, memcmp(ks.data() + 40 * 64, next_bytes, 64)) << path.name;
            }
        }
        report_path("follows the keystream", path);
    }
}

TEST(BlocksPaths, SelfTestVectorsOnEveryPath) {
    // Whole blocks of the self-test vectors: the 64-byte vector is one whole
    // block; a batch of 16 from the same state gives it as its first block.
    uint8_t seed[64];
    for (int i = 0; i < 64; i++) {
        seed[i] = static_cast<uint8_t>(i);
    }
    for (const BlocksPath &path : block_paths()) {
        if (!path.available) {
            continue;
        }
        for (uint32_t len : {64u, 16u * 64u}) {
            drng_chacha20 s{};
            memcpy(s.constants, chacha_constants, sizeof s.constants);
            ASSERT_EQ(0, drng_chacha20_seed(&s, seed, 64));
            std::vector<uint8_t> out(len);
            ASSERT_EQ(0, generate_with(path.blocks, &s, out.data(), len));
            EXPECT_TRUE(std::equal(self_test_vectors[1].expected.begin(),
                                   self_test_vectors[1].expected.end(), out.begin()))
                << path.name << " " << len;
        }
        report_path("self-test vectors", path);
    }
}

// init proves the whole-block path it will use: the path's 32 blocks of a
// fixed input against the portable path's, and the counter it leaves. A path
// with a fault in one lane of a batch (one block wrong) or in the words it
// leaves behind must fail init with -EFAULT, leaving nothing mapped, the
// caller's variable untouched and no kernel or clock read made; each real
// path passes. The faulty paths wrap the real ones, given to init's work
// function the way generate_with is given a path.
blocks_fn faulty_base;
void (*plant_fault)(uint32_t block[16], uint8_t *out, uint32_t *next);

void faulty_path(uint32_t block[16], uint8_t *out, size_t nblocks, uint32_t *next) {
    faulty_base(block, out, nblocks, next);
    plant_fault(block, out, next);
}

TEST(BlocksPaths, InitFailsOnAFaultInOneLaneOfThePathItUses) {
    const struct {
        const char *fault;  // lanes: of AVX2's batches of 8, of AVX-512's two sets of 16
        void (*plant)(uint32_t block[16], uint8_t *out, uint32_t *next);
    } faults[] = {
        {"block 0: lane 0 of the first batch",
         [](uint32_t *, uint8_t *out, uint32_t *) { out[5] ^= 0x10; }},
        {"block 7: lane 7", [](uint32_t *, uint8_t *out, uint32_t *) { out[7 * 64 + 63] ^= 1; }},
        {"block 13: AVX2 lane 5, AVX-512 lane 13",
         [](uint32_t *, uint8_t *out, uint32_t *) { out[13 * 64 + 32] ^= 0x80; }},
        {"block 28: AVX-512 lane 12 of the second set",
         [](uint32_t *, uint8_t *out, uint32_t *) { out[28 * 64 + 48] ^= 4; }},
        {"block 31: the last lane of the first step of 32",
         [](uint32_t *, uint8_t *out, uint32_t *) { out[31 * 64] ^= 1; }},
        {"block 47: AVX2 lane 7 of a third step of 16, AVX-512 lane 15 of the step of 16",
         [](uint32_t *, uint8_t *out, uint32_t *) { out[47 * 64 + 20] ^= 2; }},
        {"block 60: the last block of the partial step",
         [](uint32_t *, uint8_t *out, uint32_t *) { out[60 * 64 + 63] ^= 0x40; }},
        {"the block after the whole ones: its counter word",
         [](uint32_t *, uint8_t *, uint32_t *next) { next[12] ^= 1; }},
        {"counter one block short",
         [](uint32_t *block, uint8_t *, uint32_t *) { block[12] -= 1; }},
        {"a key word changed", [](uint32_t *block, uint8_t *, uint32_t *) { block[6] ^= 1; }},
    };
    fake::set_clock(1'700'000'000, 5);
    for (const BlocksPath &path : block_paths()) {
        if (!path.available) {
            std::printf("CPU lacks %s: its proof at init not run\n", path.name);
            continue;
        }
        SCOPED_TRACE(path.name);
        faulty_base = path.blocks;
        for (const auto &f : faults) {
            SCOPED_TRACE(f.fault);
            plant_fault = f.plant;
            const fake::Reading clock[] = {{1'700'000'000, 5}};
            fake::script_clock(clock, 1);
            const int mappings = fake::live_mappings();
            const int calls = fake::getrandom_calls();
            int sentinel;
            auto *const untouched = reinterpret_cast<drng_chacha20 *>(&sentinel);
            drng_chacha20 *drng = untouched;
            EXPECT_EQ(-EFAULT, init_with(&drng, faulty_path));
            EXPECT_EQ(untouched, drng);
            EXPECT_EQ(mappings, fake::live_mappings());
            EXPECT_EQ(calls, fake::getrandom_calls());
            EXPECT_EQ(0, fake::clock_reads());
        }
        // The real path passes, with init's usual eleven clock reads for the
        // stirring, one for the reseed, and one kernel read.
        const fake::Reading clock[] = {{1'700'000'000, 5}};
        fake::script_clock(clock, 1);
        const int calls = fake::getrandom_calls();
        drng_chacha20 *drng = nullptr;
        EXPECT_EQ(0, init_with(&drng, path.blocks));
        EXPECT_EQ(12, fake::clock_reads());
        EXPECT_EQ(calls + 1, fake::getrandom_calls());
        drng_chacha20_destroy(drng);
        report_path("init fails on a planted fault in one lane", path);
    }
    fake::reset();
}

}  // namespace
